// The private runtime directory of a user, where the library's sockets live:
// no other user can reach, create or fill anything inside it.
#pragma once

#include <sys/types.h>

#include <string>

// Private runtime directory of the effective uid, created 0700 when missing.
// True with *dir set; false with *why naming the path and the reason.
bool KvoRuntimeDir(std::string* dir, std::string* why);
// The same rule for another uid (as root looking for other users' sockets); no creation.
std::string KvoRuntimeDirOf(uid_t uid);
