#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/device_tree.h"

/// One PCI function of the emulated sysfs tree.
struct EmulatedPciFunction {
  std::string address;  ///< "0000:03:00.0"
  uint32_t vendor = 0;
  uint32_t device = 0;
  uint32_t subsystemVendor = 0;
  uint32_t subsystemDevice = 0;
  uint32_t revision = 0;
  uint32_t classCode = 0;
  std::string driver;  ///< the driver that claims the function when probed; empty: none does
  bool bound = true;   ///< bound to `driver` at the start
  bool hasSubsystemFiles = true;

  // The kernel's scripted reactions.
  bool refusesUnbind = false;         ///< an unbind is accepted but the driver stays bound
  bool bindsOnlyAfterRescan = false;  ///< probing finds the driver only after a bus rescan
  bool neverRebinds = false;          ///< once unbound, no probe binds it again
};

/// The adapter the tests switch: 104D:81CE (subsystem the same) at 0000:03:00.0, claimed by
/// driver "zyl". Its first hardware ID is PCI\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00.
inline EmulatedPciFunction EmulatedAdapter() {
  EmulatedPciFunction function;
  function.address = "0000:03:00.0";
  function.vendor = 0x104d;
  function.device = 0x81ce;
  function.subsystemVendor = 0x104d;
  function.subsystemDevice = 0x81ce;
  function.classCode = 0x118000;
  function.driver = "zyl";
  return function;
}

/// A sysfs tree in a temporary directory, shaped as the kernel's (bus/pci/devices/<address>
/// links into devices/pci0000:00, driver links into bus/pci/drivers), and a write hook that
/// applies to it what the kernel would do after each write. Removed on destruction.
class DeviceSysfsEmulator {
 public:
  DeviceSysfsEmulator();
  ~DeviceSysfsEmulator();
  DeviceSysfsEmulator(const DeviceSysfsEmulator&) = delete;
  DeviceSysfsEmulator& operator=(const DeviceSysfsEmulator&) = delete;

  const std::filesystem::path& Root() const { return root_; }
  void Add(const EmulatedPciFunction& function);
  /// The hook to give the binding under test.
  platform::SysfsWriteHook Hook();

  bool IsBound(const std::string& address) const;
  std::string Override(const std::string& address) const;  ///< "" when unset
  int Rescans() const { return rescans_; }
  /// Every write, as "<path relative to the root> <- <value>"; links resolved.
  const std::vector<std::string>& Writes() const { return writes_; }
  /// Writes that landed outside the emulated tree (there must be none).
  int StrayWrites() const { return strayWrites_; }

 private:
  void React(const std::filesystem::path& attribute, std::string_view value);
  void Bind(EmulatedPciFunction& function);
  std::filesystem::path FunctionDir(const std::string& address) const;

  std::filesystem::path root_;
  std::map<std::string, EmulatedPciFunction> functions_;
  std::map<std::string, std::string> overrides_;
  std::vector<std::string> writes_;
  bool rescanned_ = false;
  int rescans_ = 0;
  int strayWrites_ = 0;
};
