/* zylclient: talk to the VokZyl control service from any program.
 *
 * One call is one whole exchange with the service, all within one time-out: on Windows the
 * library creates the two global events the service signals, opens the service's pipe (waiting
 * while another client is served), writes one 24-byte record and reads the reply; on Linux the
 * socket is the whole exchange (connect, write 24 bytes, read 24) and nothing is kept from one
 * call to the next. It returns as soon as the reply is in: the service's done and disconnected
 * signals are for watchers of the protocol, not for callers.
 *
 * Plain C (C89 and later, and C++), no allocation visible to the caller, no callbacks except the
 * optional progress hook: callable through any foreign-function interface. Link the shared
 * library (it carries the C++ run-time as a dependency: libstdc++ on Linux; linked in on
 * Windows) or the static one (then link the C++ run-time too: pkg-config --static, or the
 * CMake target ZylClient::zylclient_static, add it).
 *
 * Every command function returns a transport status (ZYL_STATUS_OK when a whole reply was read)
 * and leaves the service's own answer, the reply's `result`, to an output parameter. The status
 * says whether the service answered; the result says what it answered (zyl_result_text names
 * it; the README's table says what each means).
 *
 * Time-outs. `timeout_ms` covers the whole call. A call that returns ZYL_STATUS_TIMEOUT has
 * sent its request: the command may have run, may still be running, or may never run, but it
 * runs at most once (no call ever sends a request twice). Nothing tells which: ask with
 * zyl_query (or zyl_wait_until_working) to learn the adapter's state before deciding to repeat
 * a disable or an enable.
 * ZYL_STATUS_BUSY, ZYL_STATUS_NO_SERVICE, ZYL_STATUS_NO_EVENTS and ZYL_STATUS_NOT_THE_SERVICE mean
 * that nothing was sent, so the command did not run.
 *   - Linux: a client waits for a busy service in the socket's queue with its request already
 *     written, so a busy service shows as ZYL_STATUS_TIMEOUT. The service does not start the
 *     command of a queued client that has hung up.
 *   - Windows: one pipe instance serves one client; a client waits for it before anything is
 *     sent (ZYL_STATUS_BUSY when the time-out runs out). Once connected, the request is read at
 *     once and its command runs to its end even when the caller has given up.
 *
 * Concurrent callers. The service serves one client at a time; on Windows the two events have
 * global names shared by every client on the machine.
 *   - Within one process, calls from several threads are safe: the library serialises whole
 *     exchanges, so a second call waits (within its own time-out) until the first has ended.
 *   - Between processes, each client gets its own connection and its own reply; the service
 *     serves them one after another and a client waits for the pipe within its time-out.
 *     On Windows both clients open the same two events, so the done and disconnected signals
 *     one of them sees may have been set for the other; a reply never depends on them.
 *   - fork(): a child may call the library when no other thread of the parent was inside a
 *     call at the fork (the serialising lock is copied as it was). Descriptors are made
 *     close-on-exec.
 *   - Signals: no call is safe in a signal handler. Interrupted system calls are resumed, and a
 *     service that goes away never raises SIGPIPE.
 */
#ifndef ZYL_ZYLCLIENT_H
#define ZYL_ZYLCLIENT_H

#include <stdint.h>

#if defined(_WIN32)
#define ZYL_API
#else
#define ZYL_API __attribute__((visibility("default")))
#endif

/* The version of this header. zyl_version() gives the library's; a program built with one
 * version runs with any library of the same major version and an equal or higher minor one. */
