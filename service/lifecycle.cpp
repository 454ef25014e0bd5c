#include "service/lifecycle.h"

#include <mutex>

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
    DebugLine(end == PipeLoopEnd::kWaitFailed ? u"ZYLCTRL:Pipe wait failed\n"
                                              : u"ZYLCTRL:Pipe connect keeps failing\n");
    EndService();
  }
  // A request taken together with the stop ran after the handler's release, and may have made
  // a new context: no command runs any more, so nothing of it may outlive the service.
  ReleaseServiceContext();
  ClosePipe(pipe);
  CloseStopEvent();
}

void ServiceControlHandler(uint32_t control) {
  if (control == kServiceControlStop || control == kServiceControlShutdown) {
    ReleaseServiceContext();
    currentState = kServiceStopPending;
    ReportStatus(kServiceStopPending, 1, kStopWaitHintMs);
    EndService();
    DebugLine(u"ZYLCTRL:SERVICE_CONTROL_STOP");
    return;
  }
  ReportStatus(currentState, 0, 0);
}

void BeginCommand() {
  std::lock_guard lock(contextLock);
  commandRunning = true;
}

void EndCommand() {
  std::lock_guard lock(contextLock);
  commandRunning = false;
  if (releaseRequested) FreeContextLocked();
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
  statusHandle = nullptr;
  stopEvent = nullptr;
  currentState = 0;
}
