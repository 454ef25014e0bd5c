// The library's exports called in any order, over a fake service manager scripted by the
// fuzzer between the calls: any call of it failing with a chosen code (the service existing,
// already running, a bad driver, access denied, ...), the device missing, present or following
// the service, services already in place, other architectures, host paths too long for the
// driver path. Checked after every call: the answer is one the export documents, and agrees
// with the state (QV_SetWindowMessage -12 before -13, fnQVACS 42, QV_ExitLibrary -101 exactly
// when CurrentStatus is set and then nothing touched, QV_InitLibrary's answer is the last-error
// value and says whether the device is open, the scans agree with the oracle); the last-error
// value is one of 0, 1, -2, -3, -5, -6 and only QV_InitLibrary changes it; every service-manager
// handle and system library is released before the call answers, no handle is closed twice,
// and the one device handle is open exactly while the object holds it. After a final
// QV_ExitLibrary nothing stays open but the device of an object left in place; LeakSanitizer
// sees the rest. ZYL_FUZZ_TRACE=1 prints each call and its answer.
//
// Input, read front to back (zeros past the end):
//   u8 setup: bits 0-1 architecture (0 x64, 1 x86, 2 GetNativeSystemInfo missing, 3 ARM64);
//             bit 2 the bus also holds a run of 20 adapters; bits 3-4 the device
//             (0, 3 follows the service, 1 always there, 2 missing)
//   then up to 48 calls, each a u8: low nibble the call, high nibble `a` its small argument
//     0, 15 QV_InitLibrary        1 QV_ExitLibrary        2 QV_GetLastError
//     3 QV_SetWindowMessage (a bit 0: a window; bit 1: a message, a u32 follows)
//     4 QV_GetPciDeviceCount (search a % 6)   5 QV_GetPciCommandReg (search a % 6, i8 index)
//     6 fnQVACS     7 CurrentStatus = a - 8 (a 15: a u32 follows)
//     8 fail service-manager call a % 10 with an error (u8, see ErrorFrom)   9 stop failing it
//     10 fail the start of "qvzyl64" (a even) or "qvzyl" with an error
//     11 device mode a % 3       12 architecture a % 4
//     13 put service a & 1 in place, state (a >> 1) % 3, path "elsewhere"
//     14 host executable path a % 4 (usual, too long, unknown, at the edge of 260)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>

#include "hwaccess/library_state.h"
#include "hwaccess/qvzyl.h"
#include "support/byte_reader.h"
#include "support/fuzz_check.h"
#include "support/fuzz_hw_platform.h"
#include "support/pci_scan_oracle.h"