#define ZYL_VERSION_MAJOR 1
#define ZYL_VERSION_MINOR 0
#define ZYL_VERSION_PATCH 0
#define ZYL_VERSION_NUMBER \
  ((ZYL_VERSION_MAJOR << 16) | (ZYL_VERSION_MINOR << 8) | ZYL_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

/* The request and reply record: 24 bytes, little-endian, the same layout both ways. */
typedef struct zyl_record {
  uint32_t command;     /* 0 load, 1 count, 2 query, 3 disable, 4 enable */
  uint32_t matchId;     /* PCI ID dword to match: vendor in bits 0-15, device in bits 16-31 */
  uint32_t matchSubsys; /* PCI subsystem dword to match: subsystem vendor ID in bits 0-15,
                           subsystem ID in bits 16-31 (register 0x2C); 0 for none */
  uint32_t count;       /* command 1: matches found (out); command 2: match index (in) */
  int32_t result;       /* the service's result code */
  uint16_t foundVendor; /* command 1 by subsystem: IDs of the function found (out) */
  uint16_t foundDevice;
} zyl_record;

/* Transport statuses. Each means one thing on both systems; the notes say how each system
 * comes to give it. Every command function (zyl_request, zyl_load ... zyl_enable,
 * zyl_wait_until_working) can return
 * any of them, and nothing else; zyl_version and the two text functions return no status. */
enum {
  /* A whole reply was read; the output parameters are written. */
  ZYL_STATUS_OK = 0,
  /* Nobody serves the pipe: the service is not running. Nothing was sent.
   * Windows: the pipe does not exist. Linux: the socket does not exist or nobody listens on
   * it. */
  ZYL_STATUS_NO_SERVICE = 1,
  /* The time-out ran out before the request could be sent: the service, or another thread of
   * this process, was serving another client all along. Nothing was sent.
   * Windows: the one pipe instance stayed busy. Linux: the socket's queue stayed full (a busy
   * service with room in its queue gives ZYL_STATUS_TIMEOUT instead). Both: another thread of
   * this process held the exchange for the whole time-out. */
  ZYL_STATUS_BUSY = 2,
  /* Windows: the two global events cannot be made (access refused, no memory). Nothing was
   * sent. Never on Linux, where the exchange needs no events. */
  ZYL_STATUS_NO_EVENTS = 3,
  /* The service closed the connection without a reply: it refused the request (an unknown
   * command, a client without its events) or ended while the command ran. */
  ZYL_STATUS_CLOSED = 4,
  /* The connection closed after part of a reply. */
  ZYL_STATUS_SHORT_REPLY = 5,
  /* The request was sent and no whole reply came within the time-out: the command may or may
   * not run, at most once (see Time-outs above). */
  ZYL_STATUS_TIMEOUT = 6,
  /* The pipe is served by a process that is not the service. Nothing was sent.
   * Windows: the pipe's server is not the process the service manager runs as "Tavik Zyl
   * Control Service". Linux: the socket's server is neither root nor the owner of the runtime
   * directory. */
  ZYL_STATUS_NOT_THE_SERVICE = 7,
  /* A system call failed otherwise, for example the runtime directory cannot be trusted or its
   * socket path is too long (Linux), or memory ran out. The message says which. */
  ZYL_STATUS_FAILED = 8,
  /* A required pointer is NULL, or `options->size` is smaller than the first version's record.
   * Nothing was sent. */
  ZYL_STATUS_BAD_ARGUMENT = 9
};

/* What an exchange waits for when it calls the progress hook. On Linux a connection waits for
 * a busy service in the socket's queue, so there the whole wait reads as the reply's. */
enum {
  ZYL_WAITING_FOR_SERVICE = 1, /* the pipe serves another client */
  ZYL_WAITING_FOR_REPLY = 2,   /* the request was sent; the command runs */
  ZYL_WAITING_FOR_ADAPTER = 3  /* zyl_wait_until_working: the adapter does not work yet */
};

/* Called on the caller's thread about once a second while an exchange waits, the first time
 * after one second. It must not call into this library. */
typedef void (*zyl_progress_fn)(void* context, int waiting_for, uint32_t elapsed_ms);

/* Options of one call. Pass NULL for the defaults, or a record with `size` set to
 * sizeof(zyl_options) and every other member zero unless wanted. `size` tells the library which
 * members the caller knows: a record of the first layout, which ends at `progress_context`,
 * keeps working (no message is written), and a larger one from a later header is accepted,
 * its unknown members ignored. A `size` below the first layout's gives
 * ZYL_STATUS_BAD_ARGUMENT. The library reads the record during the call only and keeps no
 * pointer from it. */
typedef struct zyl_options {
  uint32_t size;       /* sizeof(zyl_options) */
  uint32_t timeout_ms; /* limit for the whole call, waits for a busy service included;
                          0 for the default, 60000 */
  /* Linux: the service's runtime directory, where its socket is. NULL or "" for the default:
   * /run/vokzyl when it exists (the service's unit makes it) or the caller is root, otherwise
   * $XDG_RUNTIME_DIR/vokzyl, or /tmp/vokzyl-<uid> without XDG_RUNTIME_DIR. A relative path is
   * taken from the current directory. The socket's path, this directory and 26 more bytes, must
   * be shorter than 108 bytes (ZYL_STATUS_FAILED otherwise). Ignored on Windows. */
  const char* runtime_dir;
  zyl_progress_fn progress;
  void* progress_context;
  /* The second layout: the caller's buffer for the cause of a failure, in plain words
   * ("nobody listens on /run/vokzyl/TAVIK_Zyl_Control_Service"), NUL-terminated and cut to
   * fit; "" after ZYL_STATUS_OK. NULL or `message_size` 0 for none. Each caller's own buffer,
   * so safe with calls on other threads; 256 bytes hold any message but the longest paths. */
  char* message;
  uint32_t message_size;
} zyl_options;

/* One whole exchange: sends `request` and fills `reply` with the service's answer. Both
 * pointers are required (ZYL_STATUS_BAD_ARGUMENT); `options` may be NULL. Returns
 * ZYL_STATUS_OK when a whole reply was read; `reply` is written only then. Any status of the
 * list above. */
ZYL_API int zyl_request(const zyl_record* request, zyl_record* reply, const zyl_options* options);

/* The five commands. Each returns a status of the list above; every output parameter may be
 * NULL and is written only with ZYL_STATUS_OK. `result` is the reply's result code; the codes
 * each command can answer are in the README's table (zyl_result_text names them). */

/* Command 0: loads and initialises the hardware access library in the service. */
ZYL_API int zyl_load(int32_t* result, const zyl_options* options);
/* Command 1 by vendor and device ID (`match_id`: device << 16 | vendor). */
ZYL_API int zyl_count_by_id(uint32_t match_id, int32_t* result, uint32_t* count,
                            const zyl_options* options);
/* Command 1 by subsystem alone (`match_subsys`: subsystem ID << 16 | subsystem vendor ID, as
 * the PCI configuration register 0x2C holds them); also gives the IDs of the function found. */
ZYL_API int zyl_count_by_subsystem(uint32_t match_subsys, int32_t* result, uint32_t* count,
                                   uint16_t* found_vendor, uint16_t* found_device,
                                   const zyl_options* options);
/* Command 2: is the `index`-th match (by ID, or by subsystem when `match_subsys` is not 0)
 * present and working? */
ZYL_API int zyl_query(uint32_t match_id, uint32_t match_subsys, uint32_t index, int32_t* result,
                      const zyl_options* options);
/* Commands 3 and 4: take the adapter of the last count out of service, and put it back. */
ZYL_API int zyl_disable(int32_t* result, const zyl_options* options);
ZYL_API int zyl_enable(int32_t* result, const zyl_options* options);

/* Command 2 again and again, about every 250 ms, until the adapter works (result 2) or
 * `wait_ms` has passed: what to call after zyl_enable instead of sleeping a guessed time. Each
 * query is one exchange within `timeout_ms` (the last may end that long after `wait_ms`); the
 * progress hook is called with ZYL_WAITING_FOR_ADAPTER about once a second between queries,
 * with the time since the call began. Returns ZYL_STATUS_OK with `result` the last answer: 2
 * once the adapter works; when `wait_ms` ran out first, what the adapter answered last (3, 4 or
 * -102: it is not back). An answer that waiting cannot change (-107: no session, -106, 0 ...)
 * ends the wait at once. Any other status ends the wait with that status. */
ZYL_API int zyl_wait_until_working(uint32_t match_id, uint32_t match_subsys, uint32_t index,
                                   uint32_t wait_ms, int32_t* result, const zyl_options* options);

/* The library's version as ZYL_VERSION_NUMBER forms it: major << 16 | minor << 8 | patch. */
ZYL_API uint32_t zyl_version(void);

/* A short text for a transport status, and for a result code the service can answer
 * ("unknown status" / "unknown result" otherwise). Static strings: never freed. */
ZYL_API const char* zyl_status_text(int status);
ZYL_API const char* zyl_result_text(int32_t result);

#ifdef __cplusplus
}
#endif

#endif /* ZYL_ZYLCLIENT_H */
