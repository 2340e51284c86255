// System facts: processor count, virtual-machine test, process and thread ids.
#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "platform/kvo_base.h"
#include "platform/system_probe.h"

namespace {

// The first "flags" line is all we need; cap the read on many-core machines.
constexpr size_t kMaxProbeBytes = 256 * 1024;

std::string ReadSmallFile(const char* path) {
    std::string text;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char chunk[4096];
    while (text.size() < kMaxProbeBytes) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool ContainsNoCase(const std::string& text, const char* needle) {
    size_t n = strlen(needle);
    if (n == 0 || text.size() < n) return false;
    for (size_t i = 0; i + n <= text.size(); ++i) {
        size_t j = 0;
        while (j < n && Lower(text[i + j]) == Lower(needle[j])) ++j;
        if (j == n) return true;
    }
    return false;
}

bool IsWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The first line starting "flags" carries the word "hypervisor" when the CPU
// reports running under one (the CPUID hypervisor bit).
bool FlagsNameHypervisor(const std::string& cpuinfo) {
    size_t pos = 0;
    while (pos < cpuinfo.size()) {
        size_t eol = cpuinfo.find('\n', pos);
        if (eol == std::string::npos) eol = cpuinfo.size();
        std::string line = cpuinfo.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.compare(0, 5, "flags") != 0) continue;
        const std::string word = "hypervisor";
        for (size_t at = line.find(word); at != std::string::npos; at = line.find(word, at + 1)) {
            bool startOk = at == 0 || !IsWordChar(line[at - 1]);
            size_t after = at + word.size();
            bool endOk = after == line.size() || !IsWordChar(line[after]);
            if (startOk && endOk) return true;
        }
        return false;
    }
    return false;
}

// Vendor and product names that only hypervisors put in the DMI tables.
const char* const kHypervisorNames[] = {
    "KVM", "QEMU",  "VMware",    "VirtualBox", "innotek",
    "Xen", "Bochs", "Parallels", "Amazon EC2", "Google Compute Engine",
};

bool DmiNamesHypervisor(const VirtualMachineTexts& texts) {
    for (const char* name : kHypervisorNames) {
        if (ContainsNoCase(texts.sysVendor, name) || ContainsNoCase(texts.productName, name) ||
            ContainsNoCase(texts.boardVendor, name)) {
            return true;
        }
    }
    // Hyper-V: Microsoft's vendor string alone also covers its real hardware.
    bool microsoft = ContainsNoCase(texts.sysVendor, "Microsoft Corporation") ||
                     ContainsNoCase(texts.boardVendor, "Microsoft Corporation");
    return microsoft && ContainsNoCase(texts.productName, "Virtual Machine");
}

}  // namespace

VirtualMachineTexts ReadVirtualMachineTexts() {
    VirtualMachineTexts texts;
    texts.cpuinfo = ReadSmallFile("/proc/cpuinfo");
    texts.sysVendor = ReadSmallFile("/sys/class/dmi/id/sys_vendor");
    texts.productName = ReadSmallFile("/sys/class/dmi/id/product_name");
    texts.boardVendor = ReadSmallFile("/sys/class/dmi/id/board_vendor");
    return texts;
}

// A machine is virtual when the CPU flags name a hypervisor or the DMI
// vendor / product strings name a known one.
bool LooksLikeVirtualMachine(const VirtualMachineTexts& texts) {
    return FlagsNameHypervisor(texts.cpuinfo) || DmiNamesHypervisor(texts);
}

extern "C" unsigned int kvo_cpu_count(void) {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned int>(n) : 0u;
}

extern "C" int kvo_is_virtual_evn(int flags) {
    (void)flags;
    try {
        return LooksLikeVirtualMachine(ReadVirtualMachineTexts()) ? 1 : 0;
    } catch (...) {
        return 0;  // out of memory: report a physical machine
    }
}

extern "C" uint32_t kvo_process_get_cur_pid(void) { return static_cast<uint32_t>(getpid()); }

// A raw system call: safe inside a signal handler.
extern "C" uint32_t kvo_gettid(void) { return static_cast<uint32_t>(syscall(SYS_gettid)); }
