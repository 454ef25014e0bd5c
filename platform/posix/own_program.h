#pragma once

#include <string>

namespace platform::posix {

/// The running program's own file path, of any length (the link /proc/self/exe); empty when
/// it cannot be read.
std::string OwnProgramPath();

}  // namespace platform::posix
