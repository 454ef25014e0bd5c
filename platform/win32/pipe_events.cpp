#include "platform/pipe_events.h"

#include <aclapi.h>

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "platform/win32/wide_text.h"

// The interface's own names; the W functions are called by name below.
#undef CreateEvent
#undef OpenEvent

namespace platform {

namespace {

// The descriptor and its ACL live for the whole process: the pipe keeps referring to them.
struct PipeSecurity {
  SECURITY_DESCRIPTOR descriptor;
  PACL acl = nullptr;
  SECURITY_ATTRIBUTES attributes;
};

// How long Close waits for a cancelled connect to finish.
constexpr int kCancelWaitMs = 1000;

// The built-in accounts the pipe's access list names, by their well-known SIDs.
std::optional<WELL_KNOWN_SID_TYPE> WellKnownAccount(std::u16string_view name) {
  if (name == u"SYSTEM") return WinLocalSystemSid;
  if (name == u"Administrators") return WinBuiltinAdministratorsSid;
  if (name == u"Users") return WinBuiltinUsersSid;
  return std::nullopt;
}

struct FlushCall {
  HANDLE pipe;
  BOOL flushed;
};

DWORD WINAPI FlushTrampoline(LPVOID parameter) {
  auto* call = static_cast<FlushCall*>(parameter);
  call->flushed = FlushFileBuffers(call->pipe);
  return 0;
}

struct ThreadStart {
  ThreadFunction function;
  void* argument;
};

DWORD WINAPI ThreadTrampoline(LPVOID parameter) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
  start->function(start->argument);
  return 0;
}

// Pipe transfers on an overlapped handle are made synchronous by waiting for their completion:
// a plain ReadFile without OVERLAPPED on such a handle may report completion too early.
bool CompleteTransfer(HANDLE pipe, BOOL started, OVERLAPPED& overlapped, DWORD& transferred) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(pipe, &overlapped, &transferred, TRUE) != FALSE;
}

class OverlappedEvent {
 public:
  OverlappedEvent() { overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~OverlappedEvent() {
    if (overlapped_.hEvent != nullptr) CloseHandle(overlapped_.hEvent);
  }
  OverlappedEvent(const OverlappedEvent&) = delete;
  OverlappedEvent& operator=(const OverlappedEvent&) = delete;
  bool valid() const { return overlapped_.hEvent != nullptr; }
  OVERLAPPED& get() { return overlapped_; }

 private:
  OVERLAPPED overlapped_{};
};

class Win32PipeEvents : public PipeEvents {
 public:
  Handle BuildSecurity(std::span<const PipeAccessEntry> entries) override {
    auto security = std::make_unique<PipeSecurity>();
    if (!InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION)) {
      return nullptr;
    }
    std::vector<std::wstring> names;
    for (const auto& entry : entries) names.push_back(win32::Wide(entry.trustee));
    std::vector<EXPLICIT_ACCESS_W> access(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      BuildExplicitAccessWithNameW(&access[i], names[i].data(), entries[i].accessMask, GRANT_ACCESS,
                                   NO_INHERITANCE);
    }
    if (SetEntriesInAclW(access.size(), access.data(), nullptr, &security->acl) != ERROR_SUCCESS) {
      // Account names are looked up in the system's language: a localised Windows names its
      // administrators and users otherwise. The built-in accounts are then named by their SIDs.
      std::vector<std::array<BYTE, SECURITY_MAX_SID_SIZE>> sids(entries.size());
      for (size_t i = 0; i < entries.size(); ++i) {
        const auto known = WellKnownAccount(entries[i].trustee);
        DWORD size = SECURITY_MAX_SID_SIZE;
        if (known && CreateWellKnownSid(*known, nullptr, sids[i].data(), &size)) {
          BuildTrusteeWithSidW(&access[i].Trustee, sids[i].data());
        }
      }
      security->acl = nullptr;
      if (SetEntriesInAclW(access.size(), access.data(), nullptr, &security->acl) !=
          ERROR_SUCCESS) {
        return nullptr;
      }
    }
    if (!SetSecurityDescriptorDacl(&security->descriptor, TRUE, security->acl, FALSE)) {
      LocalFree(security->acl);
      return nullptr;
    }
    security->attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    security->attributes.lpSecurityDescriptor = &security->descriptor;
    security->attributes.bInheritHandle = FALSE;
    return security.release();
  }

  Handle CreatePipe(const PipeSettings& settings, Handle security) override {
    auto* attributes =
        security != nullptr ? &static_cast<PipeSecurity*>(security)->attributes : nullptr;
    HANDLE pipe = CreateNamedPipeW(win32::Wide(settings.name).c_str(), settings.openMode,
                                   settings.pipeMode, settings.maxInstances, settings.outBufferSize,
                                   settings.inBufferSize, settings.defaultTimeoutMs, attributes);
    return pipe == INVALID_HANDLE_VALUE ? nullptr : pipe;
  }

  ConnectState Connect(Handle pipe, Handle connectEvent) override {
    // The record must outlive the pending connect, so each pipe keeps its own.
    OVERLAPPED* overlapped;
    {
      std::lock_guard lock(mutex_);
      auto& slot = connects_[pipe];
      if (!slot) slot = std::make_unique<OVERLAPPED>();
      overlapped = slot.get();
    }
    *overlapped = OVERLAPPED{};
    overlapped->hEvent = connectEvent;
    if (ConnectNamedPipe(pipe, overlapped)) return ConnectState::kPending;
    switch (GetLastError()) {
      case ERROR_IO_PENDING:
        return ConnectState::kPending;
      case ERROR_PIPE_CONNECTED:
        return ConnectState::kConnected;
      default:
        return ConnectState::kFailed;
    }
  }

