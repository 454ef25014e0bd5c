// The client's side on Windows: the service's named pipe and two global events.
//
// The events are made with default security, which grants the creating user and SYSTEM full
// access, so the service can open them with EVENT_MODIFY_STATE, as itself or in this client's
// name. Any user may create events in the Global namespace: only file-mapping sections and
// symbolic links there need SeCreateGlobalPrivilege.
//
// While the service is stopped anyone can create the pipe's name, so the pipe's server is
// checked against the service manager's record of the service before the request is written.
// The pipe is opened with explicit quality of service: impersonation, for the service must open
// the client's events in the client's name; dynamic tracking and only the enabled part of the
// token, so that a server which is not the service learns nothing of the client's identity
// before the check has closed the pipe.
#include <windows.h>

#include <string>

#include "client/transport.h"
#include "platform/win32/error_text.h"
#include "platform/win32/scoped_handle.h"
#include "protocol/names.h"

using namespace zylprotocol;

namespace zylclient {
namespace {

using platform::win32::ErrorDescription;
using platform::win32::ScopedKernelHandle;
using platform::win32::ScopedServiceHandle;

// How the server may use the client's identity: to act in its name (the service opens the
// client's events so), tracked as it changes, and only what is enabled in it.
constexpr DWORD kPipeQualityOfService = SECURITY_SQOS_PRESENT | SECURITY_IMPERSONATION |
                                        SECURITY_CONTEXT_TRACKING | SECURITY_EFFECTIVE_ONLY;

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// The process the service manager runs the service in; false, with the reason, when it does not
// report SERVICE_RUNNING. SC_MANAGER_CONNECT and SERVICE_QUERY_STATUS are granted to every local
// user.
bool ServiceProcessId(DWORD* processId, std::string* error) {
  ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager.Valid()) {
    *error = "cannot ask the service manager: " + ErrorDescription(GetLastError());
    return false;
  }
  ScopedServiceHandle service(
      OpenServiceW(manager.Get(), Wide(kServiceName), SERVICE_QUERY_STATUS));
  if (!service.Valid()) {
    *error = "the service is not installed: " + ErrorDescription(GetLastError());
    return false;
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    *error = "cannot query the service: " + ErrorDescription(GetLastError());
    return false;
  }
  // While it starts, the process may not yet be the one that serves the pipe.
  if (status.dwCurrentState != SERVICE_RUNNING || status.dwProcessId == 0) {
    *error = "the service is not running";
    return false;
  }
  *processId = status.dwProcessId;
  return true;
}

class Win32ClientTransport final : public ClientTransport {
 public:
  explicit Win32ClientTransport(DWORD expectedServerPid) : expectedServerPid_(expectedServerPid) {}

  EventsOutcome CreateEvents(std::string* error) override {
    const char16_t* names[2] = {kCommandDoneEventName, kDisconnectedEventName};
    for (int i = 0; i < 2; ++i) {
      events_[i].Reset(CreateEventW(nullptr, TRUE, FALSE, Wide(names[i])));
      if (!events_[i].Valid()) {
        *error = ErrorDescription(GetLastError());
        return EventsOutcome::kFailed;
      }
      // An event that another client still holds keeps the state it had.
      ResetEvent(events_[i].Get());
    }
    return EventsOutcome::kCreated;
  }

  ConnectOutcome Connect(int timeoutMs, std::string* error) override {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    for (;;) {
      pipe_.Reset(CreateFileW(Wide(kPipeName), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED | kPipeQualityOfService,
                              nullptr));
      if (pipe_.Valid()) return CheckServer(error);
      const DWORD failure = GetLastError();
      if (failure == ERROR_FILE_NOT_FOUND) {
        *error = ErrorDescription(failure);
        return ConnectOutcome::kNotRunning;
      }
      if (failure != ERROR_PIPE_BUSY) {
        *error = ErrorDescription(failure);
        return ConnectOutcome::kFailed;
      }
      // The single instance serves another client: wait until it listens again.
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) {
        *error = ErrorDescription(failure);
        return ConnectOutcome::kBusy;
      }
      if (!WaitNamedPipeW(Wide(kPipeName), static_cast<DWORD>(deadline - now)) &&
          GetLastError() == ERROR_FILE_NOT_FOUND) {
        *error = ErrorDescription(ERROR_FILE_NOT_FOUND);
        return ConnectOutcome::kNotRunning;
      }
    }
  }

