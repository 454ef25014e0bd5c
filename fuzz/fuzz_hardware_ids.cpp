// The adapter-ID matcher and the device-node operations over a device tree whose hardware-ID
// lists and size replies come from the fuzzer: odd sizes, missing terminators, empty lists,
// sizes that are wrong in either direction. Checked: nothing is read past the data (ASan on an
// exactly sized buffer, and the oracle against bytes left behind the data), every match decision
// agrees with the oracle, each answer is one the mode allows, every list is destroyed once, and
// the thread's last error survives the clean-up and the notices.
#include <cstdint>
#include <cstring>
#include <memory>

#include "service/device_nodes.h"
#include "support/byte_reader.h"
#include "support/fuzz_check.h"
#include "support/fuzz_device_tree.h"
#include "support/hardware_id_oracle.h"
#include "tests/fakes/debug_output.h"
#include "tests/fakes/user_notice.h"

namespace {

using namespace zylprotocol;
using zylservice::DevOpDisable;
using zylservice::DevOpEnable;
using zylservice::DevOpQuery;
using zylservice::IsAdapterHardwareId;
using zylservice::RunDeviceOperation;
using zylservice::ServiceContext;

constexpr uint32_t kDisturbedLastError = 0xBAD0BAD;

bool AllowedFor(int32_t mode, int32_t answer) {
  if (answer == kResultNoDeviceList || answer == kResultAdapterNotFound) return true;
  switch (mode) {
    case DevOpQuery:
      return answer == kResultAdapterWorks || answer == kResultAdapterHasProblem;
    case DevOpEnable:
    case DevOpDisable:
      return answer == kResultDone || answer == kResultStateChangeRefused;
    default:
      return answer == kResultDone;
  }
}

int32_t ModeFrom(ByteReader& in) {
  const uint8_t choice = in.U8();
  if (choice % 4 < 3) return choice % 4;
  const int32_t other = static_cast<int32_t>(in.U32());
  return other >= 0 && other <= 2 ? 3 : other;
}

// The matcher alone, on a heap buffer of exactly the list's size.
void CheckMatcher(ByteReader& in, uint32_t vendorId, uint32_t deviceId) {
  const auto raw = in.Bytes(in.U16() % (kMaxFuzzedIdBytes + 1));
  auto exact = std::make_unique<std::byte[]>(raw.size());
  if (!raw.empty()) std::memcpy(exact.get(), raw.data(), raw.size());
  const std::span<const std::byte> list(exact.get(), raw.size());
  const ServiceContext context{nullptr, deviceId, vendorId};
  FUZZ_CHECK(IsAdapterHardwareId(list, context) == OracleIsAdapterId(list, vendorId, deviceId),
             "the matcher and the oracle disagree");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const uint8_t setup = in.U8();
  // Mostly 16-bit IDs as the count command stores them; sometimes any 32-bit value.
  const bool wide = setup & 0x80;
  const uint32_t vendorId = wide ? in.U32() : in.U16();
  const uint32_t deviceId = wide ? in.U32() : in.U16();

  CheckMatcher(in, vendorId, deviceId);

  CheckedDeviceTree tree;
  platform::FakeUserNotice notice;
  platform::FakeDebugOutput debug;
  tree.contextIds = [vendorId, deviceId] { return std::pair{vendorId, deviceId}; };
  const int nodes = in.U8() % 6;
  for (int node = 0; node < nodes; ++node) tree.AddNode(ReadFuzzedNode(in, vendorId, deviceId));
  const uint32_t listError = (setup & 0x01) ? (in.U32() | 1) : 0;
  tree.FailListCreation(listError);
  if (setup & 0x02) tree.FailEveryClassInstallerCall();
  tree.sizeLies = in.Bytes(in.U8() % 9);
  if (setup & 0x04) tree.SetErrorText(31, u"A device attached to the system is not functioning.");
  // Whatever a notice does to the last error, the operation must put it back.
  notice.onShow = [&tree](const platform::FakeUserNotice::Notice&) {
    tree.SetLastError(kDisturbedLastError);
  };

  const ServiceContext context{nullptr, deviceId, vendorId};
  const int operations = 1 + (setup >> 4) % 3;
  for (int operation = 0; operation < operations; ++operation) {
    const int32_t mode = ModeFrom(in);
    const uint32_t errorBefore = in.U32();
    tree.SetLastError(errorBefore);
    const int destroyedBefore = tree.ListsDestroyed();

    const int32_t answer = RunDeviceOperation(context, mode, {tree, notice, debug});

    FUZZ_CHECK(AllowedFor(mode, answer), "an answer the mode does not allow");
    FUZZ_CHECK(tree.ListsCreated() == tree.ListsDestroyed() && tree.OpenLists() == 0 &&
                   tree.BadDestroys() == 0,
               "every device list is destroyed exactly once");
    if (answer == kResultNoDeviceList) {
      FUZZ_CHECK(listError != 0, "no device list although one was made");
      FUZZ_CHECK(tree.LastError() == listError, "last error kept after the list failure");
      continue;
    }
    FUZZ_CHECK(tree.ListsDestroyed() == destroyedBefore + 1, "one list per operation");
    FUZZ_CHECK(tree.LastError() == tree.lastErrorAtDestroy,
               "destroying the list changed the last error");
    if (!tree.shownBeforeDestroy.empty()) {
      FUZZ_CHECK(tree.lastErrorAtDestroy == tree.shownBeforeDestroy.back(),
                 "a notice changed the last error");
    }
  }
  return 0;
}
