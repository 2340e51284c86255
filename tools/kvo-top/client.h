// kvo-top's side of the status port: which processes have one, asking them all
// at once, and putting each answer's datagrams back together.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

struct json_t;

// A process that may answer.
struct _TopTarget {
    uint32_t pid;
    uint32_t uid;
    std::string command;
    std::string socket;  // empty: none found
};

struct _TopAnswer {
    _TopTarget target;
    std::shared_ptr<json_t> status;  // the whole answer; null with error set
    std::string error;
    bool stale;  // nobody listens on the socket: left by an ended process whose pid came back
};

// pids empty: every process of uid that has a status socket (of every user
// when all). Otherwise exactly those pids, each with its socket or not.
std::vector<_TopTarget> FindTargets(const std::vector<uint32_t>& pids, bool all, uint32_t uid);

// Asks every target with a socket and waits up to timeoutMs for the answers. An
// answer counts only when the kernel says its sender is the target process.
std::vector<_TopAnswer> QueryTargets(const std::vector<_TopTarget>& targets, uint32_t seq,
                                     int64_t timeoutMs);

// Gives each thread of an answer its "name" and whether it "exists" in that process.
void DescribeThreads(uint32_t pid, json_t* status);

// Pids and socket paths of status sockets listed in the text of /proc/net/unix.
std::vector<std::pair<uint32_t, std::string>> ParseStatusSockets(const std::string& netUnix);
