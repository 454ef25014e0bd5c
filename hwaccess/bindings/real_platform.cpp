// The shipped library's bindings: the real system ones. Nothing here can be configured.

#include "hwaccess/library_platform.h"

namespace hwaccess {

HwPlatform DefaultHwPlatform() {
  return HwPlatform{&platform::SystemDriverManager(), &platform::SystemPortChannel(),
                    &platform::SystemDebugOutput()};
}

}  // namespace hwaccess
