#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/device_tree.h"
#include "posix/support/device_sysfs_emulator.h"
#include "service/device_nodes.h"

namespace {

using namespace zylprotocol;
using zylservice::DevOpDisable;
using zylservice::DevOpEnable;
using zylservice::DevOpQuery;
using zylservice::RunDeviceOperation;
using zylservice::ServiceContext;

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kAdapter[] = "0000:03:00.0";

class RecordingNotice : public platform::UserNotice {
 public:
  void Show(std::u16string_view caption, std::u16string_view, uint32_t) override {
    captions.emplace_back(caption);
  }
  std::vector<std::u16string> captions;
};

class NullDebugOutput : public platform::DebugOutput {
 public:
  void Write(std::u16string_view text) override { texts.emplace_back(text); }
  void WriteNarrow(std::string_view) override {}
  std::vector<std::u16string> texts;
};

std::vector<std::u16string> SplitMultiSz(const std::vector<std::byte>& bytes) {
  std::vector<std::u16string> strings(1);
  for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
    const auto unit = static_cast<char16_t>(std::to_integer<unsigned>(bytes[at]) |
                                            (std::to_integer<unsigned>(bytes[at + 1]) << 8));
    if (unit == u'\0') {
      strings.emplace_back();
    } else {
      strings.back().push_back(unit);
    }
  }
  return strings;
}

class SysfsDeviceTreeTest : public ::testing::Test {
 protected:
  SysfsDeviceTreeTest() : tree(sysfs.Root(), sysfs.Hook()) {}

  void TearDown() override { EXPECT_EQ(sysfs.StrayWrites(), 0); }

  static EmulatedPciFunction Adapter() { return EmulatedAdapter(); }

  static EmulatedPciFunction Bridge(const std::string& address) {
    EmulatedPciFunction function;
    function.address = address;
    function.vendor = 0x8086;
    function.device = 0x0d57;
    function.classCode = 0x060400;
    function.revision = 0x02;
    function.driver = "pcieport";
    return function;
  }

  /// Reads a property through the size dance, as the core does; the last error survives.
  std::optional<std::vector<std::byte>> Read(const std::string& address, uint32_t property) {
    const uint32_t index = Index(address);
    platform::DeviceList list = tree.GetPresentDevices();
    platform::DeviceRecord record;
    EXPECT_TRUE(tree.EnumDevice(list, index, record));
    std::vector<std::byte> buffer;
    uint32_t size = 0;
    bool read = false;
    while (!(read = tree.ReadProperty(list, record, property, buffer, &size)) &&
           tree.LastError() == platform::kErrorInsufficientBuffer) {
      buffer.assign(size, std::byte{0});
    }
    const uint32_t error = tree.LastError();
    tree.DestroyList(list);
    tree.SetLastError(error);
    if (!read) return std::nullopt;
    return buffer;
  }

  uint32_t Index(const std::string& address) {
    platform::DeviceList list = tree.GetPresentDevices();
    platform::DeviceRecord record;
    uint32_t found = UINT32_MAX;
    for (uint32_t index = 0; tree.EnumDevice(list, index, record); ++index) {
      std::vector<std::byte> buffer(512);
      uint32_t size = 0;
      tree.ReadProperty(list, record, platform::kPropertyDeviceDesc, buffer, &size);
      const auto text = SplitMultiSz(buffer)[0];
      if (text.ends_with(std::u16string(address.begin(), address.end()))) found = index;
    }
    tree.DestroyList(list);
    return found;
  }

  std::pair<uint32_t, uint32_t> Status(const std::string& address) {
    platform::DeviceList list = tree.GetPresentDevices();
    platform::DeviceRecord record;
    tree.EnumDevice(list, Index(address), record);
    tree.DestroyList(list);
    uint32_t status = 0;
    uint32_t problem = 0;
    EXPECT_TRUE(tree.GetNodeStatus(record.devInst, status, problem));
    return {status, problem};
  }

