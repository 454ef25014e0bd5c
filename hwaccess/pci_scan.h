#pragma once

// The PCI configuration scan through configuration mechanism #1.
//
// SearchPCIConfig(id, subsystem, foundId) walks bus 0..255, device 0..31 and, within a device,
// function 0..7 until the device is decided:
//   - a function whose ID dword (register 0x00) equals `id` decides its device. With a nonzero
//     `subsystem` it is recorded only if its subsystem dword (0x2C) also equals `subsystem`;
//   - else, with `id` 0 and a nonzero `subsystem`, the function's subsystem dword decides the
//     device (so only function 0 is ever examined in this mode); a match also writes the
//     function's ID dword to *foundId;
//   - else the next function is probed.
// A function whose ID dword reads all ones is absent and never matches, even when all ones was
// asked for (an ID-mode search for all ones then probes every function of every device).
// Every recorded match gets the low byte of its command register (0x04), in every mode: a
// fill value is not a fact about the device.
// The table holds 16 matches. Further matches are counted but not recorded, so the count says
// how many functions matched while the table keeps the first 16 in scan order.

#include <cstdint>

#include "platform/port_channel.h"

namespace hwaccess {

/// Configuration registers the scan reads.
inline constexpr uint8_t kPciVendorId = 0x00;
inline constexpr uint8_t kPciCommand = 0x04;
inline constexpr uint8_t kPciSubsystemVendorId = 0x2C;

inline constexpr int kPciBusCount = 256;
inline constexpr int kPciDevicesPerBus = 32;
inline constexpr int kPciFunctionsPerDevice = 8;
inline constexpr int kPciMatchTableSize = 16;

/// The mechanism #1 address of one configuration register.
constexpr uint32_t PciConfigAddress(uint32_t bus, uint32_t device, uint32_t function,
                                    uint32_t reg) {
  return platform::kPciConfigEnable | bus << 16 | device << 11 | function << 8 | reg;
}

/// One recorded match.
struct PciMatch {
  uint8_t bus;
  uint8_t device;
  uint8_t function;
  uint8_t command;  ///< bits 0-7 of the function's command register
};
static_assert(sizeof(PciMatch) == 4);

/// The matches of the latest scan, entries 0..count-1 in scan order; every other byte is 0xFF.
/// Process-wide, refilled by every scan.
extern PciMatch PciMatchTable[kPciMatchTableSize];

}  // namespace hwaccess
