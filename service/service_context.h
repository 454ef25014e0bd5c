#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace zylservice {

/// The service's record of the bound hardware access library and the adapter's identifiers.
/// Created by ZylCmdLoadLibrary, filled by ZylCmdCountDevices, read by the device-node
/// operations, released on stop or shutdown.
struct ServiceContext {
  platform::Handle library = nullptr;  ///< module handle of the library; null when loading failed
  uint32_t deviceId = 0;               ///< 16-bit PCI device ID, zero-extended
  uint32_t vendorId = 0;               ///< 16-bit PCI vendor ID, zero-extended
};

}  // namespace zylservice
