// The collector feeder of a stress run: sample datagrams to the controller's
// receiver through the comm library's socket.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "comm/kvo_protocol.h"
#include "platform/runtime_dir.h"
#include "stress_run.h"

namespace stress {

// ---- Collector feeder ----------------------------------------------------------------

bool Run::SendSample(Slot* slot, int fd, const sockaddr_un& to, socklen_t length, bool system,
                     const char* time, float cpu) {
    const char* kind = system ? kCommSystemId : kCommProcessId;
    char inner[256];
    if (system) {
        snprintf(inner, sizeof inner,
                 "{\\\"header\\\":{\\\"id\\\":\\\"%s\\\",\\\"time\\\":\\\"%s\\\"},"
                 "\\\"body\\\":{\\\"cpu\\\":%.2f}}",
                 kind, time, static_cast<double>(cpu));
    } else {
        snprintf(inner, sizeof inner,
                 "{\\\"header\\\":{\\\"id\\\":\\\"%s\\\",\\\"time\\\":\\\"%s\\\"},"
                 "\\\"body\\\":{\\\"cpu\\\":%.2f,\\\"iorspeed\\\":0,\\\"iowspeed\\\":4096}}",
                 kind, time, static_cast<double>(cpu));
    }
    char message[320];
    const int n = snprintf(message, sizeof message, "{\"context\":\"%s\"}", inner);
    Begin(slot, kOpMessage);
    const ssize_t sent = sendto(fd, message, static_cast<size_t>(n), MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&to), length);
    const int err = sent < 0 ? errno : 0;
    // No receiver (between uninit and init) or a full queue (its thread sleeping
    // or busy) drops the datagram; anything else is a fault of ours.
    const bool dropped = err == ECONNREFUSED || err == EAGAIN || err == ENOENT;
    End(slot, kOpMessage, dropped, err != 0 && !dropped);
    return err == 0;
}

// Pairs of a system and a process sample with the same time, at the rate asked
// for, to the controller's receiver through the comm library's socket.
void Run::FeederMain(Slot* slot, uint32_t seed) {
    slot->tid.store(Gettid());
    std::mt19937 rng(seed);
    // The receiver's socket in our private runtime directory, as the comm library binds it.
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    const int pathLength =
        snprintf(to.sun_path, sizeof(to.sun_path), "%s/%d/%s", KvoRuntimeDirOf(geteuid()).c_str(),
                 static_cast<int>(getpid()), kCommLibraryReceiver);
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + pathLength);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const double period = 2.0 / std::max(2, m_options.messageRate);
    double next = NowSeconds(CLOCK_MONOTONIC);
    while (fd >= 0 && !Stopping()) {
        const time_t now = ::time(nullptr);
        tm local{};
        localtime_r(&now, &local);
        char stamp[64];
        snprintf(stamp, sizeof stamp, "%d/%d/%d %d:%d:%d", local.tm_year + 1900, local.tm_mon + 1,
                 local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        const float sys = static_cast<float>(rng() % 10000) / 100.0f;
        const float proc = sys * static_cast<float>(rng() % 100) / 100.0f;
        SendSample(slot, fd, to, length, true, stamp, sys);
        SendSample(slot, fd, to, length, false, stamp, proc);
        next += period;
        const double wait = next - NowSeconds(CLOCK_MONOTONIC);
        if (wait > 0)
            Nap(static_cast<int>(wait * 1000.0));
        else
            next = NowSeconds(CLOCK_MONOTONIC);  // fell behind: do not burst
    }
    if (fd >= 0) close(fd);
    slot->done.store(true, std::memory_order_release);
}

}  // namespace stress
