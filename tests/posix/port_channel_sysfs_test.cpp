// The sysfs port channel against a temporary sysfs-like tree: the PortChannel contract, and
// what only sysfs shows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "contract/port_channel_contract.h"
#include "hwaccess/pci_scan.h"
#include "platform/posix/port_channel.h"

namespace {

namespace fs = std::filesystem;
using hwaccess::PciConfigAddress;

void* const kDevice = reinterpret_cast<void*>(0x100);

class SysfsTree {
 public:
  SysfsTree() {
    char pattern[] = "/tmp/zyl_sysfs_XXXXXX";
    root_ = ::mkdtemp(pattern);
  }
  ~SysfsTree() { fs::remove_all(root_); }
  const std::string& root() const { return root_; }

  /// A function with the given dwords from register 0 on (64 bytes when 16 are given).
  void Add(const std::string& name, const std::vector<uint32_t>& dwords) {
    fs::create_directories(root_ + "/" + name);
    std::ofstream config(root_ + "/" + name + "/config", std::ios::binary);
    for (uint32_t value : dwords) {
      const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                             static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
      config.write(bytes, 4);
    }
  }
  void Remove(const std::string& name) { fs::remove_all(root_ + "/" + name); }
  /// Moves a function out of sight; its directory lives on, so no inode number is reused.
  void Rename(const std::string& name, const std::string& to) {
    fs::rename(root_ + "/" + name, root_ + "/" + to);
  }

 private:
  std::string root_;
};

std::vector<uint32_t> Function(uint32_t id, uint32_t command, uint32_t subsystem) {
  std::vector<uint32_t> dwords(16, 0);
  dwords[0] = id;
  dwords[1] = command;
  dwords[0x2C / 4] = subsystem;
  return dwords;
}

uint32_t ReadConfig(platform::PortChannel& channel, unsigned bus, unsigned device,
                    unsigned function, unsigned reg) {
  channel.WritePort(kDevice, platform::kPciConfigAddressPort,
                    PciConfigAddress(bus, device, function, reg));
  return channel.ReadPort(kDevice, platform::kPciConfigDataPort);
}

// The contract's bus as sysfs shows it, with what sysfs has besides: another domain and a
// directory that names no function.
class SysfsPortChannelBinding {
 public:
  SysfsPortChannelBinding() {
    for (const auto& f : zyltest::kContractBus) {
      char name[16];
      std::snprintf(name, sizeof name, "0000:%02x:%02x.%u", f.bus, f.device, f.function);
      tree_.Add(name, Function(f.id, f.command, f.subsystem));
    }
    tree_.Add("0001:00:00.1", Function(0xAAAABBBB, 0, 0));  // another domain: not reachable
    tree_.Add("not-a-function", Function(1, 2, 3));
  }
  platform::PortChannel& Channel() { return channel_; }
  platform::Handle Device() { return kDevice; }
  platform::Handle NotADevice() { return nullptr; }

