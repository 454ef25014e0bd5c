#pragma once

#include <sys/types.h>

#include <array>
#include <bit>
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
/// absent function costs no system call, no clock read and no allocation. A present function's
/// config file is opened on its first read and kept open (up to `kMaxKeptFiles`; further ones
/// are opened for each read), so a register read is one `pread`. Registers are never cached:
/// every read of a present function asks the kernel. FindFunction, the scan's walk over every
/// function's ID, visits only the map's set bits.
///
/// Hot-plug: the map is listed afresh whenever register 0x00 of 00:00.0 is read, which every
/// scan does first, so each scan sees the functions present when it started. A read whose
/// address is not above the previous read's (a walk starting over, or a register read again)
/// also lists afresh when the listing is older than `maxAge`, so a caller that never starts at
/// 00:00.0 still sees changes; an ascending walk is bounded by the 2^22 registers there are.
/// A function removed during a scan reads 0xFFFFFFFF from then on (sysfs fails reads of a
/// removed function's file); one removed and added again between listings is opened afresh.
/// Thread-compatible.
class SysfsPortChannel : public PortChannel {
 public:
  /// How many config files are kept open at most; a process may have few descriptors to spare.
  static constexpr size_t kMaxKeptFiles = 64;

  explicit SysfsPortChannel(std::string root = "/sys/bus/pci/devices",
                            std::chrono::milliseconds maxAge = std::chrono::milliseconds(1000));
  ~SysfsPortChannel() override;
  SysfsPortChannel(const SysfsPortChannel&) = delete;
  SysfsPortChannel& operator=(const SysfsPortChannel&) = delete;

  uint32_t ReadPort(Handle device, uint16_t port) override;
  uint32_t WritePort(Handle device, uint16_t port, uint32_t value) override;
  /// Reads only the present functions of the run: an absent one answers all ones, which never
  /// counts, and costs nothing here.
  uint32_t FindFunction(Handle device, uint32_t first, uint32_t end, uint8_t reg,
                        uint32_t wanted) override;

  /// How many times the directory has been listed (for tests and benchmarks).
  uint64_t listings() const { return listings_; }

 private:
  static constexpr uint32_t kFunctions = 65536;
  static constexpr int kNotOpened = -1;
  static constexpr int kUnreadable = -2;  ///< failed since the listing: answers as absent

  /// One present function, in the order of `function`.
  struct Present {
    uint16_t function;
    ino_t node;  ///< the directory entry's inode: a function added again gets a new one
    int fd;      ///< its config file, kNotOpened or kUnreadable
  };

  uint32_t ReadConfig(uint32_t address);
  uint32_t ReadPresent(Present& entry, uint32_t reg);
  void ListFunctions();
  /// Closes the entry's kept file, if any.
  void Release(Present& entry);
  void CloseAll();
  bool IsPresent(uint16_t function) const {
    return (present_[function >> 6] >> (function & 63)) & 1;
  }
  /// The entry of a present function: those in the words before plus those below it in its own.
  Present& EntryOf(uint16_t function) {
    const uint64_t below = present_[function >> 6] & ((uint64_t{1} << (function & 63)) - 1);
    return entries_[rankBase_[function >> 6] + std::popcount(below)];
  }

  std::string root_;
  std::string path_;  ///< <root>/0000:BB:DD.F/config, rewritten in place for each open
  std::chrono::milliseconds maxAge_;
  std::chrono::steady_clock::time_point listedAt_{};
  std::array<uint64_t, 65536 / 64> present_{};
  std::array<uint16_t, 65536 / 64> rankBase_{};
  std::vector<Present> entries_;
  std::vector<Present> listing_;  ///< scratch for the next listing, kept to avoid reallocating
  size_t keptFiles_ = 0;
  uint32_t latch_ = 0;
  uint32_t lastAddress_ = UINT32_MAX;  ///< bus/device/function/register of the previous read
  uint64_t listings_ = 0;
};

}  // namespace platform
