// The client's side of the Linux port: the pipe is the service's Unix socket and the events
// are shared event files, both found by the rules of platform/posix/ipc_names.h.
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "client/transport.h"
#include "platform/posix/client_checks.h"
#include "platform/posix/ipc_names.h"
#include "platform/posix/shared_event.h"

namespace zylclient {
namespace {

using platform::posix::SharedEvent;

// The two events outlive one exchange: made at the process's first exchange with a runtime
// directory and kept while the process runs, as a Windows named event lives while any handle
// to it is open. A later exchange checks that the names still lead to the kept files and
// resets them, instead of making and removing two files every call.
class KeptEvents {
 public:
  static KeptEvents& Instance() {
    static KeptEvents kept;
    return kept;
  }

  ~KeptEvents() { ForgetIfInherited(); }

  void Release() {
    std::lock_guard lock(mutex_);
    ForgetIfInherited();
    for (auto& event : events_) event.reset();
    runtimeDir_.clear();
  }

  /// Both kept events for `runtimeDir`, when their names still lead to them; false otherwise.
  bool Reuse(const std::string& runtimeDir, std::shared_ptr<SharedEvent> out[2]) {
    std::lock_guard lock(mutex_);
    ForgetIfInherited();
    if (runtimeDir != runtimeDir_) return false;
    for (auto& event : events_) {
      if (event == nullptr || !event->StillAtItsName()) return false;
    }
    out[0] = events_[0];
    out[1] = events_[1];
    return true;
  }

  /// Both events for `runtimeDir`, made or opened anew when the kept ones are gone; false
  /// (with `error`) when they cannot be made.
  bool Get(const std::string& runtimeDir, std::shared_ptr<SharedEvent> out[2], std::string* error) {
    std::lock_guard lock(mutex_);
    ForgetIfInherited();
    const char16_t* names[2] = {kCommandDoneEventName, kDisconnectedEventName};
    for (int i = 0; i < 2; ++i) {
      if (runtimeDir != runtimeDir_ || events_[i] == nullptr || !events_[i]->StillAtItsName()) {
        events_[i].reset();  // the last handle of an event gone from its name removes nothing
        const std::string path = platform::posix::EventFilePath(runtimeDir, names[i]);
        events_[i] = SharedEvent::Create(path, /*manualReset=*/true, /*initiallySignalled=*/false);
        if (events_[i] == nullptr) {
          *error = path + ": " + platform::posix::ErrorText(errno);
          return false;
        }
      }
      out[i] = events_[i];
    }
    runtimeDir_ = runtimeDir;
    owner_ = getpid();
    return true;
  }

 private:
  // A child made by fork() shares the parent's descriptors and locks but not its handle count:
  // it must neither use nor close the parent's events, so it leaves them to the parent.
  void ForgetIfInherited() {
    if (owner_ == 0 || owner_ == getpid()) return;
    for (auto& event : events_) {
      if (event != nullptr) new std::shared_ptr<SharedEvent>(std::move(event));  // never freed
    }
    owner_ = 0;
  }

  std::mutex mutex_;
  pid_t owner_ = 0;
  std::string runtimeDir_;
  std::shared_ptr<SharedEvent> events_[2];
};

class PosixClientTransport final : public ClientTransport {
 public:
  explicit PosixClientTransport(std::string runtimeDir) : runtimeDir_(std::move(runtimeDir)) {}
  ~PosixClientTransport() override {
    if (socket_ >= 0) close(socket_);
  }

  EventsOutcome CreateEvents(std::string* error) override {
    if (!platform::posix::CheckRuntimeDir(runtimeDir_, error)) return EventsOutcome::kFailed;
    runtimeDirChecked_ = true;
    // Kept from the exchange before and still at their names: their directories are there.
    if (!KeptEvents::Instance().Reuse(runtimeDir_, events_)) {
      const EventsOutcome made = MakeEvents(error);
      if (made != EventsOutcome::kCreated) return made;
    }
    // Still signalled from the exchange before, or by an earlier client.
    for (const auto& event : events_) event->Reset();
    return EventsOutcome::kCreated;
  }

