// The configuration scan over a simulated bus whose functions come from the fuzzer: any number
// of them, multi-function devices, the wanted ID on several functions of a device, all-ones
// IDs, subsystem matches, runs of identical devices that overflow the 16-entry table; and the
// search ID, subsystem and indexes from the fuzzer too, also on an object without a device.
// Each scan (SearchPCIConfig directly, QV_GetPciDeviceCount, QV_GetPciCommandReg) is checked
// against the oracle: the count, the table (the first min(count, 16) entries as the oracle
// has them, every other byte still 0xFF; ASan guards the array's ends), the found-ID out
// (written only by subsystem-only matches), QV_GetPciCommandReg's -11 exactly outside
// 0..min(count, 16)-1 with the out untouched, and the number of port transfers.
// ZYL_FUZZ_TRACE=1 prints each input's search and the oracle's answer.
//
// Input, read front to back (zeros past the end):
//   u8  setup: bits 0-1 search mode (0 ID, 1 ID and subsystem, 2 subsystem only, 3 both 0);
//              bit 2 an object without a device; bit 3 the direct scan gets no found-ID out;
//              bit 4 skip the direct scan; bit 5 skip QV_GetPciDeviceCount
//   u32 id, u32 subsystem, u32 other id, u32 other subsystem   (the value palette)
//   u8  number of QV_GetPciCommandReg calls (0-3), then per call an i8 index (-128: a u32
//       index follows)
//   then function records to the end of the input:
//     u8 bus, u8 device << 3 | function, u8 choice, u32 command dword
//     choice bits 0-2: ID dword (0 id, 1 other id, 2 all ones, 3 zero, 4 a u32 follows,
//                      5-7 id); bits 3-5: subsystem dword, the same way;
//     bit 6: repeat on the next u8 devices (on through the buses); bit 7: on all 8 functions
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hwaccess/library_state.h"
#include "hwaccess/pci_scan.h"
#include "hwaccess/qvzyl.h"
#include "support/byte_reader.h"
#include "support/fuzz_check.h"
#include "support/fuzz_hw_platform.h"
#include "support/pci_scan_oracle.h"

