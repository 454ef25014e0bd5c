#pragma once

#include <cstring>
#include <string>

namespace platform::posix {

/// The system's text of an errno value (strerror), but never "Success": a failure that left
/// errno 0 says so. The one place Linux code turns an errno into words.
inline std::string ErrorText(int error) {
  return error == 0 ? std::string("failed without a reason from the system") : std::strerror(error);
}

}  // namespace platform::posix
