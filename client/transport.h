#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "protocol/names.h"

/// How the client reaches the service: the pipe and, on Windows, the two global events; one
/// implementation per operating system (transport_win32.cpp, transport_posix.cpp). One
/// transport serves one exchange; not thread-safe.
namespace zylclient {

enum class ClientEvent { kCommandDone = 0, kDisconnected = 1 };

enum class EventsOutcome {
  kCreated,
  kServiceAbsent,  // the place where the service keeps its events does not exist
  kFailed,
};

enum class ConnectOutcome {
  kConnected,
  kNotRunning,     // nobody serves the pipe
  kBusy,           // the single instance stayed busy until the time-out
  kNotTheService,  // someone else serves the pipe name; the connection is closed again
  kFailed,
};

enum class ReceiveOutcome {
  kData,     // some bytes arrived
  kClosed,   // the service closed the connection
  kTimeout,  // nothing within the time-out
  kFailed,
};

struct TransportOptions {
  /// Linux only: where the service keeps its socket; empty for the default rule.
  std::string runtimeDir;
  /// Windows only: the process that must serve the pipe; 0 to ask the service manager for the
  /// service's. Test hosts that serve the pipe in their own process name themselves.
  unsigned long expectedServerPid = 0;
};

class ClientTransport {
 public:
  virtual ~ClientTransport() = default;

  /// Whether the exchange uses the two events. On Linux it does not: the socket alone tells
  /// that the command is done (the whole reply came) and that the service let go (its end).
  virtual bool UsesEvents() const { return true; }

  /// Creates (or opens, when they exist) both events as manual-reset events and resets them.
  /// On failure `error` says why.
  virtual EventsOutcome CreateEvents(std::string* error) = 0;
  /// Connects to the pipe, waiting while the single instance serves another client, for at
  /// most `timeoutMs`, and checks that the server is the service before anything is written.
  virtual ConnectOutcome Connect(int timeoutMs, std::string* error) = 0;
  /// Writes all of `data` in one write.
  virtual bool Send(const void* data, std::size_t size, std::string* error) = 0;
  /// One read of at most `size` bytes, waiting at most `timeoutMs`.
  virtual ReceiveOutcome Receive(void* buffer, std::size_t size, int timeoutMs,
                                 std::size_t* received, std::string* error) = 0;
  /// Whether the event is signalled now; false for events that were not created.
  virtual bool IsSignalled(ClientEvent event) = 0;
  /// Waits at most `timeoutMs` for the event; false on time-out or when it was not created.
  virtual bool WaitFor(ClientEvent event, int timeoutMs) = 0;
};

std::unique_ptr<ClientTransport> MakeClientTransport(const TransportOptions& options);

}  // namespace zylclient
