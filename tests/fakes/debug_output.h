#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_output.h"

namespace platform {

/// Keeps every piece of debugger output, narrow pieces widened. Thread-safe.
class FakeDebugOutput : public DebugOutput {
 public:
  void Write(std::u16string_view text) override;
  void WriteNarrow(std::string_view text) override;

  std::vector<std::u16string> Pieces() const;
  /// All pieces joined, as a debugger would show them.
  std::u16string Text() const;
  /// The narrow pieces joined (the library's output).
  std::string NarrowText() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::u16string> pieces_;
  std::string narrow_;
};

}  // namespace platform
