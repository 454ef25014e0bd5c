#include "service/lifecycle.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "protocol/names.h"
#include "service/pipe_server.h"
#include "service/service_platform.h"

platform::StatusHandle statusHandle = nullptr;
platform::Handle stopEvent = nullptr;
std::atomic<uint32_t> currentState{0};
ServiceContext* serviceContext = nullptr;

namespace {

// Guards serviceContext between the control handler and the command workers. Never held while
// a command runs, so a stop control is never kept waiting by a slow command.
std::mutex contextLock;
bool commandRunning = false;
bool releaseRequested = false;

// Also under contextLock. From BeginCommand to EndReply a stop waits for the reply: the process
// ends with the SERVICE_STOPPED report, and a command cut off halfway would leave the adapter
// stopped but enabled, or the driver service created but not started.
bool replyPending = false;
// A stop or shutdown control has been handled: no command starts any more.
bool stopRequested = false;
// The thread that reports the stop once the reply is out (null when none was started).
platform::Handle stopWatch = nullptr;
std::condition_variable replyWritten;
std::chrono::milliseconds stopCheckPointInterval{kStopCheckPointIntervalMs};

// Guards stopEvent between the control handler, which sets it (again, when a report fails or a
// second stop arrives), and the service thread, which closes it once the loop has ended: the
// handler must never set a handle that has been closed, and perhaps reused, meanwhile.
std::mutex stopEventLock;

void SignalStopEvent() {
  std::lock_guard lock(stopEventLock);
  if (stopEvent != nullptr) CurrentPlatform().pipeEvents->SetEvent(stopEvent);
}

void CloseStopEvent() {
  std::lock_guard lock(stopEventLock);
  if (stopEvent != nullptr) CurrentPlatform().pipeEvents->Close(stopEvent);
  stopEvent = nullptr;
}

void DebugLine(std::u16string_view text) { CurrentPlatform().debugOutput->Write(text); }

uint32_t ControlsAcceptedFor(uint32_t state) {
  return state == kServiceStartPending ? 0 : kServiceAcceptStopAndShutdown;
}

bool SendStatus(uint32_t state, uint32_t checkPoint, uint32_t waitHint) {
  platform::ServiceStatus status;
  status.serviceType = kServiceWin32OwnProcess;
  status.currentState = state;
  status.controlsAccepted = ControlsAcceptedFor(state);
  status.win32ExitCode = 0;
  status.serviceSpecificExitCode = 0;
  status.checkPoint = checkPoint;
  status.waitHint = waitHint;
  return CurrentPlatform().serviceControl->SetStatus(statusHandle, status);
}

void FreeContextLocked() {
  delete serviceContext;
  serviceContext = nullptr;
  releaseRequested = false;
}

// The stop watch: while the running command's reply is pending, advance the stop-pending check
// point at every interval so the service manager sees progress; then report SERVICE_STOPPED,
// once the reply is out or the last interval has passed. The intervals are counted on a fixed
// schedule, so that slow reports do not stretch the wait.
void WatchStop(void*) {
  using Clock = std::chrono::steady_clock;
  constexpr uint32_t kIntervals = kStopWaitLimitMs / kStopCheckPointIntervalMs;
  const Clock::time_point start = Clock::now();
  uint32_t checkPoint = 1;
  bool reported = true;
  std::unique_lock lock(contextLock);
  for (uint32_t interval = 1; replyPending && reported; ++interval) {
    const Clock::time_point next = start + interval * stopCheckPointInterval;
    if (replyWritten.wait_until(lock, next, [] { return !replyPending; })) break;
    if (interval == kIntervals) break;
    lock.unlock();
    reported = SendStatus(kServiceStopPending, ++checkPoint, kStopWaitHintMs);
    lock.lock();
  }
  const bool cutOff = replyPending;
  lock.unlock();
  if (cutOff) DebugLine(u"ZYLCTRL:Stopped while a command still runs\n");
  EndService();
}

// The handler's first step of a stop: from now on no command starts.
void RefuseNewCommands() {
  std::lock_guard lock(contextLock);
  stopRequested = true;
}

// When a command runs, the stop watch takes over the SERVICE_STOPPED report and true is
// answered.
bool HandOverStopToWatch() {
  std::lock_guard lock(contextLock);
  if (!replyPending) return false;
  if (stopWatch == nullptr) {
    stopWatch = CurrentPlatform().pipeEvents->StartThread(WatchStop, nullptr);
  }
  return stopWatch != nullptr;
}

// The stop watch has ended, or was never started, before the stop event goes.
void JoinStopWatch() {
  platform::Handle watch;
  {
    std::lock_guard lock(contextLock);
    watch = stopWatch;
    stopWatch = nullptr;
  }
  if (watch == nullptr) return;
  auto& events = *CurrentPlatform().pipeEvents;
  while (!events.WaitForThread(watch)) {
  }
  events.Close(watch);
}

const char16_t* LoopEndLine(PipeLoopEnd end) {
  switch (end) {
    case PipeLoopEnd::kWaitFailed:
      return u"ZYLCTRL:Pipe wait failed\n";
    case PipeLoopEnd::kConnectFailed:
      return u"ZYLCTRL:Pipe connect keeps failing\n";
    default:
      return u"ZYLCTRL:Cannot take back the service's own identity\n";
  }
}

// Start-up failed before the loop could run: say why, report SERVICE_STOPPED and release what
// was made, rather than serve on an invalid handle.
void AbandonStartUp(std::u16string_view reason, PipeResources& pipe) {
  DebugLine(reason);
  EndService();
  CloseStopEvent();
  ClosePipe(pipe);
}

}  // namespace

