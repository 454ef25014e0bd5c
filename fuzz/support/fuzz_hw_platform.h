#pragma once

#include <string>
#include <string_view>

#include "hwaccess/library_platform.h"
#include "platform/debug_output.h"
#include "tests/fakes/driver_manager.h"
#include "tests/fakes/port_channel.h"

/// Keeps the library's debug output since the last Clear(), so a target can look at what one
/// call said. Thread-compatible.
class CapturedDebugOutput : public platform::DebugOutput {
 public:
  void Write(std::u16string_view text) override { wide_ += text.size(); }
  void WriteNarrow(std::string_view text) override { narrow_.append(text); }
  const std::string& Narrow() const { return narrow_; }
  void Clear() {
    narrow_.clear();
    wide_ = 0;
  }

 private:
  std::string narrow_;
  std::size_t wide_ = 0;
};

/// The fakes one fuzzer input runs the library on: made fresh per input, so the books of open
/// handles and the call log start empty.
struct HwFakes {
  platform::FakeDriverManager manager;
  platform::FakePciBus bus;
  CapturedDebugOutput debug;
};

/// Puts the library back into its state when loaded (no object, last-error 0, CurrentStatus
/// 0) and wires it to `fakes`. A library object left over is released without touching any
/// binding: the handles it held belonged to the fakes of an earlier input.
void StartHwInput(HwFakes& fakes);

/// Releases what the library still holds at the end of an input (the object, if any), so that
/// LeakSanitizer sees only what the library itself lost.
void EndHwInput();
