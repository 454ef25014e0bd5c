#pragma once

// The device tree interface (device installation and configuration-manager functions) is
// defined together with the device-node operations.
namespace platform {
class DeviceTree;
}  // namespace platform