  int32_t Run(int32_t mode) { return RunDeviceOperation(context, mode, {tree, notice, debug}); }

  DeviceSysfsEmulator sysfs;
  platform::SysfsDeviceTree tree;
  RecordingNotice notice;
  NullDebugOutput debug;
  ServiceContext context;
};

TEST_F(SysfsDeviceTreeTest, ListsFunctionsInAddressOrder) {
  sysfs.Add(Bridge("0000:00:1c.0"));
  sysfs.Add(Adapter());
  sysfs.Add(Bridge("0000:00:01.0"));
  EXPECT_EQ(Index("0000:00:01.0"), 0u);
  EXPECT_EQ(Index("0000:00:1c.0"), 1u);
  EXPECT_EQ(Index(kAdapter), 2u);
}

TEST_F(SysfsDeviceTreeTest, HardwareIdsFollowWindowsOrderAndFormat) {
  EmulatedPciFunction function = Adapter();
  function.vendor = 0x1af4;
  function.device = 0x10ab;
  function.subsystemVendor = 0x1af4;
  function.subsystemDevice = 0x0c0d;
  function.revision = 0x1f;
  function.classCode = 0x020000;
  sysfs.Add(function);
  const auto ids = Read(kAdapter, platform::kPropertyHardwareId);
  ASSERT_TRUE(ids);
  EXPECT_THAT(SplitMultiSz(*ids),
              ElementsAre(u"PCI\\VEN_1AF4&DEV_10AB&SUBSYS_0C0D1AF4&REV_1F",
                          u"PCI\\VEN_1AF4&DEV_10AB&SUBSYS_0C0D1AF4",
                          u"PCI\\VEN_1AF4&DEV_10AB&REV_1F", u"PCI\\VEN_1AF4&DEV_10AB",
                          u"PCI\\VEN_1AF4&DEV_10AB&CC_020000", u"PCI\\VEN_1AF4&DEV_10AB&CC_0200",
                          u"", u""));  // the list's own terminator, then the end of the data
}

TEST_F(SysfsDeviceTreeTest, MissingSubsystemReadsAsZero) {
  EmulatedPciFunction function = Bridge("0000:00:00.0");
  function.hasSubsystemFiles = false;
  sysfs.Add(function);
  const auto ids = Read("0000:00:00.0", platform::kPropertyHardwareId);
  ASSERT_TRUE(ids);
  EXPECT_EQ(SplitMultiSz(*ids)[0], u"PCI\\VEN_8086&DEV_0D57&SUBSYS_00000000&REV_02");
}

TEST_F(SysfsDeviceTreeTest, StatusAndDriverKeyFollowTheBinding) {
  EmulatedPciFunction unbound = Bridge("0000:00:02.0");
  unbound.bound = false;
  sysfs.Add(unbound);
  sysfs.Add(Adapter());
  EXPECT_EQ(Status(kAdapter), std::make_pair(platform::kDnDriverLoaded | platform::kDnStarted, 0u));
  EXPECT_TRUE(Read(kAdapter, platform::kPropertyDriver));
  EXPECT_EQ(Status("0000:00:02.0"),
            std::make_pair(platform::kDnHasProblem, platform::kProblemFailedInstall));
  EXPECT_FALSE(Read("0000:00:02.0", platform::kPropertyDriver));
  EXPECT_EQ(tree.LastError(), platform::kErrorInvalidData);
}

TEST_F(SysfsDeviceTreeTest, MissingDeviceDirectoryFailsListCreation) {
  platform::SysfsDeviceTree empty(sysfs.Root() / "nothing-here");
  EXPECT_EQ(empty.GetPresentDevices(), nullptr);
  EXPECT_EQ(empty.LastError(), 2u);
  EXPECT_TRUE(empty.SystemErrorText(2));
}

// ---- The device-node operations over the emulated kernel ----

