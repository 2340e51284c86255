// Reads just enough of an ELF file to tell a static program from a dynamic one.
#include "elfcheck.h"

#include <elf.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

struct ElfKind {
    bool elf = false;
    int elfClass = 0;
    int machine = 0;
    bool interp = false;  // has a program interpreter: dynamically linked
};

template <typename Ehdr, typename Phdr>
bool ReadPhdrs(int fd, ElfKind* kind) {
    Ehdr header;
    if (pread(fd, &header, sizeof(header), 0) != static_cast<ssize_t>(sizeof(header))) {
        return false;
    }
    kind->machine = header.e_machine;
    if (header.e_phentsize != sizeof(Phdr) || header.e_phnum == 0) return true;
    std::vector<Phdr> phdrs(header.e_phnum);
    const ssize_t want = static_cast<ssize_t>(sizeof(Phdr) * phdrs.size());
    if (pread(fd, phdrs.data(), want, static_cast<off_t>(header.e_phoff)) != want) return false;
    for (const Phdr& p : phdrs) {
        if (p.p_type == PT_INTERP) kind->interp = true;
    }
    return true;
}

ElfKind Inspect(const std::string& path) {
    ElfKind kind;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kind;
    unsigned char ident[EI_NIDENT];
    if (pread(fd, ident, sizeof(ident), 0) == static_cast<ssize_t>(sizeof(ident)) &&
        memcmp(ident, ELFMAG, SELFMAG) == 0) {
        kind.elfClass = ident[EI_CLASS];
        if (kind.elfClass == ELFCLASS64) {
            kind.elf = ReadPhdrs<Elf64_Ehdr, Elf64_Phdr>(fd, &kind);
        } else if (kind.elfClass == ELFCLASS32) {
            kind.elf = ReadPhdrs<Elf32_Ehdr, Elf32_Phdr>(fd, &kind);
        }
    }
    close(fd);
    return kind;
}

}  // namespace

std::string PreloadRefusal(const std::string& path, const std::string& preload) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && (st.st_mode & (S_ISUID | S_ISGID))) {
        return (st.st_mode & S_ISUID)
                   ? "set-user-ID program: the loader ignores preloading for it"
                   : "set-group-ID program: the loader ignores preloading for it";
    }
    const ElfKind program = Inspect(path);
    if (!program.elf) return "";  // a script: its interpreter takes the library
    if (!program.interp) return "statically linked: no library can be preloaded into it";
    const ElfKind ours = Inspect(preload);
    if (ours.elf && (ours.elfClass != program.elfClass || ours.machine != program.machine)) {
        return program.elfClass == ELFCLASS32 ? "a 32-bit program: this kvo-run limits 64-bit ones"
                                              : "a 64-bit program: this kvo-run limits 32-bit ones";
    }
    return "";
}
