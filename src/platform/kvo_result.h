// Result codes of the library. Their one home is the public header, which hosts
// see too; this name stays so that internal code includes what it means.
#pragma once

#include "kvo_vurizeda.h"
