#pragma once

#include <atomic>
#include <string>

#include "platform/service_control.h"

namespace platform {

/// The Linux binding of ServiceControl: the program runs in the foreground as a systemd
/// Type=notify service (service/systemd/vokzylcontrol.service), or by hand in a terminal.
///
/// RunDispatcher blocks SIGTERM, SIGINT and SIGHUP on the calling thread (every thread started
/// afterwards inherits that, so call it before starting any), runs `serviceMain` on a thread of
/// its own and waits on the calling thread for signals and status reports:
/// - SIGTERM and SIGINT are delivered to the registered handler as SERVICE_CONTROL_STOP (1).
///   While the last report accepts no stop (start pending), the stop is held back and delivered
///   with the first report that accepts it. A stop that arrives before any handler is
///   registered ends the dispatcher at once: nothing runs yet that could be stopped.
/// - SIGHUP is taken and ignored: there is nothing to reload.
/// - It returns true once SERVICE_STOPPED has been reported, from whichever thread. The
///   signals stay blocked on the calling thread: the process is about to end.
/// It returns false only when its own set-up fails (signal descriptor, thread).
///
/// SetStatus tells systemd through sd_notify (a no-op without NOTIFY_SOCKET, so the program also
/// runs by hand): START_PENDING -> "STATUS=Starting" and STOP_PENDING -> "STOPPING=1", each with
/// EXTEND_TIMEOUT_USEC from the wait hint; RUNNING -> "READY=1"; STOPPED -> "STATUS=Stopped".
/// It fails for a state outside 1..7 (as SetServiceStatus does), for a handle it did not give
/// out, and when the notification cannot be sent.
class PosixServiceControl final : public ServiceControl {
 public:
  PosixServiceControl() = default;
  ~PosixServiceControl() override;
  bool RunDispatcher(std::u16string_view serviceName, ServiceMainFunction serviceMain) override;
  StatusHandle RegisterControlHandler(std::u16string_view serviceName,
                                      ServiceControlFunction handler) override;
  bool SetStatus(StatusHandle handle, const ServiceStatus& status) override;
  /// _exit: no exit handlers, no flush of the C library's buffers.
  void EndProcessNow(uint32_t exitCode) override;

  /// The text SetStatus sends to systemd for `status`; empty for a state it refuses.
  static std::string NotifyMessage(const ServiceStatus& status);

 private:
  std::atomic<bool> dispatching_{false};
  std::atomic<ServiceControlFunction> handler_{nullptr};
  std::atomic<int> wakeFd_{-1};  // eventfd, written after every status report
  std::atomic<uint32_t> lastState_{0};
  std::atomic<uint32_t> lastAccepted_{0};
};

}  // namespace platform
