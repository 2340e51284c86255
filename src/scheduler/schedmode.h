// Which rule the scheduler's control objects follow, chosen once per process:
// the duty ratio (the default) or the exact mode.
#pragma once

#include "scheduler/ctrlobject.h"
#include "scheduler/schedenv.h"

enum SchedMode { SCHED_MODE_DEFAULT = 0, SCHED_MODE_EXACT = 1 };

// The mode from the value of KVO_SCHED_MODE (null or empty: unset) and the value
// of "mode" in [scheduler] of the file at filePath (null: none). The variable,
// when set, decides; "exact" chooses the exact mode, "default" or nothing the
// default one, and any other value the default one with a WARN line naming it.
SchedMode ChooseSchedMode(const char* envValue, const char* fileValue, const char* filePath);

// This process's mode: KVO_SCHED_MODE, else [scheduler] of the installation's
// configuration file, read now.
SchedMode ReadSchedMode();

// A new, unattached control object of the mode's kind; null when out of memory.
CLifeCycleImpl<ICtrlObject>* NewThreadCtrlObject(SchedMode mode, SchedEnv* env);
