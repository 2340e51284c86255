// Paths: the "@" base directory, the executable's path and lexical clean-up.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/kvo_base.h"

namespace {

bool CopyOut(const std::string& text, char* out, size_t size) {
    if (text.size() >= size) return false;
    memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The file that holds this code: the shared library, or the program when the
// platform layer is linked statically into it.
std::string CodeFilePath() {
    Dl_info info;
    memset(&info, 0, sizeof(info));
    if (dladdr(reinterpret_cast<void*>(&kvo_dirutils_path_transform), &info) != 0 &&
        info.dli_fname != nullptr && strchr(info.dli_fname, '/') != nullptr) {
        char resolved[PATH_MAX];
        if (realpath(info.dli_fname, resolved) != nullptr) return resolved;
        return info.dli_fname;
    }
    char exe[PATH_MAX];
    if (kvo_path_get_cur_proc_a(exe, sizeof(exe)) == 0) return exe;
    return std::string();
}

std::string BaseDirectory() {
    std::string code = CodeFilePath();
    std::string own = code.empty() ? std::string(".") : DirectoryOf(code);
    const char* env = getenv("KVO_BASE_DIR");
    if (env == nullptr || *env == '\0') return own;
    struct stat info;
    if (stat(env, &info) != 0 || !S_ISDIR(info.st_mode)) {
        KvoEnvWarn("KVO_BASE_DIR", env, "not a directory", "the library's directory " + own);
        return own;
    }
    return env;
}

}  // namespace

extern "C" int kvo_dirutils_path_transform(const char* in, char* out, size_t size) {
    if (in == nullptr || out == nullptr || size == 0) return EINVAL;
    std::string result = in[0] == '@' ? BaseDirectory() + (in + 1) : std::string(in);
    if (!CopyOut(result, out, size)) {
        out[0] = '\0';
        return ENAMETOOLONG;
    }
    return 0;
}

extern "C" int kvo_path_get_cur_proc_a(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return EINVAL;
    ssize_t n = readlink("/proc/self/exe", buffer, size);
    if (n < 0) {
        int err = errno;
        buffer[0] = '\0';
        return err != 0 ? err : EIO;
    }
    if (static_cast<size_t>(n) >= size) {  // readlink does not say it truncated
        buffer[0] = '\0';
        return ENAMETOOLONG;
    }
    buffer[n] = '\0';
    return 0;
}

// Only the last component's extension goes: "a/b.c/d" keeps its dot, and a
// name that starts with its only dot (".profile") is not an extension.
extern "C" void kvo_path_remove_ext_a(char* buffer) {
    if (buffer == nullptr) return;
    char* slash = strrchr(buffer, '/');
    char* name = slash != nullptr ? slash + 1 : buffer;
    char* dot = strrchr(name, '.');
    if (dot != nullptr && dot != name) *dot = '\0';
}

extern "C" void kvo_path_format_a(char* buffer) {
    if (buffer == nullptr || buffer[0] == '\0') return;
    bool absolute = buffer[0] == '/';
    std::vector<std::string> parts;
    const char* p = buffer;
    while (*p != '\0') {
        while (*p == '/') ++p;
        const char* start = p;
        while (*p != '\0' && *p != '/') ++p;
        std::string part(start, p);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);  // a relative path may climb above its start
            }
            continue;  // "/.." is "/"
        }
        parts.push_back(part);
    }
    std::string result = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) result += '/';
        result += parts[i];
    }
    if (result.empty()) result = ".";
    memcpy(buffer, result.c_str(), result.size() + 1);  // never longer than the input
}
