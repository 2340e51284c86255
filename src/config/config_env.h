// The machine facts the configuration reader probes (/proc files, processor
// count, virtual-machine test), behind one seam so tests can hand in a machine.
#pragma once

#include <stdint.h>

#include <string>

#include "config/autoconf.h"

class ConfigEnv {
public:
    virtual ~ConfigEnv() = default;
    // The whole text of a probe file: false with errno set when it cannot be read.
    virtual bool ReadProbe(const char* path, std::string* text) = 0;
    virtual unsigned int CpuCount() = 0;
    // Non-zero inside a virtual machine.
    virtual int IsVirtualMachine() = 0;
    // The real machine; never destroyed.
    static ConfigEnv* Default();
};

uint32_t LoadAutoConfig(_Autoconf* conf, const char* path, ConfigEnv* env);
