// Stand-in for /dev/input: all of it is in the header; this unit lets the fuzz
// build check that the header stands on its own.
#include "support/fake_devmon_env.h"
