// Virtual-machine detection, strings and dynamic loading.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include "platform/kvo_base.h"
#include "platform/system_probe.h"

namespace {

struct VmCase {
    const char* name;
    VirtualMachineTexts texts;
    bool want;
};

const char kBareCpu[] = "processor\t: 0\nflags\t\t: fpu vme de pse tsc msr sse2 ht\n";
const char kGuestCpu[] = "processor\t: 0\nflags\t\t: fpu vme de hypervisor lahf_lm\n";

TEST(VirtualMachine, DetectedFromCpuFlagsOrDmiNames) {
    const VmCase cases[] = {
        {"bare metal", {kBareCpu, "Dell Inc.\n", "OptiPlex 7090\n", "Dell Inc.\n"}, false},
        {"nothing readable", {"", "", "", ""}, false},
        {"hypervisor flag", {kGuestCpu, "", "", ""}, true},
        {"flag at line end", {"flags\t: fpu hypervisor\n", "", "", ""}, true},
        {"longer word is not the flag",
         {"flags\t: fpu hypervisorx xhypervisor\n", "", "", ""},
         false},
        {"only the first flags line counts",
         {"flags\t: fpu\nflags\t: hypervisor\n", "", "", ""},
         false},
        {"word outside flags", {"model name\t: hypervisor cpu\nflags\t: fpu\n", "", "", ""}, false},
        {"QEMU vendor", {kBareCpu, "QEMU\n", "Standard PC (Q35)\n", ""}, true},
        {"KVM product", {kBareCpu, "Red Hat\n", "KVM\n", ""}, true},
        {"VMware", {kBareCpu, "VMware, Inc.\n", "VMware7,1\n", ""}, true},
        {"VirtualBox", {kBareCpu, "innotek GmbH\n", "VirtualBox\n", "Oracle Corporation\n"}, true},
        {"Xen", {kBareCpu, "Xen\n", "HVM domU\n", ""}, true},
        {"Bochs lower case", {kBareCpu, "bochs\n", "", ""}, true},
        {"Parallels board", {kBareCpu, "", "", "Parallels Software International\n"}, true},
        {"Amazon EC2", {kBareCpu, "Amazon EC2\n", "m5.large\n", ""}, true},
        {"Google", {kBareCpu, "Google\n", "Google Compute Engine\n", "Google\n"}, true},
        {"Hyper-V", {kBareCpu, "Microsoft Corporation\n", "Virtual Machine\n", ""}, true},
        {"Microsoft hardware",
         {kBareCpu, "Microsoft Corporation\n", "Surface Laptop 4\n", "Microsoft Corporation\n"},
         false},
        {"Virtual Machine from another vendor",
         {kBareCpu, "Acme\n", "Virtual Machine\n", ""},
         false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.want, LooksLikeVirtualMachine(c.texts)) << c.name;
}

struct CompareCase {
    const char* a;
    const char* b;
    size_t n;
    bool equal;
};

TEST(Strings, StrnicmpComparesTheFirstNCharactersIgnoringAsciiCase) {
    const CompareCase cases[] = {
        {"Hello", "hELLO", 5, true}, {"abc", "abd", 2, true},    {"abc", "abd", 3, false},
        {"abc", "ABC", 10, true},    {"abc", "abcd", 10, false}, {"", "", 3, true},
        {"x", "y", 0, true},         {"a[", "A{", 2, false},     {"Z", "z", 1, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.equal, kvo_strnicmp(c.a, c.b, c.n) == 0) << c.a << " / " << c.b << " " << c.n;
    }
    EXPECT_LT(kvo_strnicmp("abc", "abd", 3), 0);
    EXPECT_GT(kvo_strnicmp("b", "A", 1), 0);
}

TEST(Strings, StrlcpyAlwaysTerminatesAndReportsTheSourceLength) {
    struct Case {
        const char* source;
        size_t size;
        const char* want;
    };
    const Case cases[] = {{"hello", 10, "hello"},
                          {"hello", 6, "hello"},
                          {"hello", 5, "hell"},
                          {"hello", 1, ""},
                          {"", 4, ""}};
    for (const auto& c : cases) {
        char buffer[16];
        memset(buffer, '#', sizeof(buffer));
        EXPECT_EQ(strlen(c.source), kvo_str_strlcpy(buffer, c.source, c.size));
        EXPECT_STREQ(c.want, buffer);
        EXPECT_EQ('#', buffer[c.size]) << "wrote past size " << c.size;
    }
    char untouched[2] = {'#', '#'};
    EXPECT_EQ(5u, kvo_str_strlcpy(untouched, "hello", 0));
    EXPECT_EQ('#', untouched[0]);
}

TEST(Dll, OpensResolvesAndReportsFailures) {
    kvo_dll_t libm = nullptr;
    ASSERT_EQ(0, kvo_dll_open("libm.so.6", &libm));
    ASSERT_NE(nullptr, libm);
    void* address = nullptr;
    ASSERT_EQ(0, kvo_dll_get_addr(libm, "cos", &address));
    ASSERT_NE(nullptr, address);
    EXPECT_DOUBLE_EQ(1.0, reinterpret_cast<double (*)(double)>(address)(0.0));
    address = &address;
    EXPECT_NE(0, kvo_dll_get_addr(libm, "no_such_symbol_here", &address));
    EXPECT_EQ(nullptr, address);
    kvo_dll_close(libm);

    kvo_dll_t missing = &missing;
    EXPECT_NE(0, kvo_dll_open("/nonexistent/libnothing.so", &missing));
    EXPECT_EQ(nullptr, missing);
}

}  // namespace