namespace {

constexpr int32_t kUntouched = static_cast<int32_t>(0xA5A5A5A5);
constexpr std::size_t kMaxFunctions = 4096;
constexpr int kMaxCommandCalls = 3;

struct Palette {
  uint32_t id;
  uint32_t subsystem;
  uint32_t otherId;
  uint32_t otherSubsystem;
};

uint32_t Pick(ByteReader& in, unsigned choice, uint32_t wanted, uint32_t other) {
  switch (choice) {
    case 1:
      return other;
    case 2:
      return 0xFFFFFFFF;
    case 3:
      return 0;
    case 4:
      return in.U32();
    default:
      return wanted;
  }
}

void AddFunction(HwFakes& fakes, OracleBus& oracle, unsigned bus, unsigned device,
                 unsigned function, const OracleFunction& what) {
  if (oracle.functions.size() >= kMaxFunctions) return;
  fakes.bus.AddFunction(bus, device, function, what.id, what.subsystem, what.command);
  oracle.functions[OracleBus::Key(bus, device, function)] = what;
}

void ReadFunctions(ByteReader& in, const Palette& palette, HwFakes& fakes, OracleBus& oracle) {
  while (in.Remaining() > 0 && oracle.functions.size() < kMaxFunctions) {
    const unsigned bus = in.U8();
    const uint8_t devfn = in.U8();
    const uint8_t choice = in.U8();
    OracleFunction what;
    what.command = in.U32();
    what.id = Pick(in, choice & 7, palette.id, palette.otherId);
    what.subsystem = Pick(in, choice >> 3 & 7, palette.subsystem, palette.otherSubsystem);
    const unsigned devices = (choice & 0x40) ? 1u + in.U8() : 1u;
    const bool allFunctions = (choice & 0x80) != 0;
    unsigned at = bus * 32 + (devfn >> 3);  // device index over all buses
    for (unsigned n = 0; n < devices && at < 256 * 32; ++n, ++at) {
      if (allFunctions) {
        for (unsigned f = 0; f < 8; ++f) AddFunction(fakes, oracle, at / 32, at % 32, f, what);
      } else {
        AddFunction(fakes, oracle, at / 32, at % 32, devfn & 7, what);
      }
    }
  }
}

void CheckTable(const OracleScan& expected, const char* call) {
  const int recorded = expected.Recorded();
  for (int i = 0; i < hwaccess::kPciMatchTableSize; ++i) {
    const hwaccess::PciMatch& entry = hwaccess::PciMatchTable[i];
    if (i < recorded) {
      const OracleMatch& want = expected.matches[static_cast<std::size_t>(i)];
      FUZZ_CHECK(entry.bus == want.bus && entry.device == want.device &&
                     entry.function == want.function && entry.command == want.command,
                 call);
    } else {
      uint8_t bytes[sizeof entry];
      std::memcpy(bytes, &entry, sizeof entry);
      for (uint8_t byte : bytes) FUZZ_CHECK(byte == 0xFF, "entries past the matches stay 0xFF");
    }
  }
}

void CheckScan(HwFakes& fakes, const OracleScan& expected, int count, int32_t found,
               int32_t foundBefore, const char* call) {
  FUZZ_CHECK(count == expected.count, "the count is the oracle's");
  FUZZ_CHECK(
      found == (expected.foundIdWritten ? static_cast<int32_t>(expected.foundId) : foundBefore),
      "the found-ID is written by subsystem-only matches alone, with the last match's ID");
  CheckTable(expected, call);
  FUZZ_CHECK(fakes.bus.transfers() == expected.transfers,
             "two transfers per configuration read, the reads the rules call for");
  fakes.bus.ResetTransfers();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const uint8_t setup = in.U8();
  Palette palette{in.U32(), in.U32(), in.U32(), in.U32()};
  int32_t id = static_cast<int32_t>(palette.id);
  int32_t subsystem = static_cast<int32_t>(palette.subsystem);
  switch (setup & 3) {
    case 0:
      subsystem = 0;
      break;
    case 2:
      id = 0;
      break;
    case 3:
      id = subsystem = 0;
      break;
    default:
      break;
  }
  const int commandCalls = in.U8() % (kMaxCommandCalls + 1);
  int32_t indexes[kMaxCommandCalls] = {};
  for (int i = 0; i < commandCalls; ++i) {
    const int8_t small = static_cast<int8_t>(in.U8());
    indexes[i] = small == -128 ? static_cast<int32_t>(in.U32()) : small;
  }

  HwFakes fakes;
  StartHwInput(fakes);
  const bool withDevice = (setup & 0x04) == 0;
  fakes.manager.SetDeviceMode(withDevice ? platform::FakeDriverManager::DeviceMode::kPresent
                                         : platform::FakeDriverManager::DeviceMode::kMissing);
  const int32_t init = QV_InitLibrary();
  FUZZ_CHECK(init == (withDevice ? kQvSuccess : kQvDeviceMissing64), "the library initialises");
  CQVACS* object = hwaccess::State().object;
  FUZZ_CHECK(object != nullptr, "an object exists after QV_InitLibrary");

  OracleBus oracle;
  oracle.hasDevice = withDevice;
  ReadFunctions(in, palette, fakes, oracle);
  const OracleScan expected =
      OracleSearch(oracle, static_cast<uint32_t>(id), static_cast<uint32_t>(subsystem));
  fakes.bus.ResetTransfers();
  static const bool trace = std::getenv("ZYL_FUZZ_TRACE") != nullptr;
  if (trace) {
    std::fprintf(stderr,
                 "scan id %08X subsystem %08X over %zu functions%s: %d matches, %llu transfers\n",
                 static_cast<uint32_t>(id), static_cast<uint32_t>(subsystem),
                 oracle.functions.size(), withDevice ? "" : " without a device", expected.count,
                 static_cast<unsigned long long>(expected.transfers));
  }

  if ((setup & 0x10) == 0) {
    QVLONG found = kUntouched;
    const bool withOut = (setup & 0x08) == 0;
    const int count = object->SearchPCIConfig(id, subsystem, withOut ? &found : nullptr);
    OracleScan unwritable = expected;
    if (!withOut) unwritable.foundIdWritten = false;  // no out to write to
    CheckScan(fakes, unwritable, count, found, kUntouched, "SearchPCIConfig: the table");
  }
  if ((setup & 0x20) == 0) {
    int32_t count = kUntouched;
    int32_t found = kUntouched;
    FUZZ_CHECK(QV_GetPciDeviceCount(id, subsystem, &count, &found) == kQvSuccess,
               "QV_GetPciDeviceCount answers 1");
    CheckScan(fakes, expected, count, found, kUntouched, "QV_GetPciDeviceCount: the table");
  }
  for (int i = 0; i < commandCalls; ++i) {
    int32_t command = kUntouched;
    const int32_t answer = QV_GetPciCommandReg(id, subsystem, indexes[i], &command);
    CheckTable(expected, "QV_GetPciCommandReg: the table");
    FUZZ_CHECK(fakes.bus.transfers() == expected.transfers, "the command read scans in full");
    fakes.bus.ResetTransfers();
    if (indexes[i] < 0 || indexes[i] >= expected.Recorded()) {
      FUZZ_CHECK(answer == kQvIndexOutOfRange, "-11 outside the recorded matches");
      FUZZ_CHECK(command == kUntouched, "the command out is untouched on -11");
    } else {
      FUZZ_CHECK(answer == kQvSuccess, "1 for a recorded match");
      FUZZ_CHECK(command == expected.matches[static_cast<std::size_t>(indexes[i])].command,
                 "the command byte of that match, zero-extended");
    }
  }

  EndHwInput();
  return 0;
}
