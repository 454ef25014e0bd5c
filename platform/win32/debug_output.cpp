#include "platform/debug_output.h"

#include <windows.h>

#include <string>

namespace platform {
namespace {

/// The debugger output; the text is copied once to add the terminator the call needs.
class Win32DebugOutput : public DebugOutput {
 public:
  void Write(std::u16string_view text) override {
    const std::wstring line(text.begin(), text.end());
    ::OutputDebugStringW(line.c_str());
  }
  void WriteNarrow(std::string_view text) override {
    const std::string line(text);
    ::OutputDebugStringA(line.c_str());
  }
};

}  // namespace

DebugOutput& SystemDebugOutput() {
  static Win32DebugOutput output;
  return output;
}

}  // namespace platform
