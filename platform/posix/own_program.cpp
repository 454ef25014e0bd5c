#include "platform/posix/own_program.h"

#include <dlfcn.h>
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

void* LoadBesideProgram(const std::string& fileName) {
  if (fileName.find('/') == std::string::npos) {
    const std::string program = OwnProgramPath();
    const std::size_t slash = program.find_last_of('/');
    if (slash != std::string::npos) {
      const std::string besideProgram = program.substr(0, slash + 1) + fileName;
      if (::access(besideProgram.c_str(), F_OK) == 0) {
        return ::dlopen(besideProgram.c_str(), RTLD_NOW | RTLD_LOCAL);
      }
    }
  }
  return ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace platform::posix
