// Reads this process's debugger output back as a debug monitor reads it, for the tests of the
// Windows bindings that write there.
#pragma once

#include <windows.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zyltest {

// The monitor's side of the debug-output buffer: a 4096-byte mapping holding the writer's
// process ID and its text, handed over with two auto-reset events.
class DebugMonitor {
 public:
  DebugMonitor() {
    mutex_ = CreateMutexW(nullptr, FALSE, L"DBWinMutex");
    bufferReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    dataReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    mapping_ =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER");
    view_ = mapping_ != nullptr ? MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 4096) : nullptr;
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    reader_ = std::thread([this] { Read(); });
  }
  ~DebugMonitor() {
    SetEvent(stop_);
    reader_.join();
    if (view_ != nullptr) UnmapViewOfFile(view_);
    for (HANDLE handle : {mapping_, dataReady_, bufferReady_, mutex_, stop_}) {
      if (handle != nullptr) CloseHandle(handle);
    }
  }
  // Everything this process wrote, once a last marker line has come through (5 s at most).
  std::string Collect() {
    constexpr char kMarker[] = "\x01zyl-end";
    OutputDebugStringA(kMarker);
    for (int waited = 0; waited < 500; ++waited) {
      {
        std::lock_guard lock(lock_);
        const auto at = text_.rfind(kMarker);
        if (at != std::string::npos) return text_.substr(0, at);
      }
      Sleep(10);
    }
    std::lock_guard lock(lock_);
    return "(no marker) " + text_;
  }

 private:
  void Read() {
    if (view_ == nullptr) return;
    const HANDLE waits[] = {dataReady_, stop_};
    for (;;) {
      SetEvent(bufferReady_);
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return;
      const auto* buffer = static_cast<const char*>(view_);
      DWORD writer = 0;
      memcpy(&writer, buffer, sizeof writer);
      if (writer != GetCurrentProcessId()) continue;
      std::lock_guard lock(lock_);
      text_ += std::string(buffer + sizeof writer, strnlen(buffer + sizeof writer, 4092));
    }
  }

  HANDLE mutex_, bufferReady_, dataReady_, mapping_, stop_;
  void* view_;
  std::thread reader_;
  std::mutex lock_;
  std::string text_;
};

/// The capture half of the contract bindings whose output goes to the debugger: a monitor
/// from StartCapture to StopCapture.
class DebugCapture {
 public:
  void StartCapture() { monitor_ = std::make_unique<DebugMonitor>(); }
  std::string StopCapture() {
    std::string text = monitor_->Collect();
    monitor_.reset();
    return text;
  }

 private:
  std::unique_ptr<DebugMonitor> monitor_;
};

}  // namespace zyltest
