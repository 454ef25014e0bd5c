#include "platform/debug_output.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/utf8.h"

namespace platform {
namespace {

// Standard error, which systemd puts in the journal. Each piece goes out in one write(2), so
// pieces from different threads never interleave within a piece.
class StandardErrorOutput final : public DebugOutput {
 public:
  void Write(std::u16string_view text) override { WriteNarrow(posix::ToUtf8(text)); }

  void WriteNarrow(std::string_view text) override {
    while (!text.empty()) {
      const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        return;  // nowhere to report it
      }
      text.remove_prefix(static_cast<std::size_t>(written));
    }
  }
};

}  // namespace

DebugOutput& SystemDebugOutput() {
  // Never destroyed: threads may still write while the process exits.
  static auto* instance = new StandardErrorOutput();
  return *instance;
}

}  // namespace platform
