#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/service_control.h"
#include "tests/fakes/call_log.h"

namespace platform {

/// An in-memory service manager. RunDispatcher runs the service-main function on a thread of its
/// own and delivers posted controls on the calling thread, as the real dispatcher does; it
/// returns once SERVICE_STOPPED has been reported (or, when `ReturnWhenMainEnds` is set, once
/// the service-main function has returned). Calls: "RunDispatcher", "RegisterControlHandler",
/// "SetStatus" — each can be failed through Log().
class FakeServiceControl : public ServiceControl {
 public:
  bool RunDispatcher(std::u16string_view serviceName, ServiceMainFunction serviceMain) override;
  StatusHandle RegisterControlHandler(std::u16string_view serviceName,
                                      ServiceControlFunction handler) override;
  bool SetStatus(StatusHandle handle, const ServiceStatus& status) override;
  /// Logged as "EndProcessNow"; runs `onEndProcess` and returns (the process goes on).
  void EndProcessNow(uint32_t exitCode) override;
  std::function<void(uint32_t exitCode)> onEndProcess;

  /// Queues a control for the dispatcher thread (held until a handler is registered).
  void PostControl(uint32_t control);
  /// Blocks until a report of `state` has been accepted (or the dispatcher has ended).
  void WaitForState(uint32_t state);
  /// Blocks until every posted control has been handled, the handler returned (or the
  /// dispatcher has ended).
  void WaitForControlsHandled();
  /// Also end the dispatcher when the service-main function returns without SERVICE_STOPPED
  /// (the real one would wait for a control; tests of that case need an end).
  void ReturnWhenMainEnds(bool value) { returnWhenMainEnds_ = value; }

  /// Every report that reached SetStatus, failed ones included, in order.
  std::vector<ServiceStatus> Reports() const;
  /// Threads that made each report, in the same order.
  std::vector<std::thread::id> ReportThreads() const;
  std::u16string RegisteredName() const;
  /// The name the dispatcher table gave RunDispatcher.
  std::u16string DispatcherName() const;
  bool MainReturned() const;
  std::thread::id DispatcherThread() const;
  CallLog& Log() { return log_; }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  CallLog log_;
  ServiceControlFunction handler_ = nullptr;
  std::deque<uint32_t> controls_;
  std::vector<ServiceStatus> reports_;
  std::vector<std::thread::id> reportThreads_;
  std::u16string registeredName_;
  std::u16string dispatcherName_;
  std::thread::id dispatcherThread_;
  bool stopped_ = false;
  bool mainReturned_ = false;
  bool dispatcherEnded_ = false;
  bool returnWhenMainEnds_ = false;
  bool handling_ = false;  // a control is being handled
  int handle_ = 0;
};

}  // namespace platform
