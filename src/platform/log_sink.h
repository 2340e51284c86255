// Internal hooks of the logger that tests use to point it at a new sink.
#pragma once

// Forgets the sink and level read from KVO_LOG_FILE / KVO_LOG_LEVEL so the
// next line reads them again. Only for tests: a line being written at the same
// moment may still go to the old sink.
void KvoLogReloadSettings();

// For a second copy of the logger in the same process (the comm library's): the
// first copy already warns about bad KVO_LOG_LEVEL / KVO_LOG_FILE values.
void KvoLogQuietSettingWarnings();
