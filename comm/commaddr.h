// Where comm receivers live and sending one message to one: shared by the comm
// library, the collector service and the stress harness.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <string>
#include <vector>

#include "comm/kvo_protocol.h"

// "<dir>/<pid>/<name>": the socket of receiver name of process pid.
std::string CommReceiverPath(const std::string& dir, uint32_t pid, const char* name);
// The same in the runtime directory of uid.
std::string CommReceiverPathOf(uid_t uid, uint32_t pid, const char* name);

// The socket address of path; false when path is empty or does not fit.
bool CommSocketAddress(const std::string& path, sockaddr_un* address, socklen_t* length);

// Sends text to the socket at path from socket fd; flags as for sendto
// (MSG_DONTWAIT never waits for room). 0, or the errno of the failure.
int CommSendTo(int fd, const std::string& path, const char* text, size_t length, int flags);

// The pids that have a folder in dir (names of digits only), sorted.
std::vector<uint32_t> ListPidFolders(const std::string& dir);

// The effective uid on the "Uid:" line of a /proc/<pid>/status text.
bool ParseEffectiveUid(const std::string& status, uid_t* uid);
