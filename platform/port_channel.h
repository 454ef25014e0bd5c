#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace platform {

/// PCI configuration mechanism #1 ports.
inline constexpr uint16_t kPciConfigAddressPort = 0xCF8;
inline constexpr uint16_t kPciConfigDataPort = 0xCFC;

/// 32-bit port transfers through the port-I/O driver's device. Transfer failures are not
/// reported: a failed read gives 0, a failed write does nothing. A null device is a failed
/// transfer. Each write has taken effect before the next read on the same channel.
/// Thread-compatible.
class PortChannel {
 public:
  virtual ~PortChannel() = default;
  /// A 32-bit read of `port`.
  virtual uint32_t ReadPort(Handle device, uint16_t port) = 0;
  /// A 32-bit write of `value` to `port`. Returns the driver's 4-byte answer (0 when none).
  virtual uint32_t WritePort(Handle device, uint16_t port, uint32_t value) = 0;
};

/// The process's real port channel (defined by the win32 or posix binding).
PortChannel& SystemPortChannel();

}  // namespace platform
