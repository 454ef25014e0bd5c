#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/pipe_events.h"
#include "platform/posix/pipe_security.h"
#include "platform/posix/subordinate_ids.h"

namespace platform {
namespace posix::objects {
struct EventObject;
}

/// The Linux binding of PipeEvents: the named pipe is a Unix stream socket under `runtimeDir`,
/// by the rules of posix/ipc_names.h (made and held as posix/pipe_socket.h says, with the owner
/// and mode of posix/pipe_security.h), and the socket is the whole exchange.
///
/// - Only one instance (max instances 1) is supported: clients are served one at a time, but
///   their requests are read side by side. Every wait polls every connection before it chooses,
///   also when requests are ready: it accepts what is waiting, reads whatever has arrived, and
///   only then lets the queue of posix/connection_queue.h drop what is out of time or hung up
///   and choose the next request. Its limits are kConnectionsPerUser connections still arriving
///   and kQueuedPerUser open per user (by SO_PEERCRED; a subordinate uid of /etc/subuid counts
///   as the user it is granted to), kMaxOpenConnections or half the descriptor limit in all,
///   kPipeReadLimitMs for a record to arrive and a pause of 20 ms after part of one. More
///   connections are closed at once. A connection counts as connected once it is complete.
/// - A client that closes its socket (both directions) before its command starts is never
///   answered: a queued one is dropped by the next wait, and the one chosen is looked at once
///   more as the wait hands it over, so its command does not run. One that shut only its
///   sending side is served.
/// - The client's named events need no file: the socket tells the client all they would (a
///   whole reply means the command is done, the end of the stream that it was let go). OpenEvent
///   yields, for any name but an empty one, an event that setting and resetting reach nobody
///   through, so the core keeps its order and nothing a client sends makes the service create,
///   open or write a file. ImpersonateClient succeeds while a client is connected and takes no
///   identity, as nothing is opened on the client's behalf.
/// - Unnamed events are eventfds. A connect event is tied to its pipe by Connect and counts as
///   signalled in WaitForEither when a request is ready; that wait hands it over. Only unnamed
///   events can be waited on.
/// - Flush returns at once: what it guarantees on Windows, that the disconnect loses nothing
///   written, holds on a Unix socket as soon as the write returns (the bytes sit in the
///   client's receive queue and stay readable after the service closes its end), and a client
///   that never reads holds nobody up.
/// The request record the core reads first: a connection is handed over once it has sent this
/// many bytes (or paused).
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
  static const posix::SocketFileAccess* DescribeSecurity(Handle security);

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
  PipeObject* ListeningPipeOf(posix::objects::EventObject* event);
  void AcceptWaiting(PipeObject* pipe);
  static void ReadWaiting(PipeObject* pipe, std::size_t index);
  void Settle(PipeObject* pipe);
  bool ServeNextReady(PipeObject* pipe);

  const std::string runtimeDir_;
  posix::SubordinateIds owners_;  // used by the waiting thread alone
  std::mutex mutex_;              // guards listening_ and securities_
  std::unordered_map<posix::objects::EventObject*, PipeObject*> listening_;
  std::vector<void*> securities_;  // made by BuildSecurity and not closed
};

}  // namespace platform
