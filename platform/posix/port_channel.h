#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/port_channel.h"

namespace platform {

/// Configuration mechanism #1 served from Linux's PCI sysfs files instead of port I/O: a write
/// to 0xCF8 latches the address; a read of 0xCFC answers the latched register of the latched
/// function from <root>/0000:BB:DD.F/config, or 0xFFFFFFFF when that function does not exist
/// (or the latch lacks the enable bit), as hardware answers. A register the file does not give
/// (unprivileged readers see only the first 64 bytes) reads 0. A read of 0xCF8 gives the latch
/// back; every other port reads 0, and writes to other ports are dropped. A null device is a
/// failed transfer. Only PCI domain 0000 is visible, as through the ports.
///
/// Speed: a full scan asks for 65,536 functions of which a machine has a few dozen. The set of
/// present functions is kept as a 65,536-bit map from one listing of the sysfs directory, so an
/// absent function costs no system call. Hot-plug: the map is listed afresh whenever register
/// 0x00 of 00:00.0 is read, which every scan does first, and whenever it is older than
/// `maxAge`, so each scan sees the functions present when it started, and a caller that never
/// starts at 00:00.0 still sees changes within `maxAge`. A function that vanishes in the middle
/// of a scan reads 0xFFFFFFFF. Thread-compatible.
class SysfsPortChannel : public PortChannel {
 public:
  explicit SysfsPortChannel(std::string root = "/sys/bus/pci/devices",
                            std::chrono::milliseconds maxAge = std::chrono::milliseconds(1000));
  ~SysfsPortChannel() override;
  SysfsPortChannel(const SysfsPortChannel&) = delete;
  SysfsPortChannel& operator=(const SysfsPortChannel&) = delete;

  uint32_t ReadPort(Handle device, uint16_t port) override;
  uint32_t WritePort(Handle device, uint16_t port, uint32_t value) override;

  /// How many times the directory has been listed (for tests and benchmarks).
  uint64_t listings() const { return listings_; }

 private:
  uint32_t ReadConfig(uint16_t function, uint32_t reg);
  void ListFunctions();
  bool Present(uint16_t function) const { return (present_[function >> 6] >> (function & 63)) & 1; }

  std::string root_;
  std::chrono::milliseconds maxAge_;
  std::chrono::steady_clock::time_point listedAt_{};
  std::vector<uint64_t> present_;
  uint32_t latch_ = 0;
  uint64_t listings_ = 0;
};

}  // namespace platform
