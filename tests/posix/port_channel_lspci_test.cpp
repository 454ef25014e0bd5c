// A scan through the sysfs channel against this machine's real PCI bus (read-only), compared
// with what lspci lists.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "hwaccess/library_platform.h"
#include "hwaccess/pci_scan.h"
#include "hwaccess/qvzyl.h"
#include "platform/posix/driver_manager.h"
#include "platform/posix/port_channel.h"

namespace {

struct LspciFunction {
  unsigned bus, device, function;
  uint32_t id;
};

/// `lspci -n` lines ("BB:DD.F CCCC: VVVV:DDDD ..."), domain 0000 only; false without lspci.
bool RunLspci(std::vector<LspciFunction>* functions) {
  FILE* pipe = ::popen("lspci -n 2>/dev/null", "r");
  if (pipe == nullptr) return false;
  char line[512];
  bool any = false;
  while (std::fgets(line, sizeof(line), pipe) != nullptr) {
    any = true;
    unsigned bus, device, function, vendor, deviceId;
    if (std::sscanf(line, "%x:%x.%x %*x: %x:%x", &bus, &device, &function, &vendor, &deviceId) ==
        5) {
      functions->push_back({bus, device, function, vendor | deviceId << 16});
    }
  }
  const int status = ::pclose(pipe);
  return any && status == 0;
}

class TestableScan : public CQVACS {
 public:
  void SetDevice(void* device) { deviceHandle_ = device; }
};

TEST(LspciComparisonTest, AnIdScanFindsWhatLspciListsForEveryPresentFunction) {
  std::vector<LspciFunction> listed;
  if (!RunLspci(&listed)) GTEST_SKIP() << "lspci is not available";
  ASSERT_FALSE(listed.empty());

  platform::PosixDriverManager manager;
  platform::SysfsPortChannel channel;
  hwaccess::UseHwPlatform({&manager, &channel, &platform::SystemDebugOutput()});
  platform::Handle device = manager.OpenDevice("\\\\.\\QVZYLSYS", 3, 0, 2, 0x80);
  ASSERT_NE(device, nullptr);
  TestableScan scan;
  scan.SetDevice(device);

  // What an ID scan should find: per device, the first function carrying the ID.
  std::map<uint32_t, std::vector<std::string>> expected;
  std::set<std::pair<uint32_t, unsigned>> decided;  // (id, bus << 5 | device)
  for (const LspciFunction& f : listed) {
    if (decided.insert({f.id, f.bus << 5 | f.device}).second) {
      expected[f.id].push_back(std::to_string(f.bus) + ":" + std::to_string(f.device) + "." +
                               std::to_string(f.function));
    }
  }
  for (auto& [id, where] : expected) {
    const int count = scan.SearchPCIConfig(static_cast<QVLONG>(id), 0, nullptr);
    EXPECT_EQ(count, static_cast<int>(where.size())) << std::hex << id;
    std::vector<std::string> found;
    for (int i = 0; i < count && i < hwaccess::kPciMatchTableSize; ++i) {
      const hwaccess::PciMatch& m = hwaccess::PciMatchTable[i];
      found.push_back(std::to_string(m.bus) + ":" + std::to_string(m.device) + "." +
                      std::to_string(m.function));
    }
    where.resize(std::min<size_t>(where.size(), hwaccess::kPciMatchTableSize));
    EXPECT_EQ(found, where) << std::hex << id;
  }
  manager.CloseDevice(device);
  hwaccess::UseHwPlatform(hwaccess::DefaultHwPlatform());
}

}  // namespace
