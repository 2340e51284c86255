// The collector's wire protocol, in one place: the receiver name, the message
// kinds, the size of one message and the names of the runtime directory.
#pragma once

#include <stddef.h>

// The receiver the library registers; collector services publish to it.
constexpr char kCommLibraryReceiver[] = "kvo_vurizeda:reciver";

// Message kinds ("header"."id"), compared over their first kCommIdLength characters.
constexpr char kCommSystemId[] = "29405D00-268C-4380-BB86-61CD57AED3E1";
constexpr char kCommProcessId[] = "85780327-DA34-469B-BFD0-6519CCF8CBB1";
constexpr size_t kCommIdLength = 36;

// One datagram is one message text of at most this many bytes.
constexpr size_t kCommMaxMessage = 65536;

// Receivers live in <runtime dir>/<pid>/<name>. The runtime dir is
// $XDG_RUNTIME_DIR/<kCommDirName>, /run/user/<euid>/<kCommDirName>,
// <kCommTmpDirPrefix><euid>, or kCommRootDir for uid 0.
constexpr char kCommDirName[] = "kvo_comm";
constexpr char kCommUserRunBase[] = "/run/user/";
constexpr char kCommTmpDirPrefix[] = "/tmp/kvo_comm-";
constexpr char kCommRootDir[] = "/run/kvo_comm";