int RunServiceProgram() {
  return CurrentPlatform().serviceControl->RunDispatcher(kServiceName, ServiceMain) ? 1 : 0;
}

void ReportStatus(uint32_t state, uint32_t checkPoint, uint32_t waitHint) {
  if (!SendStatus(state, checkPoint, waitHint)) EndService();
}

void EndService() {
  // A failed SERVICE_STOPPED report runs the stop path again, a bounded number of times.
  for (int attempt = 0; attempt < kStoppedReportAttempts; ++attempt) {
    SignalStopEvent();
    if (SendStatus(kServiceStopped, 0, 0)) return;
  }
}

void ServiceMain() {
  statusHandle =
      CurrentPlatform().serviceControl->RegisterControlHandler(kServiceName, ServiceControlHandler);
  if (statusHandle == nullptr) return;

  ReportStatus(kServiceStartPending, 1, kStartWaitHintMs);

  auto& events = *CurrentPlatform().pipeEvents;
  PipeResources pipe;
  if (const char16_t* failure = SetUpPipe(pipe)) {
    AbandonStartUp(failure, pipe);
    return;
  }
  {
    platform::Handle created =
        events.CreateEvent(/*manualReset=*/true, /*initiallySignalled=*/false);
    std::lock_guard lock(stopEventLock);
    stopEvent = created;
  }
  if (stopEvent == nullptr) {
    AbandonStartUp(u"ZYLCTRL:Cannot create the stop event\n", pipe);
    return;
  }

  currentState = kServiceRunning;
  ReportStatus(kServiceRunning, 0, 0);

  const PipeLoopEnd end = RunPipeLoop(pipe, stopEvent);
  if (end != PipeLoopEnd::kStopped) {
    // The loop cannot serve any more: say so to the service manager instead of leaving it to
    // believe the service runs.
    DebugLine(LoopEndLine(end));
    EndService();
  }
  // A request taken together with the stop ran after the handler's release, and may have made
  // a new context: no command runs any more, so nothing of it may outlive the service.
  ReleaseServiceContext();
  JoinStopWatch();
  ClosePipe(pipe);
  CloseStopEvent();
}

void ServiceControlHandler(uint32_t control) {
  if (control == kServiceControlStop || control == kServiceControlShutdown) {
    RefuseNewCommands();
    ReleaseServiceContext();
    currentState = kServiceStopPending;
    ReportStatus(kServiceStopPending, 1, kStopWaitHintMs);
    // The handler returns at once either way: the service manager waits for it.
    if (HandOverStopToWatch()) {
      SignalStopEvent();
    } else {
      EndService();
    }
    DebugLine(u"ZYLCTRL:SERVICE_CONTROL_STOP");
    return;
  }
  ReportStatus(currentState, 0, 0);
}

bool BeginCommand() {
  std::lock_guard lock(contextLock);
  if (stopRequested) return false;
  commandRunning = true;
  replyPending = true;
  return true;
}

void EndCommand() {
  std::lock_guard lock(contextLock);
  commandRunning = false;
  if (releaseRequested) FreeContextLocked();
}

void EndReply() {
  std::lock_guard lock(contextLock);
  replyPending = false;
  replyWritten.notify_all();
}

void ReleaseServiceContext() {
  std::lock_guard lock(contextLock);
  if (commandRunning) {
    releaseRequested = true;
  } else {
    FreeContextLocked();
  }
}

void ResetServiceStateForTesting() {
  std::lock_guard lock(contextLock);
  FreeContextLocked();
  commandRunning = false;
  replyPending = false;
  stopRequested = false;
  stopWatch = nullptr;
  stopCheckPointInterval = std::chrono::milliseconds(kStopCheckPointIntervalMs);
  statusHandle = nullptr;
  stopEvent = nullptr;
  currentState = 0;
}

void SetStopWaitForTesting(uint32_t checkPointIntervalMs) {
  std::lock_guard lock(contextLock);
  stopCheckPointInterval = std::chrono::milliseconds(checkPointIntervalMs);
}
