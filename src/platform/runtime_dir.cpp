// Choosing and checking the private runtime directory: $XDG_RUNTIME_DIR/kvo_comm
// when that is a private directory of ours, else /run/user/<uid>/kvo_comm, else
// /tmp/kvo_comm-<uid>; /run/kvo_comm for root.
#include "platform/runtime_dir.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kLeaf[] = "kvo_comm";

bool PrivateDirOf(const std::string& path, uid_t uid) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
           (st.st_mode & 0077) == 0;
}

std::string DirFor(uid_t uid, bool useXdg) {
    if (uid == 0) return std::string("/run/") + kLeaf;
    if (useXdg) {
        const char* xdg = getenv("XDG_RUNTIME_DIR");
        if (xdg != nullptr && *xdg == '/' && PrivateDirOf(xdg, uid)) {
            return std::string(xdg) + "/" + kLeaf;
        }
    }
    const std::string userRun = "/run/user/" + std::to_string(uid);
    struct stat st;
    if (stat(userRun.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return userRun + "/" + kLeaf;
    return std::string("/tmp/") + kLeaf + "-" + std::to_string(uid);
}

}  // namespace

bool KvoRuntimeDir(std::string* dir, std::string* why) {
    const uid_t uid = geteuid();
    const std::string path = DirFor(uid, true);
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        *why = path + ": cannot create: " + strerror(errno);
        return false;
    }
    // A symbolic link, another owner or any access for others: someone else
    // could read, bind or fill what we put there.
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        *why = path + ": " + strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = path + ": not a directory";
        return false;
    }
    if (st.st_uid != uid) {
        *why = path + ": owned by uid " + std::to_string(st.st_uid);
        return false;
    }
    if ((st.st_mode & 0077) != 0) {
        *why = path + ": open to group or others";
        return false;
    }
    *dir = path;
    return true;
}

std::string KvoRuntimeDirOf(uid_t uid) { return DirFor(uid, false); }
