// Stand-in for /dev/input: the fake lives in fake_devmon_env.h; this unit stays
// because the fuzz build lists it.
#include "support/fake_devmon_env.h"
