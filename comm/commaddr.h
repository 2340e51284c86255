// Addresses of comm receivers and sending one message to one: shared by the
// comm library and the collector service.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <vector>

// One datagram is one message of at most this many bytes.
constexpr size_t kCommMaxMessage = 65536;

// The receiver the library registers; the collector service publishes to it.
constexpr char kCommLibraryReceiver[] = "kvo_vurizeda:reciver";

// "\0kvo_comm/<pid>/<name>" with no trailing NUL. False when name is empty or
// the address does not fit.
bool CommAddress(uint32_t pid, const char* name, sockaddr_un* address, socklen_t* length);

// Sends text to kvo_comm/<pid>/<name> from socket fd; flags as for sendto
// (MSG_DONTWAIT never waits for room). 0, or the errno of the failure.
int CommSendTo(int fd, uint32_t pid, const char* name, const char* text, size_t length, int flags);

// The pids whose receiver `name` appears in the text of /proc/net/unix, where an
// abstract address shows with a leading '@'. Sorted, without repeats.
std::vector<uint32_t> ParseReceiverPids(const std::string& netUnix, const char* name);
