// Facts about the machine, as texts read from the system, and the rules that
// turn them into answers (kept apart so tests can give the texts).
#pragma once

#include <string>

struct VirtualMachineTexts {
    std::string cpuinfo;      // /proc/cpuinfo
    std::string sysVendor;    // /sys/class/dmi/id/sys_vendor
    std::string productName;  // /sys/class/dmi/id/product_name
    std::string boardVendor;  // /sys/class/dmi/id/board_vendor
};

// Reads the texts of this machine; unreadable files give empty texts.
VirtualMachineTexts ReadVirtualMachineTexts();

// True when the texts show a hypervisor.
bool LooksLikeVirtualMachine(const VirtualMachineTexts& texts);
