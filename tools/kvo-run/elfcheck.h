// Whether a program can take the preload library: dynamically linked, of the
// preload's own class and machine, and without set-user-ID or set-group-ID.
#pragma once

#include <string>

// Empty when the program at path can be preloaded; otherwise the reason, one
// short phrase. preload is the library's own path (its class and machine).
std::string PreloadRefusal(const std::string& path, const std::string& preload);