  ConnectOutcome Connect(int timeoutMs, std::string* error) override {
    // Once per exchange: CreateEvents may have checked it already.
    if (!runtimeDirChecked_ && !platform::posix::CheckRuntimeDir(runtimeDir_, error)) {
      return ConnectOutcome::kFailed;
    }
    runtimeDirChecked_ = true;
    const std::string path = platform::posix::PipeSocketPath(runtimeDir_, kPipeName);
    sockaddr_un address{};
    if (!platform::posix::SocketAddress(path, &address)) {
      *error = path + ": path too long";
      return ConnectOutcome::kFailed;
    }

    // While the service serves another client, a connection waits in its listen backlog and
    // is taken when the first has been disconnected: that wait is part of waiting for the
    // reply. Only a full backlog makes connect() itself wait: in the kernel, first come first
    // served among waiting clients, until a place frees or SO_SNDTIMEO runs out. (Retrying a
    // non-blocking connect would lose every place to a local user who floods the backlog.)
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (socket_ < 0) {
        *error = std::string("socket: ") + platform::posix::ErrorText(errno);
        return ConnectOutcome::kFailed;
      }
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          deadline - std::chrono::steady_clock::now());
      const long waitUs = std::max<long>(left.count(), 1000);
      const timeval wait{waitUs / 1000000, waitUs % 1000000};
      setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
      if (connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        if (ServerIsTheService(error)) return ConnectOutcome::kConnected;
        close(socket_);
        socket_ = -1;
        return ConnectOutcome::kNotTheService;
      }
      const int failure = errno;
      close(socket_);
      socket_ = -1;
      if (failure == ENOENT || failure == ECONNREFUSED) {
        *error = "nobody listens on " + path;
        return ConnectOutcome::kNotRunning;
      }
      if (failure != EAGAIN && failure != EINTR) {
        *error = path + ": " + platform::posix::ErrorText(failure);
        return ConnectOutcome::kFailed;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        *error = path + ": too many clients waiting";
        return ConnectOutcome::kBusy;
      }
    }
  }

  bool Send(const void* data, std::size_t size, std::string* error) override {
    // A 24-byte record always fits the socket buffer of a fresh connection.
    const ssize_t sent = send(socket_, data, size, MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(size)) return true;
    *error = sent < 0 ? platform::posix::ErrorText(errno) : "only part of the request was sent";
    return false;
  }

  ReceiveOutcome Receive(void* buffer, std::size_t size, int timeoutMs, std::size_t* received,
                         std::string* error) override {
    pollfd watched{socket_, POLLIN, 0};
    int ready;
    do {
      ready = poll(&watched, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return ReceiveOutcome::kTimeout;
    const ssize_t got = ready < 0 ? -1 : recv(socket_, buffer, size, 0);
    if (got > 0) {
      *received = static_cast<std::size_t>(got);
      return ReceiveOutcome::kData;
    }
    if (got == 0 || errno == ECONNRESET) return ReceiveOutcome::kClosed;
    *error = platform::posix::ErrorText(errno);
    return ReceiveOutcome::kFailed;
  }

  bool IsSignalled(ClientEvent event) override {
    const auto& shared = events_[static_cast<int>(event)];
    return shared != nullptr && shared->IsSignalled();
  }

  bool WaitFor(ClientEvent event, int timeoutMs) override {
    const auto& shared = events_[static_cast<int>(event)];
    return shared != nullptr && shared->Wait(timeoutMs);
  }

 private:
  // The one place where the server is checked before anything is written, as the Windows
  // transport checks the pipe's server process: root, or the owner of the runtime directory
  // (SO_PEERCRED).
  bool ServerIsTheService(std::string* error) {
    return platform::posix::CheckServerCredentials(socket_, runtimeDir_, error);
  }

  EventsOutcome MakeEvents(std::string* error) {
    const std::string dir = platform::posix::EventsDir(runtimeDir_);
    if (access(dir.c_str(), F_OK) != 0) {
      *error = dir + " does not exist";
      return EventsOutcome::kServiceAbsent;
    }
    const std::string socketPath = platform::posix::PipeSocketPath(runtimeDir_, kPipeName);
    if (!platform::posix::EnsureOwnEventsDir(runtimeDir_, socketPath, error) ||
        !KeptEvents::Instance().Get(runtimeDir_, events_, error)) {
      return EventsOutcome::kFailed;
    }
    return EventsOutcome::kCreated;
  }

  const std::string runtimeDir_;
  bool runtimeDirChecked_ = false;
  std::shared_ptr<SharedEvent> events_[2];
  int socket_ = -1;
};

}  // namespace

std::unique_ptr<ClientTransport> MakeClientTransport(const TransportOptions& options) {
  return std::make_unique<PosixClientTransport>(
      options.runtimeDir.empty() ? platform::posix::DefaultRuntimeDir() : options.runtimeDir);
}

void ReleaseKeptEvents() { KeptEvents::Instance().Release(); }

}  // namespace zylclient
