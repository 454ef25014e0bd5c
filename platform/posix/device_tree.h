#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_tree.h"

namespace platform {

/// Called after every write to a sysfs attribute with the path written and the value. Tests
/// hook a small emulator of the kernel's reactions in here; the shipped tree has none.
using SysfsWriteHook =
    std::function<void(const std::filesystem::path& attribute, std::string_view value)>;

/// The device tree of Linux: the present PCI functions under <root>/bus/pci/devices, in the
/// order of their addresses. Each function is presented as Windows presents a PCI node:
///  - hardware IDs built from vendor, device, subsystem_vendor, subsystem_device, revision and
///    class, most specific first ("PCI\VEN_vvvv&DEV_dddd&SUBSYS_ssssvvvv&REV_rr", ...);
///  - DN_STARTED while a driver is bound; problem 22 (disabled) while unbound and blocked by
///    driver_override; problem 28 (no driver installed) while unbound otherwise;
///  - a driver key while a driver is bound or the function is blocked;
///  - stop unbinds the driver, disable blocks rebinding (driver_override "none") and unbinds,
///    enable lifts the block, start asks the kernel to probe (drivers_probe), re-enumerating
///    the root rescans the PCI bus.
/// DevInst 0 is the root; functions get stable numbers from 1 on first sight.
class SysfsDeviceTree final : public DeviceTree {
 public:
  /// The value written to driver_override to block binding: no driver has this name.
  static constexpr std::string_view kBlockingOverride = "none";

  explicit SysfsDeviceTree(std::filesystem::path root = "/sys", SysfsWriteHook afterWrite = {});
  ~SysfsDeviceTree() override;

  DeviceList GetPresentDevices() override;
  bool EnumDevice(DeviceList list, uint32_t index, DeviceRecord& record) override;
  bool ReadProperty(DeviceList list, const DeviceRecord& record, uint32_t property,
                    std::span<std::byte> buffer, uint32_t* requiredSize) override;
  bool SetStateChangeParams(DeviceList list, DeviceRecord& record,
                            const StateChangeParams& params) override;
  bool CallClassInstaller(uint32_t installFunction, DeviceList list, DeviceRecord& record) override;
  bool GetNodeStatus(uint32_t devInst, uint32_t& status, uint32_t& problem) override;
  uint32_t LocateRootNode(uint32_t& rootDevInst) override;
  uint32_t ReenumerateNode(uint32_t devInst) override;
  void DestroyList(DeviceList list) override;
  uint32_t LastError() override;
  void SetLastError(uint32_t code) override;
  std::optional<std::u16string> SystemErrorText(uint32_t code) override;

 private:
  struct List;

  List* OpenList(DeviceList list);
  bool FunctionOf(DeviceList list, const DeviceRecord& record, std::string& address);
  std::string AddressOf(uint32_t devInst);
  uint32_t DevInstOf(const std::string& address);
  std::filesystem::path FunctionDir(const std::string& address) const;
  bool Write(const std::filesystem::path& attribute, std::string_view value);
  bool Fail(uint32_t error);

  const std::filesystem::path root_;
  const SysfsWriteHook afterWrite_;
  std::mutex mutex_;
  std::vector<std::string> addresses_;  // DevInst n names addresses_[n - 1]
  std::set<List*> openLists_;
};

}  // namespace platform
