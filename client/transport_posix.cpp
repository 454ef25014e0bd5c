// The client's side of the Linux port: the pipe is the service's Unix socket, found by the rules
// of platform/posix/ipc_names.h, and the socket is the whole exchange. The two events of the
// Windows protocol tell nothing the socket does not (a whole reply means the command is done,
// the end of the stream means the service has let go), so none are made: an exchange creates no
// file and keeps no descriptor once it is over.
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>

#include "client/transport.h"
#include "platform/posix/client_checks.h"
#include "platform/posix/error_text.h"
#include "platform/posix/ipc_names.h"

using zylprotocol::kPipeName;

namespace zylclient {
namespace {

class PosixClientTransport final : public ClientTransport {
 public:
  explicit PosixClientTransport(std::string runtimeDir) : runtimeDir_(std::move(runtimeDir)) {}
  ~PosixClientTransport() override {
    if (socket_ >= 0) close(socket_);
  }

  bool UsesEvents() const override { return false; }
  EventsOutcome CreateEvents(std::string*) override { return EventsOutcome::kCreated; }

  ConnectOutcome Connect(int timeoutMs, std::string* error) override {
    if (!platform::posix::CheckRuntimeDir(runtimeDir_, error)) return ConnectOutcome::kFailed;
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

  bool IsSignalled(ClientEvent) override { return false; }
  bool WaitFor(ClientEvent, int) override { return false; }

 private:
  // The one place where the server is checked before anything is written, as the Windows
  // transport checks the pipe's server process: root, or the owner of the runtime directory
  // (SO_PEERCRED).
  bool ServerIsTheService(std::string* error) {
    return platform::posix::CheckServerCredentials(socket_, runtimeDir_, error);
  }

  const std::string runtimeDir_;
  int socket_ = -1;
};

}  // namespace

std::unique_ptr<ClientTransport> MakeClientTransport(const TransportOptions& options) {
  return std::make_unique<PosixClientTransport>(
      options.runtimeDir.empty() ? platform::posix::DefaultRuntimeDir() : options.runtimeDir);
}

}  // namespace zylclient
