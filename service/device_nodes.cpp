#include "service/device_nodes.h"

#include <algorithm>
#include <new>
#include <vector>

#include "common/hex_text.h"
#include "service/service_platform.h"

namespace zylservice {

using namespace zylprotocol;

namespace {

using Mode = DeviceStateChangeMode;

constexpr char16_t kClassDevsFailed[] = u"GetClassDevs(All Present Devices)";
constexpr char16_t kPropertyReadFailed[] = u"GetDeviceRegistryProperty";

constexpr std::u16string_view kFixedAdapterIds[] = {
    u"PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00",
    u"PCI\\VEN_1987&DEV_5000&SUBSYS_50001987&REV_01",
    u"PCI\\VEN_104D&DEV_905C&SUBSYS_81CE104D&REV_00",
};

// The fourth ID is formatted into 128 code units, as the system's formatter was given.
constexpr std::size_t kContextIdCapacity = 128;
// The driver key and the description share one buffer of 256 code units (512 bytes).
constexpr std::size_t kTextUnits = 256;
// The fallback title holds "0x" and at most eight digits in 32 code units.
constexpr std::size_t kErrorCodeTitleCapacity = 32;

/// The first NUL-terminated string of a UTF-16LE list, ending at the data's end when the
/// terminator is missing.
std::u16string FirstString(std::span<const std::byte> bytes) {
  std::u16string first;
  for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
    const auto unit = static_cast<char16_t>(std::to_integer<unsigned>(bytes[at]) |
                                            (std::to_integer<unsigned>(bytes[at + 1]) << 8));
    if (unit == u'\0') break;
    first.push_back(unit);
  }
  return first;
}

enum class HardwareIdRead { kRead, kNoProperty, kFailed };

/// Reads a node's hardware-ID list into `buffer`, growing it to the size the system asks for
/// as often as it asks. `filled` receives the number of bytes that hold data.
HardwareIdRead ReadHardwareIds(platform::DeviceTree& tree, platform::DeviceList list,
                               const platform::DeviceRecord& record, std::vector<std::byte>& buffer,
                               std::size_t& filled) {
  uint32_t required = 0;
  buffer.clear();
  while (!tree.ReadProperty(list, record, platform::kPropertyHardwareId, buffer, &required)) {
    const uint32_t error = tree.LastError();
    if (error == platform::kErrorInvalidData) return HardwareIdRead::kNoProperty;
    if (error != platform::kErrorInsufficientBuffer) return HardwareIdRead::kFailed;
    try {
      // A fresh zero-filled buffer of exactly the size asked for; the old one goes.
      std::vector<std::byte>(required).swap(buffer);
    } catch (const std::bad_alloc&) {
      // Shown like any other failed read: the box then names the real cause.
      tree.SetLastError(platform::kErrorNotEnoughMemory);
      return HardwareIdRead::kFailed;
    }
  }
  filled = std::min<std::size_t>(required, buffer.size());
  return HardwareIdRead::kRead;
}

/// The text up to its terminator, never past the buffer.
std::u16string_view TerminatedText(const std::array<char16_t, kTextUnits>& text) {
  const auto end = std::find(text.begin(), text.end(), u'\0');
  return std::u16string_view(text.data(), static_cast<std::size_t>(end - text.begin()));
}

/// Enable, then start; one re-enumeration and one more start when the first start leaves a
/// problem.
int32_t EnableNode(platform::DeviceTree& tree, platform::DeviceList list,
                   const platform::DeviceRecord& record) {
  if (ChangeDeviceState(tree, list, record, Mode::kEnable) != kResultDone) {
    return kResultStateChangeRefused;
  }
  if (ChangeDeviceState(tree, list, record, Mode::kStart) == kResultDone) return kResultDone;
  uint32_t root = 0;
  // Neither result decides anything: the second start's test does.
  tree.LocateRootNode(root);
  tree.ReenumerateNode(root);
  if (ChangeDeviceState(tree, list, record, Mode::kStart) != kResultDone) {
    return kResultStateChangeRefused;
  }
  return kResultDone;
}

/// Stop, and only once the node has really stopped, disable.
int32_t DisableNode(platform::DeviceTree& tree, platform::DeviceList list,
                    const platform::DeviceRecord& record) {
  if (ChangeDeviceState(tree, list, record, Mode::kStop) != kResultDone) {
    return kResultStateChangeRefused;
  }
  ChangeDeviceState(tree, list, record, Mode::kDisable);  // its outcome changes nothing
  return kResultDone;
}

/// The enumeration over an open list; answers every code but 0. The hardware-ID buffer lives
/// in here, so it is gone before the caller destroys the list and answers.
int32_t WalkDeviceNodes(const ServiceContext& context, int32_t mode, platform::DeviceList list,
                        const DeviceNodeBindings& bindings) {
  platform::DeviceTree& tree = bindings.deviceTree;
  bool matched = false;
  platform::DeviceRecord record;
  for (uint32_t index = 0; tree.EnumDevice(list, index, record); ++index) {
    std::vector<std::byte> hardwareIds;
    std::size_t filled = 0;
    const HardwareIdRead read = ReadHardwareIds(tree, list, record, hardwareIds, filled);
    if (read == HardwareIdRead::kNoProperty) continue;
    if (read == HardwareIdRead::kFailed) {
      ShowLastError(tree, bindings.userNotice, kPropertyReadFailed);
      break;
    }
    if (!IsAdapterHardwareId(std::span(hardwareIds).first(filled), context)) continue;

    // The adapter counts only with a driver key; its text is not used.
    std::array<char16_t, kTextUnits> text{};
    if (!tree.ReadProperty(list, record, platform::kPropertyDriver,
                           std::as_writable_bytes(std::span(text)), nullptr)) {
      return kResultAdapterNotFound;
    }
    matched = true;
    text.fill(u'\0');
    if (!tree.ReadProperty(list, record, platform::kPropertyDeviceDesc,
                           std::as_writable_bytes(std::span(text)), nullptr)) {
      text.fill(u'\0');
    }
    bindings.debugOutput.Write(TerminatedText(text));

    switch (mode) {
      case DevOpQuery: {
        uint32_t status = 0;
        uint32_t problem = 0;
        // A node whose status cannot be read is not known to work.
        if (!tree.GetNodeStatus(record.devInst, status, problem)) return kResultAdapterHasProblem;
        return problem != 0 ? kResultAdapterHasProblem : kResultAdapterWorks;
      }
      case DevOpEnable:
        if (EnableNode(tree, list, record) != kResultDone) return kResultStateChangeRefused;
        break;
      case DevOpDisable:
        if (DisableNode(tree, list, record) != kResultDone) return kResultStateChangeRefused;
        break;
      default:
        break;
    }
  }
  return matched ? kResultDone : kResultAdapterNotFound;
}

}  // namespace

