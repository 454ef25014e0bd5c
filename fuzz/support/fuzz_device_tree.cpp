#include "support/fuzz_device_tree.h"

#include <algorithm>
#include <string>

#include "support/fuzz_check.h"
#include "support/hardware_id_oracle.h"

namespace {

std::vector<std::byte> AsBytes(const std::vector<uint8_t>& raw) {
  std::vector<std::byte> bytes(raw.size());
  std::transform(raw.begin(), raw.end(), bytes.begin(), [](uint8_t b) { return std::byte{b}; });
  return bytes;
}

// An adapter ID changed just enough to miss: a suffix, a truncation, one lower-case digit, or
// moved to second place in the list.
std::vector<std::byte> NearMiss(ByteReader& in, std::u16string id) {
  using platform::FakeDeviceTree;
  switch (in.U8() % 4) {
    case 0: {
      auto bytes = FakeDeviceTree::RawUtf16(id);
      const auto tail = AsBytes(in.Bytes(in.U8() % 16));
      bytes.insert(bytes.end(), tail.begin(), tail.end());
      return bytes;
    }
    case 1:
      id.resize(in.U8() % (id.size() + 1));
      return FakeDeviceTree::RawUtf16(id);
    case 2: {
      char16_t& unit = id[in.U8() % id.size()];
      if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
      return FakeDeviceTree::MultiSz({id});
    }
    default:
      return FakeDeviceTree::MultiSz({u"PCI\\VEN_8086&DEV_1234", id});
  }
}

uint32_t ReadErrorFrom(uint8_t choice) {
  // Mostly none; otherwise a plain failure or "no such property" (never "buffer too small",
  // which this fake would answer for ever).
  switch (choice % 8) {
    case 5:
      return platform::kErrorGenFailure;
    case 6:
      return platform::kErrorInvalidData;
    case 7:
      return platform::kErrorAccessDenied;
    default:
      return 0;
  }
}

}  // namespace

platform::FakeDeviceNode ReadFuzzedNode(ByteReader& in, uint32_t vendorId, uint32_t deviceId) {
  platform::FakeDeviceNode node;
  const uint8_t kind = in.U8() % 8;
  switch (kind) {
    case 0:
      node.hardwareIds.reset();
      break;
    case 1:
    case 2:
    case 3:
      node.hardwareIds = platform::FakeDeviceTree::MultiSz({OracleAdapterId(kind - 1, 0, 0)});
      break;
    case 4:
      node.hardwareIds =
          platform::FakeDeviceTree::MultiSz({OracleAdapterId(3, vendorId, deviceId)});
      break;
    case 5:
      node.hardwareIds = NearMiss(in, OracleAdapterId(in.U8() % 4, vendorId, deviceId));
      break;
    default:
      node.hardwareIds = AsBytes(in.Bytes(in.U16() % (kMaxFuzzedIdBytes + 1)));
      break;
  }

  const uint8_t flags = in.U8();
  if (flags & 0x01) node.driverKey.reset();
  if (flags & 0x02) node.description = u"Adapter";
  node.stopLeavesStarted = flags & 0x04;
  node.startProblemUntilReenumerated = flags & 0x08;
  node.startAlwaysLeavesProblem = flags & 0x10;
  node.classInstallerFails = flags & 0x20;
  node.statusFails = flags & 0x40;
  node.statusUnwritten = flags & 0x80;

  const uint8_t more = in.U8();
  const uint32_t changes[] = {platform::kDicsEnable, platform::kDicsDisable, platform::kDicsStart,
                              platform::kDicsStop};
  for (int bit = 0; bit < 4; ++bit) {
    if (more & (1 << bit)) node.refuseParamsFor.insert(changes[bit]);
  }
  if (more & 0x10) {
    node.status = platform::kDnHasProblem;
    node.problem = platform::kProblemFailedStart;
  }
  node.undersizedReplies = (more >> 5) & 0x3;
  if (more & 0x80) node.driverReadError = platform::kErrorNotFound;

  node.hardwareIdReadError = ReadErrorFrom(in.U8());
  return node;
}

int CheckedDeviceTree::NextLie() {
  if (nextLie_ >= sizeLies.size()) return 0;
  return sizeLies[nextLie_++];
}

void CheckedDeviceTree::ExpectNoPendingMatch() {
  if (pending_) {
    FUZZ_CHECK(!pending_->match, "an adapter node was passed over");
  }
  pending_.reset();
}

bool CheckedDeviceTree::EnumDevice(platform::DeviceList list, uint32_t index,
                                   platform::DeviceRecord& record) {
  ExpectNoPendingMatch();
  return FakeDeviceTree::EnumDevice(list, index, record);
}

bool CheckedDeviceTree::ReadProperty(platform::DeviceList list,
                                     const platform::DeviceRecord& record, uint32_t property,
                                     std::span<std::byte> buffer, uint32_t* requiredSize) {
  if (property == platform::kPropertyDriver) {
    FUZZ_CHECK(pending_ && pending_->devInst == record.devInst && pending_->match,
               "the driver key of a node that is not the adapter was read");
    pending_.reset();
  }
  if (property == platform::kPropertyHardwareId) ExpectNoPendingMatch();

  const bool read = FakeDeviceTree::ReadProperty(list, record, property, buffer, requiredSize);
  if (property != platform::kPropertyHardwareId || requiredSize == nullptr) return read;

  const int lie = NextLie();
  if (!read) {
    if (LastError() == platform::kErrorInsufficientBuffer && lie != 0) {
      // Too small or too large: the core must cope with whatever size comes back.
      const int64_t told = int64_t{*requiredSize} + (lie - 128) * 64;
      *requiredSize = static_cast<uint32_t>(std::clamp<int64_t>(told, 0, kMaxSizeLie));
    }
    return false;
  }

  // Non-zero bytes behind the data: only a read past what was filled can see them.
  const std::size_t dataSize = *requiredSize;
  std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(dataSize), buffer.end(), std::byte{0x41});
  if (lie != 0) {
    const int64_t told = int64_t{*requiredSize} + (lie - 128) * 8;
    *requiredSize = static_cast<uint32_t>(std::clamp<int64_t>(told, 0, kMaxSizeLie));
  }
  const std::size_t filled = std::min<std::size_t>(*requiredSize, buffer.size());
  const auto [vendorId, deviceId] = contextIds ? contextIds() : std::pair<uint32_t, uint32_t>{};
  pending_ = Decision{record.devInst, OracleIsAdapterId(buffer.first(filled), vendorId, deviceId)};
  return true;
}

void CheckedDeviceTree::DestroyList(platform::DeviceList list) {
  ExpectNoPendingMatch();
  lastErrorAtDestroy = LastError();
  shownBeforeDestroy = std::move(shownCodes);
  shownCodes.clear();
  FakeDeviceTree::DestroyList(list);
}

std::optional<std::u16string> CheckedDeviceTree::SystemErrorText(uint32_t code) {
  shownCodes.push_back(code);
  return FakeDeviceTree::SystemErrorText(code);
}