TEST_F(SysfsDeviceTreeTest, DisableUnbindsThenBlocksAndQueryShowsTheProblem) {
  sysfs.Add(Bridge("0000:00:01.0"));
  sysfs.Add(Adapter());
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterWorks);
  EXPECT_EQ(Run(DevOpDisable), kResultDone);
  EXPECT_THAT(sysfs.Writes(),
              ElementsAre("bus/pci/drivers/zyl/unbind <- 0000:03:00.0",
                          "devices/pci0000:00/0000:03:00.0/driver_override <- none"));
  EXPECT_FALSE(sysfs.IsBound(kAdapter));
  EXPECT_EQ(Status(kAdapter), std::make_pair(platform::kDnHasProblem, platform::kProblemDisabled));
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterHasProblem);
  EXPECT_TRUE(sysfs.IsBound("0000:00:01.0"));
}

TEST_F(SysfsDeviceTreeTest, EnableLiftsTheBlockAndProbes) {
  sysfs.Add(Adapter());
  ASSERT_EQ(Run(DevOpDisable), kResultDone);
  EXPECT_EQ(Run(DevOpEnable), kResultDone);
  EXPECT_TRUE(sysfs.IsBound(kAdapter));
  EXPECT_EQ(sysfs.Override(kAdapter), "");
  EXPECT_EQ(sysfs.Rescans(), 0);
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterWorks);
}

TEST_F(SysfsDeviceTreeTest, EnableRescansWhenTheFirstProbeFindsNoDriver) {
  EmulatedPciFunction adapter = Adapter();
  adapter.bindsOnlyAfterRescan = true;
  sysfs.Add(adapter);
  ASSERT_EQ(Run(DevOpDisable), kResultDone);
  EXPECT_EQ(Run(DevOpEnable), kResultDone);
  EXPECT_EQ(sysfs.Rescans(), 1);
  EXPECT_TRUE(sysfs.IsBound(kAdapter));
}

TEST_F(SysfsDeviceTreeTest, EnableIsRefusedWhenNoDriverBindsEvenAfterARescan) {
  EmulatedPciFunction adapter = Adapter();
  adapter.neverRebinds = true;
  sysfs.Add(adapter);
  ASSERT_EQ(Run(DevOpDisable), kResultDone);
  EXPECT_EQ(Run(DevOpEnable), kResultStateChangeRefused);
  EXPECT_EQ(sysfs.Rescans(), 1);
  EXPECT_EQ(sysfs.Override(kAdapter), "");  // enabled, but without a driver
  EXPECT_EQ(Status(kAdapter),
            std::make_pair(platform::kDnHasProblem, platform::kProblemFailedInstall));
}

TEST_F(SysfsDeviceTreeTest, UnboundFunctionWithoutBlockIsNoAdapter) {
  EmulatedPciFunction adapter = Adapter();
  adapter.bound = false;
  sysfs.Add(adapter);
  EXPECT_EQ(Run(DevOpEnable), kResultAdapterNotFound);
  EXPECT_THAT(sysfs.Writes(), IsEmpty());
}

TEST_F(SysfsDeviceTreeTest, DriverThatStaysBoundRefusesTheDisable) {
  EmulatedPciFunction adapter = Adapter();
  adapter.refusesUnbind = true;
  sysfs.Add(adapter);
  EXPECT_EQ(Run(DevOpDisable), kResultStateChangeRefused);
  EXPECT_THAT(sysfs.Writes(), ElementsAre("bus/pci/drivers/zyl/unbind <- 0000:03:00.0"));
  EXPECT_EQ(sysfs.Override(kAdapter), "");
}

TEST_F(SysfsDeviceTreeTest, DescriptionNamesTheFunction) {
  sysfs.Add(Adapter());
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterWorks);
  EXPECT_THAT(debug.texts, ElementsAre(u"PCI device 104D:81CE at 0000:03:00.0"));
  EXPECT_THAT(notice.captions, IsEmpty());
}

}  // namespace