 private:
  SysfsTree tree_;
  platform::SysfsPortChannel channel_{tree_.root()};
};

TEST(SysfsPortChannelTest, RegistersBeyondWhatTheFileGivesReadZero) {
  SysfsTree tree;
  tree.Add("0000:00:00.0", Function(0x0D578086, 0x00100007, 0x11112222));  // 64 bytes
  platform::SysfsPortChannel channel(tree.root());
  EXPECT_EQ(ReadConfig(channel, 0, 0, 0, 0x00), 0x0D578086u);
  EXPECT_EQ(ReadConfig(channel, 0, 0, 0, 0x40), 0u);
}

TEST(SysfsPortChannelTest, EachScanSeesTheFunctionsPresentWhenItStarts) {
  SysfsTree tree;
  tree.Add("0000:00:00.0", Function(0x0D578086, 0, 0));
  platform::SysfsPortChannel channel(tree.root(), std::chrono::hours(1));
  EXPECT_EQ(ReadConfig(channel, 0, 0, 0, 0), 0x0D578086u);
  EXPECT_EQ(ReadConfig(channel, 5, 0, 0, 0), 0xFFFFFFFFu);

  tree.Add("0000:05:00.0", Function(0x12345678, 0, 0));     // hot-plugged
  EXPECT_EQ(ReadConfig(channel, 5, 0, 0, 0), 0xFFFFFFFFu);  // mid-scan: not yet
  EXPECT_EQ(ReadConfig(channel, 0, 0, 0, 0), 0x0D578086u);  // the next scan starts
  EXPECT_EQ(ReadConfig(channel, 5, 0, 0, 0), 0x12345678u);

  // Hot-removed, and another function added at that address (its file kept open from the
  // earlier read must not answer for it); then removed for good.
  tree.Rename("0000:05:00.0", "removed");
  tree.Add("0000:05:00.0", Function(0xBEEF1234, 0, 0));
  EXPECT_EQ(ReadConfig(channel, 0, 0, 0, 0), 0x0D578086u);
  EXPECT_EQ(ReadConfig(channel, 5, 0, 0, 0), 0xBEEF1234u);
  tree.Remove("0000:05:00.0");
  EXPECT_EQ(ReadConfig(channel, 0, 0, 0, 0), 0x0D578086u);
  EXPECT_EQ(ReadConfig(channel, 5, 0, 0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(channel.listings(), 4u);

  // The scan's walk, which reads only what the map holds, starts a scan in the same way.
  tree.Add("0000:07:00.0", Function(0x12345678, 0, 0));
  EXPECT_EQ(channel.FindFunction(kDevice, 0, 65536, 0, 0x12345678), 0x0700u);
  EXPECT_EQ(channel.listings(), 5u);
  tree.Remove("0000:07:00.0");
  EXPECT_EQ(channel.FindFunction(kDevice, 0, 65536, 0, 0x12345678), 65536u);
}

TEST(SysfsPortChannelTest, KeptFilesAreReadAfreshAndFunctionsBeyondTheLimitStillAnswer) {
  SysfsTree tree;
  constexpr unsigned kFunctions = platform::SysfsPortChannel::kMaxKeptFiles + 8;
  char name[32];
  const auto nameOf = [&](unsigned i) {
    std::snprintf(name, sizeof(name), "0000:01:%02x.%x", i / 8, i % 8);
    return std::string(name);
  };
  for (unsigned i = 0; i < kFunctions; ++i) tree.Add(nameOf(i), Function(0x10000 + i, i, 0));
  platform::SysfsPortChannel channel(tree.root(), std::chrono::hours(1));
  for (int scan = 0; scan < 2; ++scan) {
    EXPECT_EQ(ReadConfig(channel, 0, 0, 0, 0), 0xFFFFFFFFu);
    for (unsigned i = 0; i < kFunctions; ++i) {
      EXPECT_EQ(ReadConfig(channel, 1, i / 8, i % 8, 0), 0x10000 + i) << nameOf(i);
      EXPECT_EQ(ReadConfig(channel, 1, i / 8, i % 8, 4), i) << nameOf(i);
    }
    // Registers change in place (the same file): a kept file reads them anew.
    tree.Add(nameOf(0), Function(0x20000, 0, 0));
    tree.Add(nameOf(kFunctions - 1), Function(0x20001, 0, 0));
    EXPECT_EQ(ReadConfig(channel, 1, 0, 0, 0), 0x20000u);
    EXPECT_EQ(ReadConfig(channel, 1, (kFunctions - 1) / 8, (kFunctions - 1) % 8, 0), 0x20001u);
    tree.Add(nameOf(0), Function(0x10000, 0, 0));
    tree.Add(nameOf(kFunctions - 1), Function(0x10000 + kFunctions - 1, kFunctions - 1, 0));
  }
}

TEST(SysfsPortChannelTest, AStaleListingIsRenewedWithoutAScanStart) {
  SysfsTree tree;
  platform::SysfsPortChannel channel(tree.root(), std::chrono::milliseconds(0));
  EXPECT_EQ(ReadConfig(channel, 1, 2, 3, 0), 0xFFFFFFFFu);
  tree.Add("0000:01:02.3", Function(0xCAFEF00D, 0, 0));
  ::usleep(2000);
  EXPECT_EQ(ReadConfig(channel, 1, 2, 3, 0), 0xCAFEF00Du);
}

TEST(SysfsPortChannelTest, AMissingSysfsHasNoFunctions) {
  platform::SysfsPortChannel channel("/nonexistent/zyl/pci");
  EXPECT_EQ(ReadConfig(channel, 0, 0, 0, 0), 0xFFFFFFFFu);
}

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Sysfs, PortChannelContract, SysfsPortChannelBinding);
}  // namespace zyltest
