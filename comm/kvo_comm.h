/* libkvo_comm.so: named message receivers of a process. Each registered name is
 * an AF_UNIX datagram socket "<dir>/<pid>/<name>" in the private (0700) runtime
 * directory of the effective uid (see platform/runtime_dir.h); only senders
 * with the process's real or effective uid, or root, are delivered. One
 * datagram is one message text of at most 65536 bytes. Results are 0 or a
 * 0x84ce.... code (see platform/kvo_result.h). */
#ifndef KVO_COMM_H
#define KVO_COMM_H

#include <stdint.h>

#define KVO_COMM_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* A message: the text of a delivered datagram (valid during its callback) or a
 * heap message made with kvo_comm_new_data. */
typedef struct comm_data comm_data;

/* Called on the registration's own delivery thread, one message at a time;
 * second is always null. The result says how the message fared (0 accepted). */
typedef uint32_t (*kvo_comm_receiver)(comm_data* data, comm_data* second, void* context);

/* Counted: every successful call needs one kvo_comm_uninit. */
KVO_COMM_API uint32_t kvo_comm_init(void);
/* The last one ends every registration, as kvo_comm_unregister_all. */
KVO_COMM_API uint32_t kvo_comm_uninit(void);

/* Binds <dir>/<pid>/<name> and starts its delivery thread (and, unless
 * KVO_COMM_SAMPLER=0, the embedded sampler). Needs kvo_comm_init. The name is
 * one path component (no '/'). Fails, with an ERROR line, when the runtime
 * directory is a link, belongs to another uid or is open to group or others. */
KVO_COMM_API uint32_t kvo_comm_register(const char* name, kvo_comm_receiver callback,
                                        void* context);
/* Ends deliveries to name; returns when no callback of it runs or can start.
 * From inside a callback, unregister and uninit do not wait for that callback
 * itself (the caller); its thread is joined by a later call from outside a
 * callback or at unload, so never unload the library from inside a callback. */
KVO_COMM_API uint32_t kvo_comm_unregister(const char* name);
KVO_COMM_API uint32_t kvo_comm_unregister_all(void);

/* Heap messages for kvo_comm_send / kvo_comm_post. */
KVO_COMM_API uint32_t kvo_comm_new_data(comm_data** data);
/* Copies length bytes of text (at most 65536) into a heap message. */
KVO_COMM_API uint32_t kvo_comm_set_data(comm_data* data, const char* text, uint32_t length);
/* The message's text and length; the text need not end with a NUL byte. */
KVO_COMM_API uint32_t kvo_comm_get_data(comm_data* data, const char** text, uint32_t* length);
/* Frees a heap message; delivered messages belong to the library and are refused. */
KVO_COMM_API uint32_t kvo_comm_delete_data(comm_data* data);

/* Sends the message to the receiver name of process pid (0: this process), in
 * the runtime directory of that process's effective uid.
 * send waits up to a second for room in the receiver's queue; post never waits. */
KVO_COMM_API uint32_t kvo_comm_send(uint32_t pid, const char* name, comm_data* data);
KVO_COMM_API uint32_t kvo_comm_post(uint32_t pid, const char* name, comm_data* data);

#ifdef __cplusplus
}
#endif

#endif /* KVO_COMM_H */
