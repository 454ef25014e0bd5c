#include "hwaccess/library_platform.h"

#include <optional>

namespace hwaccess {
namespace {

std::optional<HwPlatform>& Slot() {
  static std::optional<HwPlatform> slot;
  return slot;
}

}  // namespace

const HwPlatform& CurrentHwPlatform() {
  std::optional<HwPlatform>& slot = Slot();
  if (!slot) slot = DefaultHwPlatform();
  return *slot;
}

void UseHwPlatform(const HwPlatform& bindings) { Slot() = bindings; }

}  // namespace hwaccess
