// The service's life: the program entry, ServiceMain and the control handler. The status
// reports, the command bookkeeping, the context and the stop watch are in files of their own
// (lifecycle_state.h).
#include "service/lifecycle.h"

#include "protocol/names.h"
#include "service/lifecycle_state.h"
#include "service/pipe_server.h"
#include "service/service_platform.h"

namespace zylservice {

using zylprotocol::kServiceName;

namespace {

void DebugLine(std::u16string_view text) { CurrentPlatform().debugOutput->Write(text); }

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

void ServiceMain() {
  statusHandle =
      CurrentPlatform().serviceControl->RegisterControlHandler(kServiceName, ServiceControlHandler);
  if (statusHandle == nullptr) return;

  ReportStatus(platform::kServiceStartPending, 1, kStartWaitHintMs);

  auto& events = *CurrentPlatform().pipeEvents;
  PipeResources pipe;
  if (const char16_t* failure = SetUpPipe(pipe)) {
    AbandonStartUp(failure, pipe);
    return;
  }
  InstallStopEvent(events.CreateEvent(/*manualReset=*/true, /*initiallySignalled=*/false));
  if (stopEvent == nullptr) {
    AbandonStartUp(u"ZYLCTRL:Cannot create the stop event\n", pipe);
    return;
  }

  currentState = platform::kServiceRunning;
  ReportStatus(platform::kServiceRunning, 0, 0);

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
  if (control == platform::kServiceControlStop || control == platform::kServiceControlShutdown) {
    RefuseNewCommands();
    ReleaseServiceContext();
    currentState = platform::kServiceStopPending;
    ReportStatus(platform::kServiceStopPending, 1, kStopWaitHintMs);
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

void ResetServiceStateForTesting() {
  {
    std::lock_guard lock(commandState.lock);
    FreeContextLocked();
    commandState.commandRunning = false;
    commandState.replyPending = false;
    commandState.stopRequested = false;
    ResetStopWatchLocked();
  }
  statusHandle = nullptr;
  stopEvent = nullptr;
  currentState = 0;
}

}  // namespace zylservice
