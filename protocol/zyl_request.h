#pragma once

#include <cstddef>
#include <cstdint>

namespace zylprotocol {

/// The request and reply record of the command pipe: 24 bytes, little-endian, no padding, the
/// same layout in both directions.
struct ZylRequest {
  uint32_t command;      ///< command code 0..4; the only field the pipe server examines
  uint32_t matchId;      ///< PCI ID dword to match (vendor bits 0-15, device bits 16-31)
  uint32_t matchSubsys;  ///< PCI subsystem dword to match; 0 means no subsystem test
  uint32_t count;        ///< command 1: matches found (out); command 2: match index (in)
  int32_t result;        ///< result code, written by every command
  uint16_t foundVendor;  ///< command 1: vendor ID of the function found by subsystem (out)
  uint16_t foundDevice;  ///< command 1: device ID of that function (out)
};

static_assert(sizeof(ZylRequest) == 24, "ZylRequest is a 24-byte wire record");
static_assert(offsetof(ZylRequest, command) == 0);
static_assert(offsetof(ZylRequest, matchId) == 4);
static_assert(offsetof(ZylRequest, matchSubsys) == 8);
static_assert(offsetof(ZylRequest, count) == 12);
static_assert(offsetof(ZylRequest, result) == 16);
static_assert(offsetof(ZylRequest, foundVendor) == 20);
static_assert(offsetof(ZylRequest, foundDevice) == 22);

/// The command codes.
enum ZylCommand : uint32_t {
  ZylCmdLoadLibrary = 0,
  ZylCmdCountDevices = 1,
  ZylCmdQueryState = 2,
  ZylCmdDisable = 3,
  ZylCmdEnable = 4,
};
inline constexpr uint32_t kZylCommandCount = 5;

}  // namespace zylprotocol
