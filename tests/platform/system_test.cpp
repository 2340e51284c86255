// Virtual-machine detection and strings.
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
        {{kCpu, "Dell Inc.\n", "OptiPlex\n", "Dell Inc.\n"}, false}, {{"", "", "", ""}, false},
        {{"flags\t: fpu hypervisor\n", "", "", ""}, true}, {{kCpu, "QEMU\n", "", ""}, true},
        {{"flags\t: hypervisorx xhypervisor\n", "", "", ""}, false}, {{kCpu, "", "KVM", ""}, true},
        {{"flags\t: fpu\nflags\t: hypervisor", "", "", ""}, false}, {{kCpu, "bochs", "", ""}, true},
        {{"model name\t: hypervisor\nflags\t: fpu\n", "", "", ""}, false},
        {{kCpu, "", "", "Parallels\n"}, true}, {{kCpu, "Acme", "Virtual Machine", ""}, false},
        {{kCpu, "Microsoft Corporation\n", "Virtual Machine\n", ""}, true},
        {{kCpu, "Microsoft Corporation\n", "Surface Laptop 4\n", ""}, false}};
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
    EXPECT_EQ('#', buffer[5]);
}

}  // namespace
