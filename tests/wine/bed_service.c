/*
 * bed_service: the smallest own-process service, registered under the
 * product's service name, so the self-test can check the harness's service
 * functions (create, start, state, stop) before the real program exists.
 * It reports RUNNING, waits for stop or shutdown, and reports STOPPED.
 */
#include <windows.h>

static SERVICE_STATUS_HANDLE g_status_handle;
static HANDLE g_stop_event;

static void Report(DWORD state) {
  SERVICE_STATUS status;
  ZeroMemory(&status, sizeof status);
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  SetServiceStatus(g_status_handle, &status);
}

static DWORD WINAPI Control(DWORD control, DWORD type, void *data, void *context) {
  (void)type;
  (void)data;
  (void)context;
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    Report(SERVICE_STOP_PENDING);
    SetEvent(g_stop_event);
  }
  return NO_ERROR;
}

static void WINAPI Main(DWORD argc, LPWSTR *argv) {
  (void)argc;
  g_status_handle = RegisterServiceCtrlHandlerExW(argv[0], Control, NULL);
  if (!g_status_handle) return;
  g_stop_event = CreateEventW(NULL, TRUE, FALSE, NULL);
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stop_event, INFINITE);
  Report(SERVICE_STOPPED);
}

int main(void) {
  static WCHAR name[] = L"Tavik Zyl Control Service";
  SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {NULL, NULL}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