  std::ptrdiff_t Read(Handle pipe, void* buffer, std::size_t size) override {
    OverlappedEvent overlapped;
    if (!overlapped.valid()) return -1;
    OVERLAPPED& record = overlapped.get();
    DWORD transferred = 0;
    if (ReadFile(pipe, buffer, size, &transferred, &record)) return transferred;
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      if (WaitForSingleObject(record.hEvent, kPipeReadLimitMs) != WAIT_OBJECT_0) {
        // Nothing within the limit: cancel, and let the cancelled read finish before its
        // buffer and record go away.
        CancelIoEx(pipe, &record);
        GetOverlappedResult(pipe, &record, &transferred, TRUE);
        return -1;
      }
      if (GetOverlappedResult(pipe, &record, &transferred, FALSE)) return transferred;
      error = GetLastError();
    }
    // A message longer than the buffer still delivers the part that fits.
    return error == ERROR_MORE_DATA ? static_cast<std::ptrdiff_t>(transferred) : -1;
  }

  bool Write(Handle pipe, const void* data, std::size_t size) override {
    OverlappedEvent overlapped;
    if (!overlapped.valid()) return false;
    DWORD transferred = 0;
    const BOOL started = WriteFile(pipe, data, size, &transferred, &overlapped.get());
    return CompleteTransfer(pipe, started, overlapped.get(), transferred) && transferred == size;
  }

  bool Flush(Handle pipe) override {
    // FlushFileBuffers waits for the client to read, with no limit of its own: it runs on a
    // thread of its own, and a client that does not read in time is disconnected, which ends
    // the flush.
    auto* call = new (std::nothrow) FlushCall{pipe, FALSE};
    if (call == nullptr) return false;
    HANDLE thread = CreateThread(nullptr, 0, FlushTrampoline, call, 0, nullptr);
    if (thread == nullptr) {
      delete call;
      return false;
    }
    bool flushed = false;
    if (WaitForSingleObject(thread, kPipeFlushLimitMs) == WAIT_OBJECT_0) {
      flushed = call->flushed != FALSE;
    } else {
      DisconnectNamedPipe(pipe);
      if (WaitForSingleObject(thread, kPipeFlushLimitMs) != WAIT_OBJECT_0) {
        // Still not back: leave the call to the thread rather than free what it uses.
        CloseHandle(thread);
        return false;
      }
    }
    CloseHandle(thread);
    delete call;
    return flushed;
  }
  bool Disconnect(Handle pipe) override { return DisconnectNamedPipe(pipe) != FALSE; }
  bool ImpersonateClient(Handle pipe) override { return ImpersonateNamedPipeClient(pipe) != FALSE; }
  bool RevertToSelf() override { return ::RevertToSelf() != FALSE; }

  Handle CreateEvent(bool manualReset, bool initiallySignalled) override {
    return CreateEventW(nullptr, manualReset, initiallySignalled, nullptr);
  }

  Handle OpenEvent(std::u16string_view name) override {
    return OpenEventW(EVENT_MODIFY_STATE, FALSE, win32::Wide(name).c_str());
  }

  bool SetEvent(Handle event) override { return ::SetEvent(event) != FALSE; }
  bool ResetEvent(Handle event) override { return ::ResetEvent(event) != FALSE; }

  int WaitForEither(Handle first, Handle second) override {
    const HANDLE handles[] = {first, second};
    const DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (result == WAIT_OBJECT_0) return 0;
    if (result == WAIT_OBJECT_0 + 1) return 1;
    return -1;
  }

  Handle StartThread(ThreadFunction function, void* argument) override {
    auto* start = new (std::nothrow) ThreadStart{function, argument};
    if (start == nullptr) return nullptr;
    HANDLE thread = CreateThread(nullptr, 0, ThreadTrampoline, start, 0, nullptr);
    if (thread == nullptr) delete start;
    return thread;
  }

  bool WaitForThread(Handle thread) override {
    return WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0;
  }

  void Close(Handle handle) override {
    std::unique_ptr<OVERLAPPED> connect;
    {
      std::lock_guard lock(mutex_);
      auto found = connects_.find(handle);
      if (found != connects_.end()) {
        connect = std::move(found->second);
        connects_.erase(found);
      }
    }
    if (connect && !HasOverlappedIoCompleted(connect.get())) {
      // The system writes a pending connect's outcome into its record: let the cancelled
      // connect finish before the record goes away, or keep the record if it never does.
      CancelIoEx(handle, connect.get());
      const ULONGLONG deadline = GetTickCount64() + kCancelWaitMs;
      while (!HasOverlappedIoCompleted(connect.get()) && GetTickCount64() < deadline) Sleep(1);
      if (!HasOverlappedIoCompleted(connect.get())) connect.release();
    }
    CloseHandle(handle);
  }

 private:
  std::mutex mutex_;
  std::map<Handle, std::unique_ptr<OVERLAPPED>> connects_;
};

}  // namespace

PipeEvents& SystemPipeEvents() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new Win32PipeEvents();
  return *instance;
}

}  // namespace platform
