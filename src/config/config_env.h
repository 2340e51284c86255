// The machine facts the configuration reader probes (/proc files, processor
// count, virtual-machine test), behind one seam so tests can hand in a machine.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "config/autoconf.h"

class ConfigEnv {
public:
    virtual ~ConfigEnv() = default;
    // fopen(path, "r"): null with errno set when the file cannot be opened.
    virtual FILE* OpenProbe(const char* path) = 0;
    virtual unsigned int CpuCount() = 0;
    // Non-zero inside a virtual machine.
    virtual int IsVirtualMachine() = 0;
    // The real machine; lives as long as the process.
    static ConfigEnv* Default();
};

uint32_t LoadAutoConfig(_Autoconf* conf, const char* path, ConfigEnv* env);