std::u16string ContextHardwareId(uint32_t vendorId, uint32_t deviceId) {
  std::u16string id;
  id.reserve(kContextIdCapacity);
  id += u"PCI\\VEN_";
  // "%4X": at least four digits, blanks before fewer.
  id += common::HexText(vendorId, 4, u' ');
  id += u"&DEV_";
  id += common::HexText(deviceId, 4, u' ');
  id += u"&SUBSYS_81CE104D&REV_00";
  return id;
}

bool IsAdapterHardwareId(std::span<const std::byte> hardwareIds, const ServiceContext& context) {
  const std::u16string first = FirstString(hardwareIds);
  for (std::u16string_view id : kFixedAdapterIds) {
    if (first == id) return true;
  }
  return first == ContextHardwareId(context.vendorId, context.deviceId);
}

int32_t ShowLastError(platform::DeviceTree& tree, platform::UserNotice& notice,
                      std::u16string_view operationName) {
  const uint32_t code = tree.LastError();
  if (const auto text = tree.SystemErrorText(code)) {
    notice.Show(operationName, *text, 0);
  } else {
    std::u16string title;
    title.reserve(kErrorCodeTitleCapacity);
    title += u"0x";
    title += common::HexText(code, 0, u' ', common::HexCase::kLower);  // "%x"
    notice.Show(title, operationName, 0);
  }
  tree.SetLastError(code);
  return 0;
}

int32_t ChangeDeviceState(platform::DeviceTree& tree, platform::DeviceList deviceInfoSet,
                          const platform::DeviceRecord& deviceInfoData,
                          DeviceStateChangeMode mode) {
  uint32_t stateChange = 0;
  switch (mode) {
    case Mode::kEnable:
      stateChange = platform::kDicsEnable;
      break;
    case Mode::kDisable:
      stateChange = platform::kDicsDisable;
      break;
    case Mode::kStop:
      stateChange = platform::kDicsStop;
      break;
    case Mode::kStart:
      stateChange = platform::kDicsStart;
      break;
    default:
      return kChangeBadMode;
  }

  platform::DeviceRecord record = deviceInfoData;
  platform::StateChangeParams params;
  params.installFunction = platform::kDifPropertyChange;
  params.stateChange = stateChange;
  params.scope = platform::kDicsFlagConfigSpecific;
  params.hwProfile = 0;  // the current hardware profile
  if (!tree.SetStateChangeParams(deviceInfoSet, record, params)) return kChangeParamsNotStored;
  // A class installer that reports failure may still have made the change; nothing to test.
  if (!tree.CallClassInstaller(platform::kDifPropertyChange, deviceInfoSet, record)) {
    return kResultDone;
  }

  // The status outputs are not always written, and a failed status call proves nothing:
  // either way the change counts as not confirmed.
  uint32_t status = 0;
  uint32_t problem = 0;
  if (mode == Mode::kStop) {
    const bool known = tree.GetNodeStatus(record.devInst, status, problem);
    return !known || (status & platform::kDnStarted) != 0 ? kResultStateChangeRefused : kResultDone;
  }
  if (mode == Mode::kStart) {
    const bool known = tree.GetNodeStatus(record.devInst, status, problem);
    const bool hasProblem = (status & platform::kDnHasProblem) != 0 || problem != 0;
    return !known || hasProblem ? kChangeLeftProblem : kResultDone;
  }
  return kResultDone;
}

int32_t RunDeviceOperation(const ServiceContext& context, int32_t mode,
                           const DeviceNodeBindings& bindings) {
  platform::DeviceTree& tree = bindings.deviceTree;
  const platform::DeviceList list = tree.GetPresentDevices();
  if (list == nullptr) {
    ShowLastError(tree, bindings.userNotice, kClassDevsFailed);
    return kResultNoDeviceList;
  }
  const int32_t answer = WalkDeviceNodes(context, mode, list, bindings);
  const uint32_t lastError = tree.LastError();
  tree.DestroyList(list);
  tree.SetLastError(lastError);
  return answer;
}

int32_t RunDeviceOperation(const ServiceContext& context, int32_t mode) {
  const ServicePlatform& current = CurrentPlatform();
  // A host that has not wired the bindings gets "no device list", not a crash.
  if (current.deviceTree == nullptr || current.userNotice == nullptr ||
      current.debugOutput == nullptr) {
    return kResultNoDeviceList;
  }
  return RunDeviceOperation(context, mode,
                            {*current.deviceTree, *current.userNotice, *current.debugOutput});
}

}  // namespace zylservice