namespace {

using platform::FakeDriverManager;
using Operation = FakeDriverManager::Operation;
using ServiceState = FakeDriverManager::ServiceState;

constexpr int kMaxCalls = 48;
// A full scan costs some 130,000 port transfers; more than a few per input only slows the
// fuzzer down without reaching new states.
constexpr int kMaxScans = 2;
constexpr int32_t kUntouched = static_cast<int32_t>(0xA5A5A5A5);

constexpr uint32_t kAdapterId = 0x1234ABCD;
constexpr uint32_t kAdapterSubsys = 0x00017A1B;
constexpr uint32_t kOtherId = 0x0D578086;

struct Search {
  int32_t id;
  int32_t subsystem;
};
constexpr Search kSearches[] = {
    {static_cast<int32_t>(kAdapterId), 0},
    {static_cast<int32_t>(kAdapterId), static_cast<int32_t>(kAdapterSubsys)},
    {0, static_cast<int32_t>(kAdapterSubsys)},
    {0, 0},
    {static_cast<int32_t>(kOtherId), 0},
    {-1, 0},
};

const char* const kServiceNames[] = {"qvzyl64", "qvzyl"};

uint32_t ErrorFrom(ByteReader& in) {
  static constexpr uint32_t kErrors[] = {platform::kErrorServiceExists,
                                         platform::kErrorServiceAlreadyRunning,
                                         platform::kErrorBadDriver,
                                         platform::kErrorAccessDenied,
                                         platform::kErrorFileNotFound,
                                         platform::kErrorSharingViolation,
                                         platform::kErrorServiceDoesNotExist,
                                         platform::kErrorServiceNotActive,
                                         platform::kErrorServiceMarkedForDelete,
                                         platform::kErrorInvalidHandle,
                                         0};
  const uint8_t choice = in.U8();
  return choice < std::size(kErrors) ? kErrors[choice] : in.U32();
}

std::optional<uint16_t> ArchitectureFrom(unsigned choice) {
  switch (choice % 4) {
    case 0:
      return platform::kProcessorArchitectureAmd64;
    case 1:
      return uint16_t{0};  // x86
    case 2:
      return std::nullopt;
    default:
      return uint16_t{12};  // ARM64: not x64, so the short name
  }
}

std::string HostPathFrom(unsigned choice) {
  switch (choice % 4) {
    case 0:
      return "C:\\Program Files\\Tavik\\VokZylControl.exe";
    case 1:
      return "C:\\" + std::string(300, 'a') + "\\VokZylControl.exe";
    case 2:
      return "";
    default:
      // The driver path is 260 characters with "qvzyl64" (too long by one), 258 with "qvzyl".
      return "C:\\" + std::string(244, 'd') + "\\x.exe";
  }
}

void BuildBus(HwFakes& fakes, OracleBus& oracle, bool runOfAdapters) {
  const auto add = [&](unsigned bus, unsigned device, unsigned function, uint32_t id,
                       uint32_t subsystem, uint32_t command) {
    fakes.bus.AddFunction(bus, device, function, id, subsystem, command);
    oracle.functions[OracleBus::Key(bus, device, function)] = {id, subsystem, command};
  };
  add(0, 3, 0, kOtherId, 0, 0x07);
  add(0, 3, 2, kAdapterId, kAdapterSubsys, 0x0146);
  add(0, 9, 0, 0, kAdapterSubsys, 0x0003);
  add(4, 1, 0, kAdapterId, 0x22223333, 0x0002);
  add(4, 1, 1, kAdapterId, kAdapterSubsys, 0x0006);
  if (runOfAdapters) {
    for (unsigned device = 0; device < 20; ++device) {
      add(1, device, 0, kAdapterId, kAdapterSubsys, 0x0100 | device);
    }
  }
}

bool LastErrorAllowed(int32_t value) {
  return value == 0 || value == kQvSuccess || value == kQvDeviceMissing ||
         value == kQvDriverFailed || value == kQvDeviceMissing64 || value == kQvDriverFailed64;
}

int CallsContaining(const FakeDriverManager& manager, std::size_t from, const char* text) {
  int n = 0;
  const auto& calls = manager.calls();
  for (std::size_t i = from; i < calls.size(); ++i) {
    n += calls[i].find(text) != std::string::npos;
  }
  return n;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class ExportsRun {
 public:
  ExportsRun(HwFakes& fakes, const OracleBus& oracle) : fakes_(fakes), oracle_(oracle) {}

  CQVACS* Object() const { return hwaccess::State().object; }
  bool DeviceHeld() const {
    return Object() != nullptr && CQVACSAccess::Device(*Object()) != nullptr;
  }

  // What every call must leave behind, whatever it was.
  void CheckBooks() const {
    const FakeDriverManager& manager = fakes_.manager;
    FUZZ_CHECK(manager.OpenManagerCount() == 0, "the service manager is closed before answering");
    FUZZ_CHECK(manager.OpenServiceCount() == 0, "every service handle is closed before answering");
    FUZZ_CHECK(manager.LoadedLibraryCount() == 0, "the system library is freed before answering");
    FUZZ_CHECK(manager.BadHandleCount() == 0, "no handle is used after its close or closed twice");
    FUZZ_CHECK(manager.OpenDeviceCount() == (DeviceHeld() ? 1 : 0),
               "the device is open exactly while the object holds it");
    FUZZ_CHECK(LastErrorAllowed(QV_GetLastError()), "the last-error value is 0, 1, -2, -3, -5, -6");
  }

  void Init() {
    fakes_.debug.Clear();
    const std::size_t callsBefore = fakes_.manager.calls().size();
    const int32_t answer = QV_InitLibrary();
    Trace("QV_InitLibrary", answer);
    const std::string& said = fakes_.debug.Narrow();
    FUZZ_CHECK(answer == kQvSuccess || answer == kQvNoObject || answer == kQvDeviceMissing ||
                   answer == kQvDriverFailed || answer == kQvDeviceMissing64 ||
                   answer == kQvDriverFailed64,
               "QV_InitLibrary answers 1, -1, -2, -3, -5 or -6");
    FUZZ_CHECK(CQVACS::CurrentStatus == 0, "QV_InitLibrary clears CurrentStatus");
    FUZZ_CHECK(said.find("QV_InitLibrary------------->\n") != std::string::npos,
               "QV_InitLibrary opens its bracket");
    if (answer == kQvNoObject) {
      FUZZ_CHECK(Object() == nullptr, "-1 only without an object");
      return;
    }
    FUZZ_CHECK(Object() != nullptr, "an object after QV_InitLibrary");
    FUZZ_CHECK(QV_GetLastError() == answer, "QV_InitLibrary answers the last-error value");
    FUZZ_CHECK(DeviceHeld() == (answer == kQvSuccess), "1 exactly when the device is open");
    FUZZ_CHECK(EndsWith(said, "<-------------QV_InitLibrary\n") == (answer == kQvSuccess),
               "the closing bracket exactly on success");
    const int opens = CallsContaining(fakes_.manager, callsBefore, "CreateFileA");
    if (EndsWith(said, "ManageQVDriver Err")) {
      FUZZ_CHECK(answer == kQvDriverFailed || answer == kQvDriverFailed64,
                 "a rejected driver answers -3 or -6");
      FUZZ_CHECK(opens == 0, "a rejected driver is not opened");
    } else {
      FUZZ_CHECK(opens == 1, "otherwise the device open is tried once");
    }
  }

  void Exit() {
    const int32_t status = CQVACS::CurrentStatus;
    CQVACS* before = Object();
    const bool heldBefore = DeviceHeld();
    const int32_t lastError = QV_GetLastError();
    const std::size_t callsBefore = fakes_.manager.calls().size();
    const int32_t answer = QV_ExitLibrary();
    Trace("QV_ExitLibrary", answer);
    FUZZ_CHECK(QV_GetLastError() == lastError, "QV_ExitLibrary leaves the last-error value");
    if (status != 0 || before == nullptr) {
      FUZZ_CHECK(answer == (status != 0 ? kQvExitRefused : kQvNoObject),
                 "-101 exactly when CurrentStatus is set, else -1 without an object");
      FUZZ_CHECK(fakes_.manager.calls().size() == callsBefore && Object() == before &&
                     DeviceHeld() == heldBefore,
                 "a refused exit touches nothing");
      return;
    }
    FUZZ_CHECK(answer == kQvSuccess || answer == kQvServiceNotDeleted,
               "QV_ExitLibrary answers 1 or -4 with an object");
    FUZZ_CHECK(!DeviceHeld(), "the device is closed by every exit that goes ahead");
    if (answer == kQvSuccess) {
      FUZZ_CHECK(Object() == nullptr, "a successful exit releases the object");
      const FakeDriverManager::Service* service =
          fakes_.manager.FindService(hwaccess::State().driverName);
      FUZZ_CHECK(service == nullptr || service->markedForDelete,
                 "a successful exit leaves the driver service deleted");
    } else {
      FUZZ_CHECK(Object() == before, "-4 leaves the object in place");
    }
  }

  void SetWindowMessage(bool window, uint32_t message) {
    const int32_t answer =
        QV_SetWindowMessage(window ? reinterpret_cast<void*>(0x4A110) : nullptr, message);
    Trace("QV_SetWindowMessage", answer);
    FUZZ_CHECK(answer == (!window        ? kQvNoWindow
                          : message == 0 ? kQvNoMessage
                                         : kQvSuccess),
               "QV_SetWindowMessage: -12 for no window first, then -13 for no message, else 1");
  }

  void DeviceCount(const Search& search) {
    if (!MayScan()) return;
    int32_t count = kUntouched;
    int32_t found = kUntouched;
    const int32_t answer = QV_GetPciDeviceCount(search.id, search.subsystem, &count, &found);
    Trace("QV_GetPciDeviceCount", answer);
    FUZZ_CHECK(answer == kQvSuccess, "QV_GetPciDeviceCount answers 1");
    const OracleScan expected = Expected(search);
    FUZZ_CHECK(count == expected.count, "the count is the oracle's (0 without an object)");
    FUZZ_CHECK(
        found == (expected.foundIdWritten ? static_cast<int32_t>(expected.foundId) : kUntouched),
        "the found-ID as the oracle has it");
  }

  void CommandReg(const Search& search, int32_t index) {
    if (!MayScan()) return;
    int32_t command = kUntouched;
    const int32_t answer = QV_GetPciCommandReg(search.id, search.subsystem, index, &command);
    Trace("QV_GetPciCommandReg", answer);
    const OracleScan expected = Expected(search);
    if (index < 0 || index >= expected.Recorded()) {
      FUZZ_CHECK(answer == kQvIndexOutOfRange && command == kUntouched,
                 "-11 with the out untouched outside the recorded matches");
    } else {
      FUZZ_CHECK(answer == kQvSuccess, "1 for a recorded match");
      FUZZ_CHECK(command == expected.matches[static_cast<std::size_t>(index)].command,
                 "the command byte of that match");
    }
  }

  void Version() {
    const int32_t answer = fnQVACS();
    Trace("fnQVACS", answer);
    FUZZ_CHECK(answer == 42, "fnQVACS answers 42");
  }

  void LastError() {
    const int32_t answer = QV_GetLastError();
    Trace("QV_GetLastError", answer);
    FUZZ_CHECK(LastErrorAllowed(answer), "the last-error value is 0, 1, -2, -3, -5, -6");
  }

  // After a final QV_ExitLibrary only the device of an object left in place may stay open.
  void CheckEnd() const {
    CheckBooks();
    FUZZ_CHECK(fakes_.manager.OpenHandleCount() == (DeviceHeld() ? 1 : 0),
               "after the last exit nothing is open but the device of an object left in place");
  }

 private:
  bool MayScan() {
    if (Object() == nullptr) return true;  // no object, no scan: free
    return scans_++ < kMaxScans;
  }

  OracleScan Expected(const Search& search) const {
    if (Object() == nullptr) return OracleScan{};
    OracleBus bus = oracle_;
    bus.hasDevice = DeviceHeld();
    return OracleSearch(bus, static_cast<uint32_t>(search.id),
                        static_cast<uint32_t>(search.subsystem));
  }

  void Trace(const char* call, int32_t answer) const {
    static const bool trace = std::getenv("ZYL_FUZZ_TRACE") != nullptr;
    if (trace) {
      std::fprintf(stderr, "%s -> %d (last-error %d, object %s)\n", call, answer, QV_GetLastError(),
                   Object() == nullptr ? "none"
                   : DeviceHeld()      ? "with device"
                                       : "without device");
    }
  }

  HwFakes& fakes_;
  const OracleBus& oracle_;
  int scans_ = 0;
};

void Script(HwFakes& fakes, ByteReader& in, unsigned call, unsigned a) {
  FakeDriverManager& manager = fakes.manager;
  switch (call) {
    case 8:
      manager.FailWith(static_cast<Operation>(a % 10), ErrorFrom(in));
      break;
    case 9:
      manager.ClearFailure(static_cast<Operation>(a % 10));
      break;
    case 10:
      manager.FailStartOf(kServiceNames[a & 1], ErrorFrom(in));
      break;
    case 11:
      manager.SetDeviceMode(static_cast<FakeDriverManager::DeviceMode>(a % 3));
      break;
    case 12:
      manager.SetNativeArchitecture(ArchitectureFrom(a));
      break;
    case 13:
      manager.AddService(kServiceNames[a & 1], static_cast<ServiceState>((a >> 1) % 3),
                         "D:\\elsewhere\\driver.sys");
      break;
    case 14:
      manager.SetHostExecutablePath(HostPathFrom(a));
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const uint8_t setup = in.U8();

  HwFakes fakes;
  StartHwInput(fakes);
  fakes.manager.SetNativeArchitecture(ArchitectureFrom(setup & 3));
  const unsigned deviceMode = setup >> 3 & 3;
  fakes.manager.SetDeviceMode(deviceMode == 3
                                  ? FakeDriverManager::DeviceMode::kFollowsService
                                  : static_cast<FakeDriverManager::DeviceMode>(deviceMode));
  OracleBus oracle;
  BuildBus(fakes, oracle, (setup & 0x04) != 0);

  ExportsRun run(fakes, oracle);
  for (int n = 0; n < kMaxCalls && in.Remaining() > 0; ++n) {
    const uint8_t op = in.U8();
    const unsigned call = op & 0x0F;
    const unsigned a = op >> 4;
    switch (call) {
      case 0:
      case 15:
        run.Init();
        break;
      case 1:
        run.Exit();
        break;
      case 2:
        run.LastError();
        break;
      case 3:
        run.SetWindowMessage((a & 1) != 0, (a & 2) != 0 ? in.U32() : 0);
        break;
      case 4:
        run.DeviceCount(kSearches[a % std::size(kSearches)]);
        break;
      case 5:
        run.CommandReg(kSearches[a % std::size(kSearches)], static_cast<int8_t>(in.U8()));
        break;
      case 6:
        run.Version();
        break;
      case 7:
        CQVACS::CurrentStatus = a == 15 ? static_cast<int32_t>(in.U32()) : static_cast<int>(a) - 8;
        break;
      default:
        Script(fakes, in, call, a);
        break;
    }
    run.CheckBooks();
  }
  run.Exit();
  run.CheckEnd();

  EndHwInput();
  return 0;
}
