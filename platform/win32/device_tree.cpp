// The device-tree calls on Windows: each method is one SetupAPI or configuration-manager call.
#include "platform/device_tree.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on

#include <cstddef>
#include <cstring>
#include <limits>

#include "platform/win32/error_text.h"
#include "platform/win32/scoped_handle.h"

namespace platform {
namespace {

static_assert(sizeof(SP_DEVINFO_DATA) == sizeof(DeviceRecord));
static_assert(offsetof(SP_DEVINFO_DATA, DevInst) == offsetof(DeviceRecord, devInst));
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == sizeof(StateChangeParams));
static_assert(offsetof(SP_PROPCHANGE_PARAMS, StateChange) ==
              offsetof(StateChangeParams, stateChange));
static_assert(offsetof(SP_PROPCHANGE_PARAMS, HwProfile) == offsetof(StateChangeParams, hwProfile));

SP_DEVINFO_DATA ToSystem(const DeviceRecord& record) {
  SP_DEVINFO_DATA data;
  std::memcpy(&data, &record, sizeof data);
  return data;
}

void FromSystem(const SP_DEVINFO_DATA& data, DeviceRecord& record) {
  std::memcpy(static_cast<void*>(&record), &data, sizeof data);
}

class Win32DeviceTree final : public DeviceTree {
 public:
  DeviceList GetPresentDevices() override {
    HDEVINFO list =
        SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    return list == INVALID_HANDLE_VALUE ? nullptr : list;
  }

  bool EnumDevice(DeviceList list, uint32_t index, DeviceRecord& record) override {
    SP_DEVINFO_DATA data = ToSystem(record);
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInfo(list, index, &data)) return false;
    FromSystem(data, record);
    return true;
  }

  bool ReadProperty(DeviceList list, const DeviceRecord& record, uint32_t property,
                    std::span<std::byte> buffer, uint32_t* requiredSize) override {
    SP_DEVINFO_DATA data = ToSystem(record);
    DWORD dataType = 0;
    DWORD required = 0;
    const auto size =
        static_cast<DWORD>(std::min<std::size_t>(buffer.size(), std::numeric_limits<DWORD>::max()));
    const BOOL read = SetupDiGetDeviceRegistryPropertyW(
        list, &data, property, requiredSize != nullptr ? &dataType : nullptr,
        reinterpret_cast<PBYTE>(buffer.data()), size,
        requiredSize != nullptr ? &required : nullptr);
    if (requiredSize != nullptr) *requiredSize = required;
    return read != FALSE;
  }

  bool SetStateChangeParams(DeviceList list, DeviceRecord& record,
                            const StateChangeParams& params) override {
    SP_DEVINFO_DATA data = ToSystem(record);
    SP_PROPCHANGE_PARAMS change;
    std::memcpy(&change, &params, sizeof change);
    const BOOL stored =
        SetupDiSetClassInstallParamsW(list, &data, &change.ClassInstallHeader, sizeof change);
    FromSystem(data, record);
    return stored != FALSE;
  }

  bool CallClassInstaller(uint32_t installFunction, DeviceList list,
                          DeviceRecord& record) override {
    SP_DEVINFO_DATA data = ToSystem(record);
    const BOOL called = SetupDiCallClassInstaller(installFunction, list, &data);
    FromSystem(data, record);
    return called != FALSE;
  }

  bool GetNodeStatus(uint32_t devInst, uint32_t& status, uint32_t& problem) override {
    // Some implementations report success without writing: keep what the caller set.
    ULONG statusBits = status;
    ULONG problemNumber = problem;
    const CONFIGRET result = CM_Get_DevNode_Status(&statusBits, &problemNumber, devInst, 0);
    if (result != CR_SUCCESS) return false;
    status = statusBits;
    problem = problemNumber;
    return true;
  }

  uint32_t LocateRootNode(uint32_t& rootDevInst) override {
    DEVINST root = rootDevInst;
    const CONFIGRET result = CM_Locate_DevNodeW(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL);
    rootDevInst = root;
    return result;
  }

  uint32_t ReenumerateNode(uint32_t devInst) override {
    return CM_Reenumerate_DevNode(devInst, CM_REENUMERATE_NORMAL);
  }

  void DestroyList(DeviceList list) override { SetupDiDestroyDeviceInfoList(list); }

  uint32_t LastError() override { return ::GetLastError(); }
  void SetLastError(uint32_t code) override { ::SetLastError(code); }

  std::optional<std::u16string> SystemErrorText(uint32_t code) override {
    return win32::SystemErrorText(code);
  }
};

}  // namespace

DeviceTree& SystemDeviceTree() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new Win32DeviceTree();
  return *instance;
}

}  // namespace platform
