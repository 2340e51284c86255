// Virtual-machine detection, strings and dynamic loading.
#include <gtest/gtest.h>

#include <utility>

#include "platform/kvo_base.h"
#include "platform/system_probe.h"

namespace {

const char kCpu[] = "processor\t: 0\nflags\t\t: fpu vme sse2 ht\n";

TEST(VirtualMachine, DetectedFromTheFirstCpuFlagsLineOrDmiNames) {
    // Texts: cpuinfo, sys vendor, product name, board vendor.
    // clang-format off
    const std::pair<VirtualMachineTexts, bool> cases[] = {
        {{kCpu, "Dell Inc.\n", "OptiPlex 7090\n", "Dell Inc.\n"}, false}, {{"", "", "", ""}, false},
        {{"flags\t: fpu hypervisor\n", "", "", ""}, true},
        {{"flags\t: hypervisorx xhypervisor\n", "", "", ""}, false},
        {{"flags\t: fpu\nflags\t: hypervisor\n", "", "", ""}, false},
        {{"model name\t: hypervisor\nflags\t: fpu\n", "", "", ""}, false},
        {{kCpu, "QEMU\n", "", ""}, true}, {{kCpu, "", "KVM\n", ""}, true},
        {{kCpu, "bochs\n", "", ""}, true}, {{kCpu, "", "", "Parallels Software\n"}, true},
        {{kCpu, "Microsoft Corporation\n", "Virtual Machine\n", ""}, true},
        {{kCpu, "Microsoft Corporation\n", "Surface Laptop 4\n", ""}, false},
        {{kCpu, "Acme\n", "Virtual Machine\n", ""}, false}};
    // clang-format on
    for (const auto& c : cases) EXPECT_EQ(c.second, LooksLikeVirtualMachine(c.first)) << &c - cases;
}

TEST(Strings, StrnicmpIgnoresAsciiCaseAndStrlcpyAlwaysTerminates) {
    EXPECT_EQ(0, kvo_strnicmp("Hello", "hELLOx", 5));
    EXPECT_LT(kvo_strnicmp("abc", "ABCd", 10), 0);
    EXPECT_NE(0, kvo_strnicmp("a[", "A{", 2));  // only letters fold
    char buffer[8] = "#######";
    EXPECT_EQ(5u, kvo_str_strlcpy(buffer, "hello", 5));
    EXPECT_STREQ("hell", buffer);
    EXPECT_EQ(5u, kvo_str_strlcpy(buffer, "hello", 0));
    EXPECT_EQ('#', buffer[5]);
}

TEST(Dll, OpensResolvesAndReportsFailures) {
    kvo_dll_t libm = nullptr;
    ASSERT_EQ(0, kvo_dll_open("libm.so.6", &libm));
    void* address = nullptr;
    ASSERT_EQ(0, kvo_dll_get_addr(libm, "cos", &address));
    EXPECT_DOUBLE_EQ(1.0, reinterpret_cast<double (*)(double)>(address)(0.0));
    EXPECT_NE(0, kvo_dll_get_addr(libm, "no_such_symbol_here", &address));
    EXPECT_EQ(nullptr, address);
    kvo_dll_close(libm);
    EXPECT_NE(0, kvo_dll_open("/nonexistent/libnothing.so", &libm));
    EXPECT_EQ(nullptr, libm);
}

}  // namespace
