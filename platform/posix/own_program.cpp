#include "platform/posix/own_program.h"

#include <unistd.h>

#include <vector>

namespace platform::posix {

std::string OwnProgramPath() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    // A result that fills the buffer may have been cut short: try again with more room.
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform::posix
