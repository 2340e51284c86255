// The status port: a datagram socket in the private runtime directory through
// which kvo-top asks a process what its scheduler limits. The schedule thread
// looks at it once per tick without waiting and answers only when asked.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <vector>

#include "scheduler/ctrlfigures.h"

// The socket is <runtime dir>/<pid>/kvo_vurizeda:status.
constexpr char kStatusSocketName[] = "kvo_vurizeda:status";
// A request is "status <seq>"; every datagram of its answer is one JSON object
// carrying that seq, its part number and the number of parts.
constexpr char kStatusRequestWord[] = "status";
constexpr size_t kStatusMaxDatagram = 16384;
constexpr size_t kStatusMaxParts = 8;  // rows beyond these are counted in "omitted"
constexpr int kStatusMaxRequestsPerTick = 4;

// Who sent a request, and where the answer goes.
struct _StatusPeer {
    sockaddr_un address;
    socklen_t length;
    bool hasCreds;
    uint32_t uid;  // the sender's uid as the kernel vouches for it
    uint32_t pid;
};

// The status port's window on the operating system. Tests hand it a fake.
class StatusEnv {
public:
    virtual ~StatusEnv() = default;
    // Creates <dir>/<pid>/ and binds a non-blocking datagram socket there that
    // receives its senders' credentials. The socket, or -1; *path its file.
    virtual int Open(std::string* path) = 0;
    // One datagram without waiting: its length, 0 for one that did not fit, or
    // -1 when none waits.
    virtual int Receive(int fd, char* buf, size_t size, _StatusPeer* peer) = 0;
    // Sends without waiting; 0, or the errno value.
    virtual int Send(int fd, const _StatusPeer& peer, const char* text, size_t length) = 0;
    // Closes fd; with removeFile, also removes the socket file and, when empty,
    // the per-process folder.
    virtual void Close(int fd, const char* path, bool removeFile) = 0;
    virtual uint32_t RealUid() = 0;
    virtual uint32_t EffectiveUid() = 0;
    virtual uint32_t ProcessId() = 0;

    // The real one; never destroyed.
    static StatusEnv* Default();
};

// What the automatic controller shows, where it runs.
struct _ControllerStatus {
    int running;      // initialised
    int autoOn;       // automatic CPU limiting switched on
    float limit;      // process limit, percent of the whole machine
    float ceiling;    // system ceiling, same scale
    int userPresent;  // 1 using, 0 not using, -1 not known (activity monitor off)
    int haveSample;
    float sysCpu;        // last collector sample
    float procCpu;       //
    int64_t sampleTime;  // its time, seconds since the epoch
};
typedef void (*ControllerStatusCb)(_ControllerStatus* status, void* context);

// Process-wide: the controller whose figures status answers carry. Clearing
// (only when context is the one set) returns when no answer still uses it.
void StatusSetControllerSource(ControllerStatusCb callback, void* context);
void StatusClearControllerSource(void* context);

// The datagrams that answer request seq: the first carries the controller part
// (null when no controller runs), the rows are packed in order into at most
// kStatusMaxParts datagrams of at most kStatusMaxDatagram bytes.
std::vector<std::string> StatusAnswer(uint32_t pid, uint32_t seq, const char* mode,
                                      const _ControllerStatus* controller,
                                      const std::vector<_ThreadFigures>& rows);

// "status <seq>": true with *seq set.
bool ParseStatusRequest(const char* text, size_t length, uint32_t* seq);

class CStatusPort {
public:
    // Fills rows with every limited thread; called only when a request is answered.
    typedef void (*CollectCb)(void* context, std::vector<_ThreadFigures>* rows);

    // env null: no port at all (schedulers other than the process's own).
    explicit CStatusPort(StatusEnv* env) : m_env(env), m_fd(-1), m_path{} {}
    CStatusPort(const CStatusPort&) = delete;
    CStatusPort& operator=(const CStatusPort&) = delete;

    // Schedule thread only, at its start and its end. A port that cannot be
    // opened leaves the scheduler as it is: nobody can ask it, that is all.
    void Open();
    void Close();
    // In a fork child: the socket belongs to the parent, whose file stays.
    void ForgetInChild();
    // Schedule thread, once per tick: at most one receive that finds nothing.
    void Poll(const char* mode, CollectCb collect, void* context);
    bool IsOpen() const { return __atomic_load_n(&m_fd, __ATOMIC_SEQ_CST) >= 0; }

private:
    bool Trusted(const _StatusPeer& peer);

    StatusEnv* const m_env;
    int m_fd;  // atomic: a fork child must see it open or closed, never in between
    char m_path[sizeof(sockaddr_un::sun_path)];  // fixed: a child never sees a half-built string
};
