#include "platform/service_control.h"

#include "platform/win32/wide_text.h"

namespace platform {

namespace {

// The service manager calls plain WINAPI functions; these carry its calls to the core's.
ServiceMainFunction serviceMainFunction = nullptr;
ServiceControlFunction controlFunction = nullptr;
std::wstring dispatchedName;

void WINAPI ServiceMainTrampoline(DWORD, LPWSTR*) { serviceMainFunction(); }

void WINAPI ControlTrampoline(DWORD control) { controlFunction(control); }

class Win32ServiceControl : public ServiceControl {
 public:
  bool RunDispatcher(std::u16string_view serviceName, ServiceMainFunction serviceMain) override {
    serviceMainFunction = serviceMain;
    dispatchedName = win32::Wide(serviceName);
    SERVICE_TABLE_ENTRYW table[] = {{dispatchedName.data(), ServiceMainTrampoline},
                                    {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) != FALSE;
  }

  StatusHandle RegisterControlHandler(std::u16string_view serviceName,
                                      ServiceControlFunction handler) override {
    controlFunction = handler;
    return RegisterServiceCtrlHandlerW(win32::Wide(serviceName).c_str(), ControlTrampoline);
  }

  bool SetStatus(StatusHandle handle, const ServiceStatus& status) override {
    SERVICE_STATUS report{};
    report.dwServiceType = status.serviceType;
    report.dwCurrentState = status.currentState;
    report.dwControlsAccepted = status.controlsAccepted;
    report.dwWin32ExitCode = status.win32ExitCode;
    report.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    report.dwCheckPoint = status.checkPoint;
    report.dwWaitHint = status.waitHint;
    return SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &report) != FALSE;
  }

  void EndProcessNow(uint32_t exitCode) override {
    TerminateProcess(GetCurrentProcess(), exitCode);
  }
};

}  // namespace

ServiceControl& SystemServiceControl() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new Win32ServiceControl();
  return *instance;
}

}  // namespace platform
