#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/debug_output.h"
#include "platform/device_tree.h"
#include "platform/user_notice.h"
#include "protocol/result_codes.h"
#include "service/service_context.h"

namespace zylservice {

/// What RunDeviceOperation does to the adapter's device node.
enum DeviceOperationMode : int32_t {
  DevOpQuery = 0,    ///< answer whether the first matching node works
  DevOpEnable = 1,   ///< enable, then start (re-enumerate and start again if a problem stays)
  DevOpDisable = 2,  ///< stop, then disable
};

/// The state changes ChangeDeviceState sends (mode 3 sends DICS_STOP). A value outside 1 to 4
/// is refused.
enum class DeviceStateChangeMode : int32_t {
  kEnable = 1,
  kDisable = 2,
  kStop = 3,
  kStart = 4,
};

// Answers of ChangeDeviceState besides kResultDone and kResultStateChangeRefused (a stop that
// left the node started).
inline constexpr int32_t kChangeParamsNotStored = 0;
inline constexpr int32_t kChangeBadMode = -103;
inline constexpr int32_t kChangeLeftProblem = -200;

/// The bindings the device-node operations use. RunDeviceOperation has a form that takes them
/// explicitly (for test hosts) and one that uses CurrentPlatform().
struct DeviceNodeBindings {
  platform::DeviceTree& deviceTree;
  platform::UserNotice& userNotice;
  platform::DebugOutput& debugOutput;
};

/// Finds the adapter among the present device nodes and runs `mode` on it. Answers 1, 2, 3,
/// 0, -101 or -102. Reads only `vendorId` and `deviceId` of the context. Uses the bindings of
/// CurrentPlatform().
int32_t RunDeviceOperation(const ServiceContext& context, int32_t mode);
int32_t RunDeviceOperation(const ServiceContext& context, int32_t mode,
                           const DeviceNodeBindings& bindings);

/// Sends one state change (mode 1 to 4) to one node of an open list and tests its outcome.
/// `deviceInfoData` is copied, never changed. Answers 1, 0, -101, -200 or -103.
int32_t ChangeDeviceState(platform::DeviceTree& tree, platform::DeviceList deviceInfoSet,
                          const platform::DeviceRecord& deviceInfoData, DeviceStateChangeMode mode);

/// Shows the thread's last error in a notice titled with the failed call's name (or, when the
/// system has no text for it, the name as the message and the code as "0x%x" as the title).
/// Leaves the last error as it found it; always answers 0.
int32_t ShowLastError(platform::DeviceTree& tree, platform::UserNotice& notice,
                      std::u16string_view operationName);

/// The fourth adapter ID, "PCI\VEN_%4X&DEV_%4X&SUBSYS_81CE104D&REV_00" filled from the context
/// (blank-padded upper-case hexadecimal, as wsprintfW formats it).
std::u16string ContextHardwareId(uint32_t vendorId, uint32_t deviceId);

/// True when the first string of a raw hardware-ID list (UTF-16LE, NUL-separated) is exactly
/// one of the four adapter IDs. Never reads past `hardwareIds`: a list without a terminator
/// ends where the data ends, and an odd last byte is ignored.
bool IsAdapterHardwareId(std::span<const std::byte> hardwareIds, const ServiceContext& context);

}  // namespace zylservice
