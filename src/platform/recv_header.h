// The recvmsg header for one buffer and a control area, as the datagram
// receivers (comm delivery, kvo-top) fill it.
#pragma once

#include <string.h>
#include <sys/socket.h>

inline msghdr KvoRecvHeader(iovec* part, void* control, size_t controlSize) {
    msghdr message;
    memset(&message, 0, sizeof(message));
    message.msg_iov = part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = controlSize;
    return message;
}
