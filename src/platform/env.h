// Our environment variables, read and checked in one place: a value that cannot
// be used as given is replaced, and one WARN line per variable says so.
#pragma once

#include <string>

// Integer in [low, high]. Unset or empty: fallback, silently. Not a whole number:
// fallback; outside the range: the nearer bound; either with one warning.
long KvoEnvInteger(const char* name, long low, long high, long fallback);

// Switch: 0, off, no, false, disabled are off; 1, on, yes, true, enabled are on
// (any case). Unset or empty: fallback; other text: fallback with one warning.
bool KvoEnvSwitch(const char* name, bool fallback);

// The checks alone, for callers that cannot log at that moment (the logger's own
// settings). True when the text is usable as it stands (unset counts as usable,
// with the fallback); otherwise *problem says why and *value holds the replacement.
bool KvoEnvParseInteger(const char* text, long low, long high, long fallback, long* value,
                        std::string* problem);
bool KvoEnvParseSwitch(const char* text, bool fallback, bool* value, std::string* problem);

// A whole number as text. Not std::to_string: its inline digit table is a unique
// symbol, which would keep a library that holds it from ever being unloaded.
std::string KvoEnvDecimal(long value);

// True the first time it is asked about `name` in this process. `name` must live
// as long as the process (a string constant).
bool KvoEnvFirstWarning(const char* name);
// The text of the warning: NAME="VALUE": PROBLEM; using INSTEAD.
std::string KvoEnvWarningText(const char* name, const char* value, const std::string& problem,
                              const std::string& instead);
// Logs KvoEnvWarningText at WARN, the first time for `name` only.
void KvoEnvWarn(const char* name, const char* value, const std::string& problem,
                const std::string& instead);
// Tests: the next problem with `name` is reported again.
void KvoEnvForgetWarning(const char* name);
