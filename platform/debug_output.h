#pragma once

#include <string_view>

namespace platform {

/// Debugger output: OutputDebugStringW/A on Windows, standard error on Linux.
/// There are no levels and no log file. Thread-safe.
class DebugOutput {
 public:
  virtual ~DebugOutput() = default;
  /// One piece of text in the service's UTF-16 form, written as given (no line end added).
  virtual void Write(std::u16string_view text) = 0;
  /// One piece of text in the library's 8-bit form, written as given.
  virtual void WriteNarrow(std::string_view text) = 0;
};

/// The process's real debugger output (defined by the win32 or posix binding).
DebugOutput& SystemDebugOutput();

}  // namespace platform
