#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace platform {

/// PCI configuration mechanism #1 ports.
inline constexpr uint16_t kPciConfigAddressPort = 0xCF8;
inline constexpr uint16_t kPciConfigDataPort = 0xCFC;
/// The enable bit of an address written to 0xCF8.
inline constexpr uint32_t kPciConfigEnable = 0x80000000u;
/// What a read of an absent function answers.
inline constexpr uint32_t kPciAbsentFunction = 0xFFFFFFFFu;

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

  /// Reads register `reg` (dword-aligned) of functions `first`, `first + 1`, ... below `end`
  /// (at most 65,536), a function being numbered bus << 8 | device << 3 | function: for each,
  /// a write of its address to 0xCF8 and a read of 0xCFC. Stops at the first function that
  /// answers `wanted`, all ones (an absent function) never counting. Returns that function, or
  /// `end` when none answered so. These are exactly the transfers of the loop it stands for,
  /// and this default makes them one by one; a channel that knows which functions are absent
  /// may answer those without asking anyone.
  virtual uint32_t FindFunction(Handle device, uint32_t first, uint32_t end, uint8_t reg,
                                uint32_t wanted) {
    for (uint32_t function = first; function < end; ++function) {
      WritePort(device, kPciConfigAddressPort, kPciConfigEnable | function << 8 | reg);
      const uint32_t answer = ReadPort(device, kPciConfigDataPort);
      if (answer == wanted && answer != kPciAbsentFunction) return function;
    }
    return end;
  }
};

/// The process's real port channel (defined by the win32 or posix binding).
PortChannel& SystemPortChannel();

}  // namespace platform
