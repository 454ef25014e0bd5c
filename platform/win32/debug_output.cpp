#include "platform/debug_output.h"

#include <string>

#include "platform/win32/wide_text.h"

namespace platform {

namespace {

class Win32DebugOutput : public DebugOutput {
 public:
  void Write(std::u16string_view text) override { OutputDebugStringW(win32::Wide(text).c_str()); }
  void WriteNarrow(std::string_view text) override {
    OutputDebugStringA(std::string(text).c_str());
  }
};

}  // namespace

DebugOutput& SystemDebugOutput() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new Win32DebugOutput();
  return *instance;
}

}  // namespace platform