  bool Send(const void* data, std::size_t size, std::string* error) override {
    DWORD done = 0;
    if (!Transfer(true, const_cast<void*>(data), size, INFINITE, &done, error)) return false;
    if (done == size) return true;
    *error = "only part of the request was sent";
    return false;
  }

  ReceiveOutcome Receive(void* buffer, std::size_t size, int timeoutMs, std::size_t* received,
                         std::string* error) override {
    DWORD done = 0;
    if (!Transfer(false, buffer, size, static_cast<DWORD>(timeoutMs), &done, error)) {
      return lastOutcome_;
    }
    if (done == 0) return ReceiveOutcome::kClosed;
    *received = done;
    return ReceiveOutcome::kData;
  }

  bool IsSignalled(ClientEvent event) override {
    const ScopedKernelHandle& handle = events_[static_cast<int>(event)];
    return handle.Valid() && WaitForSingleObject(handle.Get(), 0) == WAIT_OBJECT_0;
  }

  bool WaitFor(ClientEvent event, int timeoutMs) override {
    const ScopedKernelHandle& handle = events_[static_cast<int>(event)];
    return handle.Valid() &&
           WaitForSingleObject(handle.Get(), static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
  }

 private:
  // Closes the pipe again, without writing, unless the service serves it.
  ConnectOutcome CheckServer(std::string* error) {
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe_.Get(), &server)) {
      *error = "cannot learn the pipe's server process: " + ErrorDescription(GetLastError());
      pipe_.Reset();
      return ConnectOutcome::kNotTheService;
    }
    DWORD service = expectedServerPid_;
    if (service == 0 && !ServiceProcessId(&service, error)) {
      pipe_.Reset();
      return ConnectOutcome::kNotTheService;
    }
    if (server != service) {
      *error = "process " + std::to_string(server) + " serves the pipe, the service runs as " +
               std::to_string(service);
      pipe_.Reset();
      return ConnectOutcome::kNotTheService;
    }
    return ConnectOutcome::kConnected;
  }

  // One overlapped read or write with a time-out; the pipe was opened overlapped so that a
  // read can be given up.
  bool Transfer(bool writing, void* buffer, std::size_t size, DWORD timeoutMs, DWORD* done,
                std::string* error) {
    ScopedKernelHandle completion(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!completion.Valid()) {
      *error = ErrorDescription(GetLastError());
      lastOutcome_ = ReceiveOutcome::kFailed;
      return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = completion.Get();
    const DWORD length = static_cast<DWORD>(size);
    const BOOL started = writing ? WriteFile(pipe_.Get(), buffer, length, nullptr, &overlapped)
                                 : ReadFile(pipe_.Get(), buffer, length, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
      return Failed(GetLastError(), error);
    }
    if (WaitForSingleObject(completion.Get(), timeoutMs) != WAIT_OBJECT_0) {
      CancelIo(pipe_.Get());
      GetOverlappedResult(pipe_.Get(), &overlapped, done, TRUE);
      lastOutcome_ = ReceiveOutcome::kTimeout;
      *error = "timed out";
      return false;
    }
    if (!GetOverlappedResult(pipe_.Get(), &overlapped, done, FALSE)) {
      return Failed(GetLastError(), error);
    }
    return true;
  }

  bool Failed(DWORD code, std::string* error) {
    // A pipe the service has disconnected reads as closed.
    if (code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED || code == ERROR_NO_DATA) {
      lastOutcome_ = ReceiveOutcome::kClosed;
    } else {
      lastOutcome_ = ReceiveOutcome::kFailed;
    }
    *error = ErrorDescription(code);
    return false;
  }

  const DWORD expectedServerPid_;
  ScopedKernelHandle events_[2];
  ScopedKernelHandle pipe_;
  ReceiveOutcome lastOutcome_ = ReceiveOutcome::kFailed;
};

}  // namespace

std::unique_ptr<ClientTransport> MakeClientTransport(const TransportOptions& options) {
  return std::make_unique<Win32ClientTransport>(options.expectedServerPid);
}

}  // namespace zylclient
