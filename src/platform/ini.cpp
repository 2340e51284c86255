// INI files: the whole file is read into memory and split into entries that
// keep their file order.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/ini_parse.h"
#include "platform/kvo_base.h"

struct kvo_ini_file {
    struct Entry {
        std::string section;
        std::string key;
        std::string value;
    };
    std::vector<Entry> entries;  // file order, duplicates included
    // (section, key) -> index of its last entry: a repeated key reads as the last.
    std::map<std::pair<std::string, std::string>, size_t> lastIndex;
};

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string Trim(const char* begin, const char* end) {
    while (begin < end && IsBlank(*begin)) ++begin;
    while (end > begin && IsBlank(end[-1])) --end;
    return std::string(begin, end);
}

// One trimmed line: a section header switches *section, a key line adds an
// entry; comments, blank lines, lines without '=' and empty keys are skipped.
void ParseLine(const char* begin, const char* end, std::string* section, kvo_ini_file* file) {
    while (begin < end && IsBlank(*begin)) ++begin;
    if (begin == end || *begin == ';' || *begin == '#') return;
    if (*begin == '[') {
        const char* close = begin + 1;
        while (close < end && *close != ']') ++close;
        if (close < end) *section = Trim(begin + 1, close);
        return;
    }
    const char* equals = begin;
    while (equals < end && *equals != '=') ++equals;
    if (equals == end) return;
    std::string key = Trim(begin, equals);
    if (key.empty()) return;
    file->lastIndex[{*section, key}] = file->entries.size();
    file->entries.push_back({*section, std::move(key), Trim(equals + 1, end)});
}

void ParseText(const char* text, size_t length, kvo_ini_file* file) {
    std::string section;  // entries before any header belong to section ""
    const char* end = text + length;
    const char* line = text;
    while (line < end) {
        const char* eol = line;
        while (eol < end && *eol != '\n') ++eol;
        ParseLine(line, eol, &section, file);
        line = eol + 1;
    }
}

// Reads a whole regular file (or a size-less /proc-like file) up to the cap.
bool ReadWholeFile(const char* path, std::string* text) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    int statRc = fstat(fd, &st);
    if (statRc != 0 || S_ISDIR(st.st_mode)) {
        int savedErrno = statRc != 0 ? errno : EISDIR;
        close(fd);
        errno = savedErrno;
        return false;
    }
    char chunk[16384];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (text->size() + static_cast<size_t>(n) > kKvoIniMaxBytes) {
            errno = EFBIG;
            ok = false;
            break;
        }
        text->append(chunk, static_cast<size_t>(n));
    }
    int savedErrno = errno;
    close(fd);
    errno = savedErrno;
    return ok;
}

const kvo_ini_file::Entry* Find(kvo_ini_file_st* file, const char* section, const char* key) {
    if (file == nullptr || section == nullptr || key == nullptr) return nullptr;
    auto it = file->lastIndex.find({section, key});
    return it == file->lastIndex.end() ? nullptr : &file->entries[it->second];
}

}  // namespace

kvo_ini_file_st* KvoIniParse(const char* text, size_t length) {
    try {
        auto* file = new kvo_ini_file;
        ParseText(text, length, file);
        return file;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

extern "C" kvo_ini_file_st* kvo_ini_file_load(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    try {
        std::string text;
        if (!ReadWholeFile(path, &text)) return nullptr;
        kvo_ini_file_st* file = KvoIniParse(text.data(), text.size());
        if (file == nullptr) errno = ENOMEM;
        return file;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
}

extern "C" const char* kvo_ini_file_get(kvo_ini_file_st* file, const char* section,
                                        const char* key) {
    const kvo_ini_file::Entry* entry = Find(file, section, key);
    return entry != nullptr ? entry->value.c_str() : nullptr;
}

extern "C" int kvo_ini_file_get_int(kvo_ini_file_st* file, const char* section, const char* key,
                                    int default_value) {
    const kvo_ini_file::Entry* entry = Find(file, section, key);
    if (entry == nullptr) return default_value;
    long value = strtol(entry->value.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// The callback's result is not used: every entry of the section is offered.
extern "C" int kvo_ini_file_enum_section(kvo_ini_file_st* file, const char* section,
                                         kvo_ini_entry_cb cb, void* context) {
    if (file == nullptr || section == nullptr) return 0;
    int count = 0;
    for (const auto& entry : file->entries) {
        if (entry.section != section) continue;
        ++count;
        if (cb != nullptr)
            cb(entry.section.c_str(), entry.key.c_str(), entry.value.c_str(), context);
    }
    return count;
}

extern "C" void kvo_ini_file_free(kvo_ini_file_st* file) { delete file; }

int KvoIniEnumAll(kvo_ini_file_st* file, kvo_ini_entry_cb cb, void* context) {
    if (file == nullptr) return 0;
    for (const auto& entry : file->entries) {
        if (cb != nullptr)
            cb(entry.section.c_str(), entry.key.c_str(), entry.value.c_str(), context);
    }
    return static_cast<int>(file->entries.size());
}
