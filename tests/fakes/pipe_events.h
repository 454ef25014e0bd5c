#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe_events.h"
#include "tests/fakes/call_log.h"

namespace platform {

/// The state of one event object, shared by every handle that names it.
struct FakeEventState {
  std::u16string name;  ///< empty for unnamed events
  bool manualReset = true;
  bool signalled = false;
  int setCount = 0;
  int resetCount = 0;
  int opensAsClient = 0;   ///< opened by a thread that held the pipe client's identity
  int opensAsService = 0;  ///< opened with the service's own identity
};

/// A client the fake pipe will connect, scripted by the test.
struct FakeClient {
  std::vector<uint8_t> request;  ///< what it writes, in one write
  bool createsEvents = true;     ///< creates both global events before connecting
  bool createsFirstEventOnly = false;
  bool connectedBeforeListen = false;  ///< connects before the service's connect call
};

/// What became of a client once the service let it go.
struct FakeClientOutcome {
  std::vector<uint8_t> reply;                    ///< every byte the service wrote to it
  std::shared_ptr<FakeEventState> commandDone;   ///< null when it made no events
  std::shared_ptr<FakeEventState> disconnected;  ///< null when it made no such event
  bool wasDisconnected = false;
};

/// In-memory pipe, events and threads. Threads are real, so races show under ThreadSanitizer.
/// Every call is logged by name ("Connect", "Read", "SetEvent Global\VokZylRemoveService", ...)
/// and each can be failed through Log() by its bare name ("SetEvent", "CreatePipe", ...).
/// As on Windows, ImpersonateClient refuses until a byte of the connected client's has been
/// read; the identity belongs to the calling thread until it calls RevertToSelf.
class FakePipeEvents : public PipeEvents {
 public:
  FakePipeEvents();
  ~FakePipeEvents() override;

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

  /// Queues a client; it connects as soon as the pipe listens. While it is connected its events
  /// are found by name; once it is let go they are not.
  void QueueClient(FakeClient client);
  /// A named event that another process made: OpenEvent finds it while the returned state or a
  /// handle opened on it lives, as a Windows event lives while a handle to it is open.
  std::shared_ptr<FakeEventState> CreateNamedEvent(std::u16string name, bool manualReset,
                                                   bool initiallySignalled);
  /// Whether an event is signalled, read under the fake's lock.
  bool IsSignalled(const FakeEventState& event) const;
  /// Called (without the fake's lock) whenever a wait finds nothing signalled, before it blocks:
  /// tests use it to stop the service once every queued client has been served.
  void OnIdle(std::function<void()> hook);
  /// Blocks until `count` clients have been let go.
  void WaitForOutcomes(std::size_t count);
  std::vector<FakeClientOutcome> Outcomes() const;

  /// The access entries and settings the service asked for.
  std::vector<std::pair<std::u16string, uint32_t>> SecurityEntries() const;
  PipeSettings LastPipeSettings() const;
  std::u16string LastPipeName() const;
  /// Handles opened and not yet closed (the security descriptor lives for the process and is
  /// not counted).
  std::size_t OpenHandles() const;
  /// Some thread still holds a client's identity.
  bool Impersonating() const;
  CallLog& Log() { return log_; }

 private:
  struct Object;
  struct Connection {
    FakeClient client;
    FakeClientOutcome outcome;
    std::size_t readOffset = 0;
  };

  Object* Track(std::unique_ptr<Object> object);
  Object* Find(Handle handle) const;
  std::shared_ptr<FakeEventState> EventOf(Handle handle) const;
  std::string EventLabel(const FakeEventState& event) const;
  void StartConnectionLocked();
  void NameEventLocked(const std::shared_ptr<FakeEventState>& event);
  void ForgetClientEventsLocked();
  bool SignalLocked(FakeEventState& event);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  CallLog log_;
  std::set<Object*> live_;
  std::vector<std::unique_ptr<Object>> securities_;
  std::deque<FakeClient> queue_;
  std::map<std::u16string, std::weak_ptr<FakeEventState>> named_;
  std::unique_ptr<Connection> current_;
  std::shared_ptr<FakeEventState> listenEvent_;
  bool listening_ = false;
  std::vector<FakeClientOutcome> outcomes_;
  std::vector<std::pair<std::u16string, uint32_t>> securityEntries_;
  PipeSettings pipeSettings_{};
  std::u16string pipeName_;
  std::function<void()> onIdle_;
  std::thread::id impersonator_;  // the thread holding the client's identity, if any
};

}  // namespace platform
