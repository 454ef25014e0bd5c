#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/pipe_events.h"
#include "platform/posix/subordinate_ids.h"

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

/// The Linux binding of PipeEvents: the named pipe is a Unix stream socket under `runtimeDir`,
/// by the rules of posix/ipc_names.h, and the socket is the whole exchange.
///
/// - CreatePipe holds an flock on "<socket>.lock" for the pipe's life: a second server of the
///   same name (in this or another process) gets null, as FILE_FLAG_FIRST_PIPE_INSTANCE does.
///   A socket file left by a dead server is replaced. Only one instance (max instances 1) is
///   supported: clients are served one at a time, but their requests are read side by side.
///   Every wait polls every connection before it chooses, also when requests are ready: it
///   accepts what is pending, reads whatever has arrived, drops those past their limit of
///   kPipeReadLimitMs and those whose client has hung up. A connection counts as connected only
///   once its whole record has arrived, or part of a record came and 20 ms passed without more
///   (the core then refuses it), so an idle or slow client delays nobody else, and one that
///   sends nothing in time is dropped unseen. A client that closes its socket (both directions)
///   before its command starts is never answered: a queued connection that has hung up is
///   dropped by the next wait, and Read refuses the record (-1) of one that hung up after it
///   was chosen, so its command does not run. One that shut only its sending side is served.
///   Each user (by SO_PEERCRED; a subordinate uid of /etc/subuid counts as the user it is
///   granted to) may have at most kConnectionsPerUser connections whose record is still
///   arriving, and kQueuedPerUser open in all; all users together at most kMaxOpenConnections,
///   or half the descriptor limit when that is lower. More are closed at once. Among complete
///   requests, the user served longest ago goes first, then the earliest arrival: a request
///   whose user has nothing else pending starts after at most one command per other user.
/// - The client's named events need no file: the socket tells the client all they would (a
///   whole reply means the command is done, the end of the stream that it was let go). OpenEvent
///   yields, for any name but an empty one, an event that setting and resetting reach nobody
///   through, so the core keeps its order and nothing a client sends makes the service create,
///   open or write a file. ImpersonateClient succeeds while a client is connected and takes no
///   identity, as nothing is opened on the client's behalf.
/// - Unnamed events are eventfds. A connect event is tied to its pipe by Connect and counts as
///   signalled in WaitForEither when a client is waiting to be accepted; that wait accepts it.
///   Only unnamed events can be waited on.
/// - Flush returns at once: what it guarantees on Windows, that the disconnect loses nothing
///   written, holds on a Unix socket as soon as the write returns (the bytes sit in the
///   client's receive queue and stay readable after the service closes its end), and a client
///   that never reads holds nobody up.
/// The request record the core reads first: a connection is handed over once it has sent this
/// many bytes (or closed).
inline constexpr std::size_t kPipeRequestBytes = 24;

class PosixPipeEvents final : public PipeEvents {
 public:
  // As deep as the kernel allows (net.core.somaxconn, 4096 by default): a user who floods the
  // socket with connections must fill all of it before another user's connect() has to wait,
  // and each wait drains it again.
  static constexpr int kListenBacklog = 4096;
  static constexpr int kConnectionsPerUser = 16;
  static constexpr int kQueuedPerUser = 256;
  // All users together; the unit's LimitNOFILE is twice this.
  static constexpr int kMaxOpenConnections = 4096;

  /// `subordinateIds`: the file that grants users their subordinate uids (see
  /// posix/subordinate_ids.h); test hosts pass their own.
  explicit PosixPipeEvents(std::string runtimeDir, std::string subordinateIds = "/etc/subuid");
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
  void AcceptPending(PipeObject* pipe);
  struct PendingConnection;
  static void ReadPending(PendingConnection& waiting);
  void DropSettled(PipeObject* pipe);
  bool ServeNextReady(PipeObject* pipe);

  const std::string runtimeDir_;
  posix::SubordinateIds owners_;  // used by the waiting thread alone
  std::mutex mutex_;              // guards listening_ and securities_
  std::unordered_map<EventObject*, PipeObject*> listening_;
  std::vector<void*> securities_;  // made by BuildSecurity and not closed
};

}  // namespace platform
