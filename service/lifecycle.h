#pragma once

#include <atomic>
#include <cstdint>

#include "platform/handle.h"
#include "platform/service_control.h"
#include "platform/windows_values.h"
#include "service/service_context.h"

namespace zylservice {

// What the status reports tell the service manager besides the state (the states and controls
// themselves are platform's: platform/windows_values.h).
inline constexpr uint32_t kServiceAcceptStopAndShutdown =
    platform::kServiceAcceptStop | platform::kServiceAcceptShutdown;
inline constexpr uint32_t kStartWaitHintMs = 3000;
inline constexpr uint32_t kStopWaitHintMs = 3000;
/// How often a SERVICE_STOPPED report is tried in all before giving up.
inline constexpr int kStoppedReportAttempts = 3;
/// A stop that arrives while a command runs waits this long at most for the command's reply,
/// advancing the stop-pending check point at every interval meanwhile. Below the 30 s that an
/// installer waits for a service to stop (ServiceControl with Wait): an upgrade or uninstall
/// during a long command must not fail with error 1921.
inline constexpr uint32_t kStopWaitLimitMs = 25000;
inline constexpr uint32_t kStopCheckPointIntervalMs = 1000;
static_assert(kStopWaitLimitMs % kStopCheckPointIntervalMs == 0);

// The service's process-wide state, zero at load.
extern platform::StatusHandle statusHandle;  ///< written once by ServiceMain
extern platform::Handle stopEvent;           ///< manual-reset; set by EndService
/// The state the handler re-reports for other controls. Written by the service thread during
/// start-up and by the control handler afterwards, hence atomic.
extern std::atomic<uint32_t> currentState;
/// The current context, or null. Only code between BeginCommand and EndCommand, or holding the
/// context lock inside ReleaseServiceContext, touches it.
extern ServiceContext* serviceContext;

/// Program entry: runs the service dispatcher with the one-entry table and returns its result
/// (non-zero after a normal run, 0 when the program was not started as a service).
int RunServiceProgram();

/// The service-main function: registers the handler, reports start-up, sets up the pipe and
/// runs the pipe loop until stopEvent is set.
void ServiceMain();

/// The control handler; runs on the dispatcher's thread and returns at once. A stop or
/// shutdown while a command runs reports SERVICE_STOP_PENDING and sets stopEvent; a thread of
/// its own then reports SERVICE_STOPPED once the command's reply has been written (EndReply),
/// or after kStopWaitLimitMs. With no command running, SERVICE_STOPPED is reported at once.
void ServiceControlHandler(uint32_t control);

/// One status report by the service's rules; a failed report runs EndService.
void ReportStatus(uint32_t state, uint32_t checkPoint, uint32_t waitHint);

/// The stop path: sets stopEvent (when it exists) and reports SERVICE_STOPPED.
void EndService();

/// A command is about to run on a worker. False once a stop or shutdown control has been
/// handled: the process may end at any moment then, so no command starts that could be cut in
/// half. Each true answer is followed by EndCommand and then EndReply.
bool BeginCommand();
/// The command has ended. While a command runs, a stop control does not free the context under
/// it: the release is deferred to here.
void EndCommand();
/// The command's reply has been written and its client let go: a stop that waits for it now
/// reports SERVICE_STOPPED.
void EndReply();

/// The control handler's release of the context: at once when no command runs, else as soon
/// as the running command ends. Releasing twice is harmless.
void ReleaseServiceContext();

/// Back to the state at load (tests run several services in one process).
void ResetServiceStateForTesting();
/// Shorter check-point intervals for tests (until the next reset); the wait still ends after
/// kStopWaitLimitMs / kStopCheckPointIntervalMs of them.
void SetStopWaitForTesting(uint32_t checkPointIntervalMs);

}  // namespace zylservice
