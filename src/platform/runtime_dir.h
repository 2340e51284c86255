// The private runtime directory of a uid, where the comm receivers and other
// per-user sockets live, and the checks that keep other users out of it.
#pragma once

#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// Private runtime directory of the effective uid, created 0700 when missing.
// True with *dir set; false with *why naming the path and the reason.
bool KvoRuntimeDir(std::string* dir, std::string* why);
// The same rule for another uid (kvo-collectord as root looking for receivers); no creation.
std::string KvoRuntimeDirOf(uid_t uid);

// Creates path with mode 0700 when missing, then accepts it only when it is a
// directory (not a symbolic link) owned by the effective uid that grants no
// access to group or others. False with *why naming the path and the reason.
bool KvoPrivateDir(const std::string& path, std::string* why);

// A pid folder's name (in a runtime directory or /proc): digits only, no sign,
// fits 32 bits, not 0. True with *pid set.
bool KvoParsePid(const std::string& text, uint32_t* pid);

// What the rule asks of the system; tests hand it a fake.
class RuntimeDirEnv {
public:
    virtual ~RuntimeDirEnv() = default;
    virtual const char* Getenv(const char* name) = 0;
    virtual uid_t Euid() = 0;
    // lstat: 0, or the errno of the failure.
    virtual int Lstat(const std::string& path, struct stat* st) = 0;
    // A new directory with mode exactly 0700 (whatever the umask): 0, or the errno.
    virtual int MakeDir(const std::string& path) = 0;
    static RuntimeDirEnv* Default();  // the real one; lives as long as the process
};

bool KvoRuntimeDirIn(RuntimeDirEnv* env, std::string* dir, std::string* why);
std::string KvoRuntimeDirOfIn(RuntimeDirEnv* env, uid_t uid);
bool KvoPrivateDirIn(RuntimeDirEnv* env, const std::string& path, std::string* why);
