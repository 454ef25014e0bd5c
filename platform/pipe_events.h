#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/handle.h"

namespace platform {

/// One entry of the pipe's access list: granted to an account by name, not inherited.
struct PipeAccessEntry {
  std::u16string_view trustee;
  uint32_t accessMask;
};

/// The settings of CreateNamedPipeW.
struct PipeSettings {
  std::u16string_view name;
  uint32_t openMode;
  uint32_t pipeMode;
  uint32_t maxInstances;
  uint32_t outBufferSize;
  uint32_t inBufferSize;
  uint32_t defaultTimeoutMs;
};

/// What an overlapped ConnectNamedPipe left behind.
enum class ConnectState {
  kPending,    // listening; the event is signalled when a client connects
  kConnected,  // a client connected before the call (ERROR_PIPE_CONNECTED); the event is not
               // signalled
  kFailed,
};

using ThreadFunction = void (*)(void* argument);

/// How long a read waits for a client's first byte.
inline constexpr int kPipeReadLimitMs = 5000;
/// How long a flush waits for the client to read the reply.
inline constexpr int kPipeFlushLimitMs = 5000;

/// Named pipes, events, waits and threads: everything the pipe loop needs of the system.
/// Handles of every kind are released with Close. Thread-safe: the control handler sets
/// the stop event from another thread while the loop waits on it.
class PipeEvents {
 public:
  virtual ~PipeEvents() = default;

  /// InitializeSecurityDescriptor + BuildExplicitAccessWithNameW (GRANT_ACCESS, NO_INHERITANCE)
  /// + SetEntriesInAclW + SetSecurityDescriptorDacl. The result lives for the whole process.
  /// A built-in account whose name cannot be looked up (a localised Windows names it otherwise)
  /// is taken by its well-known SID; null when another name cannot be, or a call fails.
  virtual Handle BuildSecurity(std::span<const PipeAccessEntry> entries) = 0;

  /// CreateNamedPipeW. Null on failure, also when FILE_FLAG_FIRST_PIPE_INSTANCE is asked for
  /// and another process already serves the name.
  virtual Handle CreatePipe(const PipeSettings& settings, Handle security) = 0;

  /// ConnectNamedPipe with an OVERLAPPED record whose event is `connectEvent`.
  virtual ConnectState Connect(Handle pipe, Handle connectEvent) = 0;

  /// ReadFile: one read of at most `size` bytes, complete when it returns. Bytes read, or -1,
  /// also when no byte arrives within kPipeReadLimitMs: a client that connects and sends
  /// nothing cannot hold the single pipe instance.
  virtual std::ptrdiff_t Read(Handle pipe, void* buffer, std::size_t size) = 0;
  /// WriteFile without OVERLAPPED, one write.
  virtual bool Write(Handle pipe, const void* data, std::size_t size) = 0;
  /// FlushFileBuffers: returns once the disconnect can no longer lose what was written (on a
  /// Windows pipe, once the client has read it all or has gone; on a Unix socket at once), or
  /// false after kPipeFlushLimitMs: a client that never reads cannot hold the pipe.
  virtual bool Flush(Handle pipe) = 0;
  /// DisconnectNamedPipe: the instance can listen again afterwards.
  virtual bool Disconnect(Handle pipe) = 0;
  /// ImpersonateNamedPipeClient: the calling thread takes the connected client's identity, so
  /// the events it opens next are opened as the client could. Only after data has been read
  /// from the pipe. False when the identity cannot be taken.
  virtual bool ImpersonateClient(Handle pipe) = 0;
  /// RevertToSelf: the thread takes back the service's own identity.
  virtual bool RevertToSelf() = 0;

  /// CreateEventW without a name or security attributes.
  virtual Handle CreateEvent(bool manualReset, bool initiallySignalled) = 0;
  /// OpenEventW(EVENT_MODIFY_STATE, not inheritable): an event another process made.
  /// Null when it does not exist or access is refused.
  virtual Handle OpenEvent(std::u16string_view name) = 0;
  virtual bool SetEvent(Handle event) = 0;
  virtual bool ResetEvent(Handle event) = 0;

  /// WaitForMultipleObjects over two handles, any one, no time-out: 0 or 1 (the lowest index
  /// when both are signalled), or -1 when the wait fails. An auto-reset event is consumed.
  virtual int WaitForEither(Handle first, Handle second) = 0;

  /// Starts a thread with the default stack size; null when it cannot be started.
  virtual Handle StartThread(ThreadFunction function, void* argument) = 0;
  /// Waits until the thread has ended; the handle is still to be closed.
  virtual bool WaitForThread(Handle thread) = 0;

  /// CloseHandle: pipes, events and threads alike.
  virtual void Close(Handle handle) = 0;
};

/// The real pipe and event binding of this platform.
PipeEvents& SystemPipeEvents();

}  // namespace platform
