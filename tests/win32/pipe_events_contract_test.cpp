// The Windows pipe and event binding held to the PipeEvents contract, against real kernel
// objects. Each test uses pipe and event names of its own.
#include "contract/pipe_events_contract.h"

#include <windows.h>

#include "service/pipe_server.h"

namespace {

using platform::kFileAllAccess;

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

std::u16string UniqueName(const char16_t* prefix) {
  static int serial = 0;
  const std::string suffix = std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++serial);
  return prefix + std::u16string(suffix.begin(), suffix.end());
}

// Connects at once when the instance is free; when it is busy, waits for it on a thread of its
// own. Then writes and reads until the service lets it go. Overlapped, so that it can be ended
// at any point.
class FileClient : public zyltest::PipeClient {
 public:
  FileClient(const std::u16string& name, std::vector<uint8_t> request)
      : name_(name), request_(std::move(request)) {
    quit_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const bool connected = Open();
    EXPECT_TRUE(connected || GetLastError() == ERROR_PIPE_BUSY) << GetLastError();
    if (connected) Send();
    thread_ = std::thread([this, connected] {
      if (!connected && !WaitAndOpen()) return;
      if (!connected) Send();
      Receive();
    });
  }
  ~FileClient() override {
    SetEvent(quit_);
    if (thread_.joinable()) thread_.join();
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    CloseHandle(quit_);
  }
  std::vector<uint8_t> Reply() override {
    thread_.join();
    return reply_;
  }

 private:
  bool Open() {
    file_ = CreateFileW(Wide(name_), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    return file_ != INVALID_HANDLE_VALUE;
  }
  bool WaitAndOpen() {
    while (WaitForSingleObject(quit_, 0) == WAIT_TIMEOUT) {
      if (Open()) return true;
      WaitNamedPipeW(Wide(name_), 50);
    }
    return false;
  }
  // One transfer, finished or cancelled by quit; the bytes moved.
  DWORD Transfer(bool write, void* buffer, DWORD size) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD moved = 0;
    const BOOL started = write ? WriteFile(file_, buffer, size, nullptr, &overlapped)
                               : ReadFile(file_, buffer, size, nullptr, &overlapped);
    if (started || GetLastError() == ERROR_IO_PENDING) {
      const HANDLE waits[] = {overlapped.hEvent, quit_};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIoEx(file_, &overlapped);
      }
      if (!GetOverlappedResult(file_, &overlapped, &moved, TRUE)) moved = 0;
    }
    CloseHandle(overlapped.hEvent);
    return moved;
  }
  void Send() {
    if (request_.empty()) return;
    EXPECT_EQ(Transfer(true, request_.data(), request_.size()), request_.size());
  }
  void Receive() {
    uint8_t buffer[256];
    for (DWORD got; (got = Transfer(false, buffer, sizeof buffer)) > 0;) {
      reply_.insert(reply_.end(), buffer, buffer + got);
    }
  }

  std::u16string name_;
  std::vector<uint8_t> request_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  HANDLE quit_ = nullptr;
  std::thread thread_;
  std::vector<uint8_t> reply_;
};

class KernelNamedEvent : public zyltest::NamedEvent {
 public:
  explicit KernelNamedEvent(HANDLE event) : event_(event) {}
  ~KernelNamedEvent() override { CloseHandle(event_); }
  bool IsSignalled() override { return WaitForSingleObject(event_, 0) == WAIT_OBJECT_0; }

 private:
  HANDLE event_;
};

class Win32PipeEventsBinding {
 public:
  static constexpr bool kRealTime = true;

  platform::PipeEvents& Events() { return platform::SystemPipeEvents(); }
  std::u16string_view PipeName() { return name_; }
  // Lives for the process, as in the service.
  platform::Handle Security() {
    static platform::Handle security = [] {
      const platform::PipeAccessEntry entry{u"Users", kFileAllAccess};
      return platform::SystemPipeEvents().BuildSecurity({&entry, 1});
    }();
    return security;
  }
  std::unique_ptr<zyltest::PipeClient> StartClient(std::vector<uint8_t> request) {
    return std::make_unique<FileClient>(name_, std::move(request));
  }
  std::unique_ptr<zyltest::NamedEvent> MakeNamedEvent(const std::u16string& name) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, Wide(name));
    return event != nullptr ? std::make_unique<KernelNamedEvent>(event) : nullptr;
  }
  std::u16string EventName() { return UniqueName(u"Global\\ZylContractEvent_"); }

 private:
  std::u16string name_ = UniqueName(u"\\\\.\\pipe\\zyl_contract_");
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, PipeEventsContract, Win32PipeEventsBinding);
}  // namespace zyltest
