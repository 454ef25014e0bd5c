#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>

#include "platform/windows_values.h"

namespace platform {

/// An open list of device nodes (HDEVINFO on Windows). Null means "no list".
using DeviceList = void*;

/// The enumeration record of one device node, laid out as SP_DEVINFO_DATA in a 64-bit process
/// (32 bytes). The core reads only `devInst`; the rest belongs to the binding.
struct DeviceRecord {
  uint32_t cbSize = sizeof(DeviceRecord);
  uint8_t classGuid[16] = {};
  uint32_t devInst = 0;  ///< names the node for the configuration-manager calls
  uintptr_t reserved = 0;
};
static_assert(sizeof(DeviceRecord) == 32, "DeviceRecord mirrors SP_DEVINFO_DATA");
static_assert(std::is_trivially_copyable_v<DeviceRecord>);

/// The state-change parameters, laid out as SP_PROPCHANGE_PARAMS (20 bytes): the class-install
/// header (cbSize, InstallFunction) followed by StateChange, Scope and HwProfile.
struct StateChangeParams {
  uint32_t headerSize = 8;  ///< sizeof(SP_CLASSINSTALL_HEADER)
  uint32_t installFunction = 0;
  uint32_t stateChange = 0;
  uint32_t scope = 0;
  uint32_t hwProfile = 0;
};
static_assert(sizeof(StateChangeParams) == 20, "StateChangeParams mirrors SP_PROPCHANGE_PARAMS");
static_assert(std::is_trivially_copyable_v<StateChangeParams>);

/// The device-installation and configuration-manager calls that the device-node operations
/// make, one method per call and nothing more: the matching, retries, mode sequences and
/// clean-up live in the core. Failures set the calling thread's last error, as on Windows.
/// Thread-compatible: one device operation runs at a time.
class DeviceTree {
 public:
  virtual ~DeviceTree() = default;

  /// SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES): every present
  /// device node. Null on failure, with the last error set. Released with DestroyList.
  virtual DeviceList GetPresentDevices() = 0;

  /// SetupDiEnumDeviceInfo: fills `record` while `index` names a node; false after the last.
  virtual bool EnumDevice(DeviceList list, uint32_t index, DeviceRecord& record) = 0;

  /// SetupDiGetDeviceRegistryPropertyW into `buffer` (which may be empty). True with the data
  /// copied; otherwise false with the last error ERROR_INSUFFICIENT_BUFFER (the size needed in
  /// bytes stored through `requiredSize` when given), ERROR_INVALID_DATA (no such property) or
  /// another code. On success `requiredSize`, when given, receives the size of the data.
  virtual bool ReadProperty(DeviceList list, const DeviceRecord& record, uint32_t property,
                            std::span<std::byte> buffer, uint32_t* requiredSize) = 0;

  /// SetupDiSetClassInstallParamsW with the 20-byte parameters on `record` (a copy of the
  /// node's record): true when they are stored for the next class-installer call.
  virtual bool SetStateChangeParams(DeviceList list, DeviceRecord& record,
                                    const StateChangeParams& params) = 0;

  /// SetupDiCallClassInstaller: carries out what the stored parameters ask for.
  virtual bool CallClassInstaller(uint32_t installFunction, DeviceList list,
                                  DeviceRecord& record) = 0;

  /// CM_Get_DevNode_Status(flags 0): true (CR_SUCCESS) with the status bits and problem
  /// number written. The outputs may be left unwritten even on success, so callers set them
  /// first.
  virtual bool GetNodeStatus(uint32_t devInst, uint32_t& status, uint32_t& problem) = 0;

  /// CM_Locate_DevNodeW(no device ID, CM_LOCATE_DEVNODE_NORMAL): the root node. Answers the
  /// CONFIGRET (0 is success).
  virtual uint32_t LocateRootNode(uint32_t& rootDevInst) = 0;

  /// CM_Reenumerate_DevNode(CM_REENUMERATE_NORMAL): enumerates the tree below the node again.
  /// Answers the CONFIGRET.
  virtual uint32_t ReenumerateNode(uint32_t devInst) = 0;

  /// SetupDiDestroyDeviceInfoList.
  virtual void DestroyList(DeviceList list) = 0;

  /// GetLastError / SetLastError of the calling thread.
  virtual uint32_t LastError() = 0;
  virtual void SetLastError(uint32_t code) = 0;

  /// FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, no source,
  /// the code, language 0x400): the system's text of an error code, or nothing when the
  /// system has none. The binding releases what the system allocated.
  virtual std::optional<std::u16string> SystemErrorText(uint32_t code) = 0;
};

/// The machine's real device tree (defined by the win32 or posix binding).
DeviceTree& SystemDeviceTree();

}  // namespace platform
