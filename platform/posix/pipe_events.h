#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/pipe_events.h"

namespace platform {

/// The owner and mode a pipe's socket file gets, made by BuildSecurity from the access list:
///   "SYSTEM"         -> owner root             (uid 0)
///   "Administrators" -> group: the first of "sudo", "wheel", "admin" that exists, else root
///   "Users", "Everyone", "Authenticated Users" -> all other local users
/// Each class gets read permission for FILE_READ_DATA or GENERIC_READ/ALL and write permission
/// (which is what connecting to a socket needs) for FILE_WRITE_DATA or GENERIC_WRITE/ALL;
/// FILE_ALL_ACCESS for SYSTEM and Administrators and FILE_GENERIC_READ | FILE_GENERIC_WRITE for
/// Users, as the service asks, give mode 0666. Names are matched without regard to case;
/// any other name fails, as an unknown account fails on Windows.
struct PosixPipeSecurity {
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;
};

/// The Linux binding of PipeEvents: the named pipe is a Unix stream socket and the named
/// events are shared files, both under `runtimeDir` by the rules of posix/ipc_names.h.
///
/// - CreatePipe holds an flock on "<socket>.lock" for the pipe's life: a second server of the
///   same name (in this or another process) gets null, as FILE_FLAG_FIRST_PIPE_INSTANCE does.
///   A socket file left by a dead server is replaced. Only one instance (max instances 1) is
///   supported; clients that connect while one is served wait in the listen backlog until the
///   server disconnects the first and listens again.
/// - Unnamed events are eventfds. A connect event is tied to its pipe by Connect and counts as
///   signalled in WaitForEither when a client is waiting to be accepted; that wait accepts it.
///   Only unnamed events can be waited on.
/// - Flush waits until the client has taken every byte written (the socket's send queue is
///   empty) or has gone, for at most `kPipeFlushLimitMs`, so a client that never reads cannot
///   hold the service for ever. False when the limit is reached.
class PosixPipeEvents final : public PipeEvents {
 public:
  static constexpr int kListenBacklog = 64;

  explicit PosixPipeEvents(std::string runtimeDir);
  ~PosixPipeEvents() override;

  const std::string& RuntimeDir() const { return runtimeDir_; }
  /// What BuildSecurity made, or null when `security` is not such a handle.
  static const PosixPipeSecurity* DescribeSecurity(Handle security);

  Handle BuildSecurity(std::span<const PipeAccessEntry> entries) override;
  Handle CreatePipe(const PipeSettings& settings, Handle security) override;
  ConnectState Connect(Handle pipe, Handle connectEvent) override;
  std::ptrdiff_t Read(Handle pipe, void* buffer, std::size_t size) override;
  bool Write(Handle pipe, const void* data, std::size_t size) override;
  bool Flush(Handle pipe) override;
  bool Disconnect(Handle pipe) override;
  bool ImpersonateClient(Handle pipe) override;
  bool RevertToSelf() override;
  Handle CreateEvent(bool manualReset, bool initiallySignalled) override;
  Handle OpenEvent(std::u16string_view name) override;
  bool SetEvent(Handle event) override;
  bool ResetEvent(Handle event) override;
  int WaitForEither(Handle first, Handle second) override;
  Handle StartThread(ThreadFunction function, void* argument) override;
  bool WaitForThread(Handle thread) override;
  void Close(Handle handle) override;

 private:
  struct PipeObject;
  struct EventObject;
  PipeObject* ListeningPipeOf(EventObject* event);
  bool AcceptInto(PipeObject* pipe);

  const std::string runtimeDir_;
  std::mutex mutex_;  // guards listening_ and securities_
  std::unordered_map<EventObject*, PipeObject*> listening_;
  std::vector<void*> securities_;  // made by BuildSecurity and not closed
};

}  // namespace platform
