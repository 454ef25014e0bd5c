#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/handle.h"

namespace zylservice {

/// What the service's lifecycle files share with one another and with nobody else:
///   lifecycle.cpp            ServiceMain, the control handler, the program entry
///   status_reports.cpp       the status reports, the stop path and the stop event
///   command_bookkeeping.cpp  which command runs, whether its reply is out, whether a stop came
///   context_ownership.cpp    the current context and its deferred release
///   stop_watch.cpp           the thread that reports a stop once the running command's reply is
///   out

/// The running command's state, shared by the command workers, the control handler and the
/// stop watch; every member is guarded by `lock`. The lock is never held while a command runs,
/// so a stop control is never kept waiting by a slow command.
struct CommandState {
  std::mutex lock;
  /// Between BeginCommand and EndCommand.
  bool commandRunning = false;
  /// The control handler asked for the context's release while a command ran.
  bool releaseRequested = false;
  /// From BeginCommand to EndReply a stop waits for the reply: the process ends with the
  /// SERVICE_STOPPED report, and a command cut off halfway would leave the adapter stopped but
  /// enabled, or the driver service created but not started.
  bool replyPending = false;
  /// A stop or shutdown control has been handled: no command starts any more.
  bool stopRequested = false;
  /// Notified when replyPending goes false.
  std::condition_variable replyWritten;
};
extern CommandState commandState;

/// The handler's first step of a stop: from now on no command starts.
void RefuseNewCommands();

/// Deletes the current context at once. REQUIRES: commandState.lock held.
void FreeContextLocked();

/// One SERVICE_STATUS report (the type, the controls accepted in `state`, exit codes 0);
/// false when the service manager refused it.
bool SendStatus(uint32_t state, uint32_t checkPoint, uint32_t waitHint);

/// The stop event, guarded between the control handler, which sets it (again, when a report
/// fails or a second stop arrives), and the service thread, which makes it and closes it once
/// the loop has ended: the handler never sets a handle that has been closed, and perhaps reused.
void InstallStopEvent(platform::Handle event);
void SignalStopEvent();
void CloseStopEvent();

/// When a command runs, the stop watch takes over the SERVICE_STOPPED report and true is
/// answered.
bool HandOverStopToWatch();
/// The stop watch has ended, or was never started, before the stop event goes.
void JoinStopWatch();
/// Forgets the stop watch and its test interval. REQUIRES: commandState.lock held.
void ResetStopWatchLocked();

}  // namespace zylservice
