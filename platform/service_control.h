#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

/// One status report, field for field as SERVICE_STATUS carries it.
struct ServiceStatus {
  uint32_t serviceType = 0;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

using StatusHandle = void*;
using ServiceMainFunction = void (*)();
using ServiceControlFunction = void (*)(uint32_t control);

/// The service side of the service manager: dispatcher, control handler, status reports.
/// On Linux this is systemd (Type=notify) with SIGTERM as the stop control.
class ServiceControl {
 public:
  virtual ~ServiceControl() = default;

  /// StartServiceCtrlDispatcherW with a one-entry table: connects the calling thread to the
  /// service manager, runs `serviceMain` on a thread of its own, delivers every control on
  /// the calling thread, and returns true once SERVICE_STOPPED has been reported.
  /// Returns false at once when it cannot connect (the program was not started as a service).
  virtual bool RunDispatcher(std::u16string_view serviceName, ServiceMainFunction serviceMain) = 0;

  /// RegisterServiceCtrlHandlerW: null on failure.
  virtual StatusHandle RegisterControlHandler(std::u16string_view serviceName,
                                              ServiceControlFunction handler) = 0;

  /// SetServiceStatus: false on failure.
  virtual bool SetStatus(StatusHandle handle, const ServiceStatus& status) = 0;

  /// TerminateProcess on this process, with `exitCode`: ends it at once, without another call
  /// of any kind, for a thread that must not go on (one that cannot give back a client's
  /// identity). Returns only in test doubles.
  virtual void EndProcessNow(uint32_t exitCode) = 0;
};

/// The real service manager binding of this platform.
ServiceControl& SystemServiceControl();

}  // namespace platform
