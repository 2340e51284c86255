// The runtime directory rule: which folder a uid's sockets live in, its
// creation, and the refusal of one that another user could reach.
#include "platform/runtime_dir.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "comm/kvo_protocol.h"
#include "platform/kvo_static.h"

namespace {

class PosixRuntimeDirEnv : public RuntimeDirEnv {
public:
    const char* Getenv(const char* name) override { return getenv(name); }
    uid_t Euid() override { return geteuid(); }
    int Lstat(const std::string& path, struct stat* st) override {
        return lstat(path.c_str(), st) == 0 ? 0 : errno;
    }
    int MakeDir(const std::string& path) override {
        if (mkdir(path.c_str(), 0700) != 0) return errno;
        // The umask may have taken the owner's bits; nobody else can reach the
        // new folder in between, its parent being private or sticky.
        return chmod(path.c_str(), 0700) == 0 ? 0 : errno;
    }
};

bool PrivateTo(const struct stat& st, uid_t uid) {
    return S_ISDIR(st.st_mode) && st.st_uid == uid && (st.st_mode & 0777) == 0700;
}

// The rule for uid; xdg is the caller's XDG_RUNTIME_DIR when uid is its own.
std::string DirFor(RuntimeDirEnv* env, uid_t uid, const char* xdg) {
    if (uid == 0) return kCommRootDir;
    struct stat st;
    if (xdg != nullptr && xdg[0] == '/' && env->Lstat(xdg, &st) == 0 && PrivateTo(st, uid)) {
        return std::string(xdg) + "/" + kCommDirName;
    }
    const std::string userRun = kCommUserRunBase + std::to_string(uid);
    if (env->Lstat(userRun, &st) == 0 && S_ISDIR(st.st_mode)) {
        return userRun + "/" + kCommDirName;
    }
    return kCommTmpDirPrefix + std::to_string(uid);
}

}  // namespace

RuntimeDirEnv* RuntimeDirEnv::Default() { return NeverDestroyed<PosixRuntimeDirEnv>(); }

bool KvoPrivateDirIn(RuntimeDirEnv* env, const std::string& path, std::string* why) {
    int err = env->MakeDir(path);
    if (err != 0 && err != EEXIST) {
        *why = path + ": cannot create: " + strerror(err);
        return false;
    }
    struct stat st;
    err = env->Lstat(path, &st);
    uid_t euid = env->Euid();
    if (err != 0) {
        *why = path + ": cannot examine: " + strerror(err);
    } else if (S_ISLNK(st.st_mode)) {
        *why = path + ": is a symbolic link";
    } else if (!S_ISDIR(st.st_mode)) {
        *why = path + ": is not a directory";
    } else if (st.st_uid != euid) {
        *why = path + ": is owned by uid " + std::to_string(st.st_uid) + ", not " +
               std::to_string(euid);
    } else if ((st.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *why = path + ": is open to group or others (mode " + mode + ")";
    } else {
        return true;
    }
    return false;
}

bool KvoRuntimeDirIn(RuntimeDirEnv* env, std::string* dir, std::string* why) {
    std::string path = DirFor(env, env->Euid(), env->Getenv("XDG_RUNTIME_DIR"));
    if (!KvoPrivateDirIn(env, path, why)) return false;
    *dir = path;
    return true;
}

std::string KvoRuntimeDirOfIn(RuntimeDirEnv* env, uid_t uid) {
    // Another user's environment is unknown: its XDG_RUNTIME_DIR counts only for ourselves.
    return DirFor(env, uid, uid == env->Euid() ? env->Getenv("XDG_RUNTIME_DIR") : nullptr);
}

bool KvoRuntimeDir(std::string* dir, std::string* why) {
    return KvoRuntimeDirIn(RuntimeDirEnv::Default(), dir, why);
}

std::string KvoRuntimeDirOf(uid_t uid) { return KvoRuntimeDirOfIn(RuntimeDirEnv::Default(), uid); }

bool KvoPrivateDir(const std::string& path, std::string* why) {
    return KvoPrivateDirIn(RuntimeDirEnv::Default(), path, why);
}

bool KvoParsePid(const std::string& text, uint32_t* pid) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value == 0 || value > UINT32_MAX) return false;
    *pid = static_cast<uint32_t>(value);
    return true;
}
