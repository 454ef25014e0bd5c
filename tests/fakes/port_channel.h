#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "platform/port_channel.h"

namespace platform {

/// A simulated PCI bus behind configuration mechanism #1: a write to 0xCF8 latches the
/// address, a read of 0xCFC answers the latched register of the latched function, 0xFFFFFFFF
/// when that function does not exist (or the latch lacks the enable bit), as hardware answers.
/// A read of 0xCF8 gives the latch back; every other port reads 0. A null device is a failed
/// transfer (reads 0, writes are dropped). Every transfer is counted. Thread-compatible.
class FakePciBus : public PortChannel {
 public:
  using ConfigSpace = std::array<uint8_t, 256>;

  /// Bus/device/function as one key: bus << 8 | device << 3 | function.
  static constexpr uint16_t Key(unsigned bus, unsigned device, unsigned function) {
    return static_cast<uint16_t>(bus << 8 | device << 3 | function);
  }

  /// A function with the given ID, subsystem and command dwords; other registers read 0.
  void AddFunction(unsigned bus, unsigned device, unsigned function, uint32_t id,
                   uint32_t subsystem, uint32_t command);
  /// A function with a full configuration space.
  void SetConfigSpace(unsigned bus, unsigned device, unsigned function, const ConfigSpace& space);
  /// Writes one dword of an existing function's space.
  void SetDword(unsigned bus, unsigned device, unsigned function, uint8_t reg, uint32_t value);
  void RemoveFunction(unsigned bus, unsigned device, unsigned function);
  void Clear() { functions_.clear(); }
  size_t FunctionCount() const { return functions_.size(); }

  /// Loads a topology from a text dump and adds it to the bus. Format, one function a line:
  ///   BB:DD.F  DWORD DWORD ...    (hex; up to 64 dwords from register 0 on, the rest read 0)
  /// An optional "DDDD:" domain prefix must be 0000. Blank lines and lines starting with '#'
  /// are skipped. Returns false (and leaves the bus as it was) on a malformed file.
  bool LoadDump(const std::string& path, std::string* error = nullptr);

  uint64_t transfers() const { return transfers_; }
  void ResetTransfers() { transfers_ = 0; }
  uint32_t latch() const { return latch_; }

  uint32_t ReadPort(Handle device, uint16_t port) override;
  uint32_t WritePort(Handle device, uint16_t port, uint32_t value) override;

 private:
  std::map<uint16_t, ConfigSpace> functions_;
  uint32_t latch_ = 0;
  uint64_t transfers_ = 0;
};

}  // namespace platform
