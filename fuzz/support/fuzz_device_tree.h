#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "support/byte_reader.h"
#include "tests/fakes/device_tree.h"

/// The largest hardware-ID list a fuzzed node carries, and the most a lying size reply adds:
/// big enough for odd and oversized lists, small enough to keep runs fast.
inline constexpr std::size_t kMaxFuzzedIdBytes = 4096;
inline constexpr uint32_t kMaxSizeLie = 64 * 1024;

/// One device node described by fuzzer bytes: a hardware-ID list that is absent, one of the
/// adapter IDs, a near miss of one, or raw bytes (odd sizes, no terminator, empty); and the
/// node's scripted behaviour. `vendorId`/`deviceId` feed the context-built ID.
platform::FakeDeviceNode ReadFuzzedNode(ByteReader& in, uint32_t vendorId, uint32_t deviceId);

/// The in-memory tree with two additions for fuzzing:
///  - hardware-ID size replies may lie, as a changing or careless system might (bounded, and
///    only a few times, so every read ends), and a successful read leaves non-zero bytes behind
///    the data, so that a core reading past what was filled picks a different answer;
///  - every match decision of the core is checked against the oracle: a node whose first ID is
///    an adapter ID must have its driver key read next, and no other node may.
/// Also keeps the last error seen when a list is destroyed and the codes shown to the user.
class CheckedDeviceTree : public platform::FakeDeviceTree {
 public:
  /// Where the context's identifiers are read at the time of a match decision.
  std::function<std::pair<uint32_t, uint32_t>()> contextIds;
  /// Size lies, one byte per hardware-ID reply, consumed in order (0: the truth).
  std::vector<uint8_t> sizeLies;

  bool EnumDevice(platform::DeviceList list, uint32_t index,
                  platform::DeviceRecord& record) override;
  bool ReadProperty(platform::DeviceList list, const platform::DeviceRecord& record,
                    uint32_t property, std::span<std::byte> buffer,
                    uint32_t* requiredSize) override;
  void DestroyList(platform::DeviceList list) override;
  std::optional<std::u16string> SystemErrorText(uint32_t code) override;

  /// The last error when the most recent list was destroyed.
  uint32_t lastErrorAtDestroy = 0;
  /// Codes shown since the last list was destroyed.
  std::vector<uint32_t> shownCodes;
  /// Codes shown during the walk that ended with the most recent destroy.
  std::vector<uint32_t> shownBeforeDestroy;

 private:
  struct Decision {
    uint32_t devInst;
    bool match;
  };
  int NextLie();
  void ExpectNoPendingMatch();

  std::size_t nextLie_ = 0;
  std::optional<Decision> pending_;
};
