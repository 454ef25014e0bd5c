#include "tests/fakes/service_control.h"

#include "platform/windows_values.h"

namespace platform {

bool FakeServiceControl::RunDispatcher(std::u16string_view serviceName,
                                       ServiceMainFunction serviceMain) {
  if (log_.Record("RunDispatcher")) return false;
  {
    std::lock_guard lock(mutex_);
    dispatcherThread_ = std::this_thread::get_id();
    dispatcherName_ = serviceName;
  }
  std::thread serviceThread([this, serviceMain] {
    serviceMain();
    std::lock_guard lock(mutex_);
    mainReturned_ = true;
    changed_.notify_all();
  });

  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] {
      return stopped_ || (returnWhenMainEnds_ && mainReturned_) ||
             (handler_ != nullptr && !controls_.empty());
    });
    if (stopped_ || (returnWhenMainEnds_ && mainReturned_)) break;
    const uint32_t control = controls_.front();
    controls_.pop_front();
    ServiceControlFunction handler = handler_;
    handling_ = true;
    lock.unlock();
    handler(control);
    lock.lock();
    handling_ = false;
    changed_.notify_all();
  }
  dispatcherEnded_ = true;
  changed_.notify_all();
  lock.unlock();
  // The real dispatcher returns without waiting for the service thread; a test process must not
  // leave a thread behind, so it is joined here once it ends.
  serviceThread.join();
  return true;
}

StatusHandle FakeServiceControl::RegisterControlHandler(std::u16string_view serviceName,
                                                        ServiceControlFunction handler) {
  if (log_.Record("RegisterControlHandler")) return nullptr;
  std::lock_guard lock(mutex_);
  registeredName_ = serviceName;
  handler_ = handler;
  changed_.notify_all();
  return &handle_;
}

void FakeServiceControl::EndProcessNow(uint32_t exitCode) {
  log_.Record("EndProcessNow");
  if (onEndProcess) onEndProcess(exitCode);
}

bool FakeServiceControl::SetStatus(StatusHandle handle, const ServiceStatus& status) {
  const bool fail = log_.Record("SetStatus") || handle != &handle_;
  std::lock_guard lock(mutex_);
  reports_.push_back(status);
  reportThreads_.push_back(std::this_thread::get_id());
  if (!fail && status.currentState == kServiceStopped) stopped_ = true;
  changed_.notify_all();
  return !fail;
}

void FakeServiceControl::PostControl(uint32_t control) {
  std::lock_guard lock(mutex_);
  controls_.push_back(control);
  changed_.notify_all();
}

void FakeServiceControl::WaitForState(uint32_t state) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    if (dispatcherEnded_) return true;
    for (const auto& report : reports_) {
      if (report.currentState == state) return true;
    }
    return false;
  });
}

void FakeServiceControl::WaitForControlsHandled() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    return dispatcherEnded_ || (!handling_ && (controls_.empty() || handler_ == nullptr));
  });
}

std::vector<ServiceStatus> FakeServiceControl::Reports() const {
  std::lock_guard lock(mutex_);
  return reports_;
}

std::vector<std::thread::id> FakeServiceControl::ReportThreads() const {
  std::lock_guard lock(mutex_);
  return reportThreads_;
}

std::u16string FakeServiceControl::RegisteredName() const {
  std::lock_guard lock(mutex_);
  return registeredName_;
}

std::u16string FakeServiceControl::DispatcherName() const {
  std::lock_guard lock(mutex_);
  return dispatcherName_;
}

bool FakeServiceControl::MainReturned() const {
  std::lock_guard lock(mutex_);
  return mainReturned_;
}

std::thread::id FakeServiceControl::DispatcherThread() const {
  std::lock_guard lock(mutex_);
  return dispatcherThread_;
}

}  // namespace platform
