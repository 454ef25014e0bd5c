// The Windows port channel held to the PortChannel contract under Wine, against the test
// kernel driver (tests/wine/driver) installed and started through the real driver manager
// binding, and the per-transfer exchange that only this binding has.
#include "contract/port_channel_contract.h"

#include <windows.h>

#include <string>
#include <vector>

#include "platform/driver_manager.h"

namespace {

constexpr char kServiceName[] = "qvzyl_contract";
constexpr uint16_t kTransferCounterPort = 0xCF0;  // the test driver's count of transfers

// The test driver's bus: HKLM\Software\QvzylTestBus "Functions", 260 bytes a function.
bool WriteTopology() {
  std::vector<uint8_t> records;
  for (const auto& f : zyltest::kContractBus) {
    std::vector<uint8_t> record(260, 0);
    record[0] = f.bus;
    record[1] = f.device;
    record[2] = f.function;
    const auto put = [&](unsigned reg, uint32_t value) {
      for (int i = 0; i < 4; ++i) record[4 + reg + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put(0x00, f.id);
    put(0x04, f.command);
    put(0x2C, f.subsystem);
    records.insert(records.end(), record.begin(), record.end());
  }
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\QvzylTestBus", L"Functions", REG_BINARY,
                         records.data(), records.size()) == ERROR_SUCCESS;
}

// Installs and starts the test driver once for the whole program; the prefix is thrown away.
platform::Handle TestDriverDevice() {
  static platform::Handle device = []() -> platform::Handle {
    auto& manager = platform::SystemDriverManager();
    std::string path = manager.HostExecutablePath();
    path = path.substr(0, path.rfind('\\')) + "\\wine\\qvzyl64.sys";
    if (!WriteTopology()) return nullptr;
    platform::Handle scm = manager.OpenManager(platform::kScManagerAllAccess);
    if (scm == nullptr) return nullptr;
    platform::Handle service =
        manager.CreateDriverService(scm, kServiceName, kServiceName, platform::kServiceAllAccess,
                                    platform::kServiceKernelDriver, platform::kServiceDemandStart,
                                    platform::kServiceErrorNormal, path.c_str());
    if (service == nullptr && manager.LastError() == platform::kErrorServiceExists) {
      service = manager.OpenDriverService(scm, kServiceName, platform::kServiceAllAccess);
    }
    const bool running =
        service != nullptr && (manager.StartDriverService(service) ||
                               manager.LastError() == platform::kErrorServiceAlreadyRunning);
    if (service != nullptr) manager.CloseServiceHandle(service);
    manager.CloseServiceHandle(scm);
    if (!running) return nullptr;
    return manager.OpenDevice("\\\\.\\QVZYLSYS", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL);
  }();
  return device;
}

class Win32PortChannelBinding {
 public:
  Win32PortChannelBinding() {
    EXPECT_NE(TestDriverDevice(), nullptr) << "the test driver did not start";
  }
  ~Win32PortChannelBinding() { CloseHandle(notADevice_); }
  platform::PortChannel& Channel() { return platform::SystemPortChannel(); }
  platform::Handle Device() { return TestDriverDevice(); }
  // An event: DeviceIoControl on it fails.
  platform::Handle NotADevice() { return notADevice_; }

 private:
  HANDLE notADevice_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

TEST(Win32PortExchangeTest, EachTransferReachesTheDriverOnceAndAFailureDoesNotWait) {
  platform::Handle device = TestDriverDevice();
  ASSERT_NE(device, nullptr);
  auto& channel = platform::SystemPortChannel();
  channel.WritePort(device, kTransferCounterPort, 0);  // resets the count
  channel.WritePort(device, platform::kPciConfigAddressPort, zyltest::PciConfigAddress(0, 0, 0, 0));
  EXPECT_EQ(channel.ReadPort(device, platform::kPciConfigDataPort), zyltest::kContractBus[0].id);
  EXPECT_EQ(channel.ReadPort(device, kTransferCounterPort), 2u);

  // A transfer that fails at once never signals its event: it is set beforehand, so the
  // 20-second wait does not run out.
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(channel.ReadPort(nullptr, platform::kPciConfigAddressPort), 0u);
  EXPECT_LT(GetTickCount64() - start, 10000u);
  EXPECT_EQ(channel.ReadPort(device, kTransferCounterPort), 2u);
}

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, PortChannelContract, Win32PortChannelBinding);
}  // namespace zyltest
