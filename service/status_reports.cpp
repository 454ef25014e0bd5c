// The service's status reports to the service manager, and the stop path they end in.
#include "service/lifecycle.h"
#include "service/lifecycle_state.h"
#include "service/service_platform.h"

namespace zylservice {

platform::StatusHandle statusHandle = nullptr;
platform::Handle stopEvent = nullptr;
std::atomic<uint32_t> currentState{0};

namespace {

std::mutex stopEventLock;

uint32_t ControlsAcceptedFor(uint32_t state) {
  return state == platform::kServiceStartPending ? 0 : kServiceAcceptStopAndShutdown;
}

}  // namespace

void InstallStopEvent(platform::Handle event) {
  std::lock_guard lock(stopEventLock);
  stopEvent = event;
}

void SignalStopEvent() {
  std::lock_guard lock(stopEventLock);
  if (stopEvent != nullptr) CurrentPlatform().pipeEvents->SetEvent(stopEvent);
}

void CloseStopEvent() {
  std::lock_guard lock(stopEventLock);
  if (stopEvent != nullptr) CurrentPlatform().pipeEvents->Close(stopEvent);
  stopEvent = nullptr;
}

bool SendStatus(uint32_t state, uint32_t checkPoint, uint32_t waitHint) {
  platform::ServiceStatus status;
  status.serviceType = platform::kServiceWin32OwnProcess;
  status.currentState = state;
  status.controlsAccepted = ControlsAcceptedFor(state);
  status.win32ExitCode = 0;
  status.serviceSpecificExitCode = 0;
  status.checkPoint = checkPoint;
  status.waitHint = waitHint;
  return CurrentPlatform().serviceControl->SetStatus(statusHandle, status);
}

void ReportStatus(uint32_t state, uint32_t checkPoint, uint32_t waitHint) {
  if (!SendStatus(state, checkPoint, waitHint)) EndService();
}

void EndService() {
  // A failed SERVICE_STOPPED report runs the stop path again, a bounded number of times.
  for (int attempt = 0; attempt < kStoppedReportAttempts; ++attempt) {
    SignalStopEvent();
    if (SendStatus(platform::kServiceStopped, 0, 0)) return;
  }
}

}  // namespace zylservice
