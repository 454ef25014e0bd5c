#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "hwaccess/pci_scan.h"
#include "hwaccess_fixture.h"

namespace hwaccess_test {
namespace {

using hwaccess::PciMatch;
using hwaccess::PciMatchTable;

constexpr uint32_t kAdapterId = 0x1234ABCD;
constexpr uint32_t kAdapterSubsys = 0x00017A1B;
constexpr uint32_t kOtherId = 0x0D578086;
constexpr uint32_t kOtherSubsys = 0x11111111;

QVLONG L(uint32_t value) { return static_cast<QVLONG>(value); }

std::string Where(const PciMatch& match) {
  return std::to_string(match.bus) + ":" + std::to_string(match.device) + "." +
         std::to_string(match.function) + "/" + std::to_string(match.command);
}

std::vector<std::string> Matches(int count) {
  std::vector<std::string> where;
  for (int i = 0; i < count && i < hwaccess::kPciMatchTableSize; ++i) {
    where.push_back(Where(PciMatchTable[i]));
  }
  return where;
}

class PciScanTest : public HwaccessTest {
 protected:
  PciScanTest() { object.SetDevice(kSomeDevice); }
  int Scan(uint32_t id, uint32_t subsystem, QVLONG* found = nullptr) {
    return object.SearchPCIConfig(L(id), L(subsystem), found);
  }
  TestableCQVACS object;
};

TEST_F(PciScanTest, IdModeRecordsAWantedFunctionBehindAnotherFunctionZero) {
  bus.AddFunction(0, 3, 0, kOtherId, 0, 0x07);
  bus.AddFunction(0, 3, 2, kAdapterId, kAdapterSubsys, 0x0146);
  EXPECT_EQ(Scan(kAdapterId, 0), 1);
  EXPECT_THAT(Matches(1), ::testing::ElementsAre("0:3.2/70"));  // 0x46: the low byte only
}

TEST_F(PciScanTest, IdModeDecidesADeviceAtItsFirstWantedFunction) {
  bus.AddFunction(2, 5, 0, kAdapterId, 0, 0x02);
  bus.AddFunction(2, 5, 1, kAdapterId, 0, 0x06);
  EXPECT_EQ(Scan(kAdapterId, 0), 1);
  EXPECT_THAT(Matches(1), ::testing::ElementsAre("2:5.0/2"));
}

TEST_F(PciScanTest, IdAndSubsystemModeIsDecidedByTheFirstFunctionWithTheId) {
  bus.AddFunction(0, 1, 0, kAdapterId, kOtherSubsys, 0x07);
  bus.AddFunction(0, 1, 1, kAdapterId, kAdapterSubsys, 0x07);  // never looked at
  bus.AddFunction(0, 2, 0, kOtherId, kAdapterSubsys, 0x07);
  bus.AddFunction(0, 2, 1, kAdapterId, kAdapterSubsys, 0x03);  // recorded
  EXPECT_EQ(Scan(kAdapterId, kAdapterSubsys), 1);
  EXPECT_THAT(Matches(1), ::testing::ElementsAre("0:2.1/3"));
}

TEST_F(PciScanTest, SubsystemOnlyModeLooksAtFunctionZeroAndReportsTheLastId) {
  bus.AddFunction(0, 1, 0, kOtherId, kOtherSubsys, 0x07);
  bus.AddFunction(0, 1, 1, 0x22221111, kAdapterSubsys, 0x07);  // not function 0: never found
  bus.AddFunction(1, 0, 0, 0x33331111, kAdapterSubsys, 0x0104);
  bus.AddFunction(4, 9, 0, 0x44441111, kAdapterSubsys, 0x0000);
  QVLONG found = 5;
  EXPECT_EQ(Scan(0, kAdapterSubsys, &found), 2);
  EXPECT_EQ(static_cast<uint32_t>(found), 0x44441111u);
  EXPECT_THAT(Matches(2), ::testing::ElementsAre("1:0.0/4", "4:9.0/0"));
}

TEST_F(PciScanTest, IdModesLeaveTheFoundIdAlone) {
  bus.AddFunction(0, 0, 0, kAdapterId, kAdapterSubsys, 0x07);
  QVLONG found = 5;
  EXPECT_EQ(Scan(kAdapterId, 0, &found), 1);
  EXPECT_EQ(Scan(kAdapterId, kAdapterSubsys, &found), 1);
  EXPECT_EQ(found, 5);
}

TEST_F(PciScanTest, MatchesFollowBusThenDeviceThenFunctionOrder) {
  bus.AddFunction(3, 0, 0, kAdapterId, 0, 1);
  bus.AddFunction(1, 31, 7, kAdapterId, 0, 2);
  bus.AddFunction(1, 2, 0, kAdapterId, 0, 3);
  bus.AddFunction(255, 31, 0, kAdapterId, 0, 4);
  EXPECT_EQ(Scan(kAdapterId, 0), 4);
  EXPECT_THAT(Matches(4), ::testing::ElementsAre("1:2.0/3", "1:31.7/2", "3:0.0/1", "255:31.0/4"));
}

TEST_F(PciScanTest, TheTableKeepsSixteenMatchesAndTheCountGoesOn) {
  for (unsigned device = 0; device < 20; ++device) {
    bus.AddFunction(7, device, 0, kAdapterId, 0, device);
  }
  EXPECT_EQ(Scan(kAdapterId, 0), 20);
  EXPECT_EQ(Where(PciMatchTable[15]), "7:15.0/15");
  int32_t command = -1;
  hwaccess::State().object = new TestableCQVACS();
  static_cast<TestableCQVACS*>(hwaccess::State().object)->SetDevice(kSomeDevice);
  EXPECT_EQ(QV_GetPciCommandReg(kAdapterId, 0, 15, &command), kQvSuccess);
  EXPECT_EQ(command, 15);
  command = -1;
  EXPECT_EQ(QV_GetPciCommandReg(kAdapterId, 0, 16, &command), kQvIndexOutOfRange);
  EXPECT_EQ(command, -1);
}

TEST_F(PciScanTest, EveryScanRefillsTheTable) {
  bus.AddFunction(0, 1, 0, kAdapterId, 0, 0x07);
  bus.AddFunction(0, 2, 0, kAdapterId, 0, 0x07);
  EXPECT_EQ(Scan(kAdapterId, 0), 2);
  bus.RemoveFunction(0, 1, 0);  // hot removal between two scans
  EXPECT_EQ(Scan(kAdapterId, 0), 1);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&PciMatchTable[1]);
  for (size_t i = 0; i < 15 * sizeof(PciMatch); ++i) EXPECT_EQ(bytes[i], 0xFF) << i;
}

TEST_F(PciScanTest, TransferCountsOfFullScans) {
  EXPECT_EQ(Scan(kAdapterId, 0), 0);
  EXPECT_EQ(bus.transfers(), 131072u);
  bus.ResetTransfers();
  bus.AddFunction(9, 9, 0, 0x1, kAdapterSubsys, 0x07);
  EXPECT_EQ(Scan(0, kAdapterSubsys), 1);
  EXPECT_EQ(bus.transfers(), 32768u + 2u);
  bus.ResetTransfers();
  // An ID-mode match ends its device early and adds the command read.
  EXPECT_EQ(Scan(0x1, 0), 1);
  EXPECT_EQ(bus.transfers(), 131072u - 14u + 2u);
  // Each configuration read latches the address first.
  EXPECT_EQ(bus.latch(), hwaccess::PciConfigAddress(255, 31, 7, hwaccess::kPciVendorId));
}

TEST_F(PciScanTest, WithoutADeviceNothingIsFound) {
  object.SetDevice(nullptr);
  bus.AddFunction(0, 0, 0, kAdapterId, kAdapterSubsys, 0x07);
  QVLONG found = 5;
  EXPECT_EQ(Scan(kAdapterId, 0, &found), 0);
  EXPECT_EQ(Scan(0, kAdapterSubsys, &found), 0);
  EXPECT_EQ(found, 5);
}

TEST_F(PciScanTest, AllOnesNeverMatchesAnAbsentFunction) {
  bus.AddFunction(0, 0, 0, kAdapterId, 0xFFFFFFFF, 0x07);
  EXPECT_EQ(Scan(0xFFFFFFFF, 0), 0);
  // Function 0 of 00:00 exists and carries all-ones as its subsystem: that one is a match.
  EXPECT_EQ(Scan(0, 0xFFFFFFFF), 1);
}

TEST_F(PciScanTest, AFullConfigSpaceIsServedDwordByDword) {
  platform::FakePciBus::ConfigSpace space{};
  for (size_t i = 0; i < space.size(); ++i) space[i] = static_cast<uint8_t>(i);
  bus.SetConfigSpace(0, 4, 0, space);
  EXPECT_EQ(object.dwWritePort(kSomeDevice, 0xCF8, hwaccess::PciConfigAddress(0, 4, 0, 0x2C)), 0u);
  EXPECT_EQ(object.dwReadPort(kSomeDevice, 0xCFC), 0x2F2E2D2Cu);
  EXPECT_EQ(object.dwReadPort(kSomeDevice, 0xCF8), hwaccess::PciConfigAddress(0, 4, 0, 0x2C));
  object.dwWritePort(kSomeDevice, 0xCF8, 0x00042C);  // no enable bit
  EXPECT_EQ(object.dwReadPort(kSomeDevice, 0xCFC), 0xFFFFFFFFu);
  EXPECT_EQ(object.dwReadPort(kSomeDevice, 0x80), 0u);
}

TEST_F(PciScanTest, ReplaysThisMachinesDump) {
  std::string error;
  ASSERT_TRUE(bus.LoadDump(ZYL_TEST_DATA_DIR "/pci/qemu-virtio.txt", &error)) << error;
  EXPECT_EQ(bus.FunctionCount(), 6u);
  EXPECT_EQ(Scan(0x0D578086, 0), 1);
  EXPECT_THAT(Matches(1), ::testing::ElementsAre("0:0.0/0"));
  EXPECT_EQ(Scan(0x10411AF4, 0), 1);
  EXPECT_EQ(PciMatchTable[0].device, 3);
}

TEST(FakePciBusTest, RejectsMalformedDumpsAndKeepsTheBus) {
  platform::FakePciBus bus;
  bus.AddFunction(0, 0, 0, 1, 2, 3);
  const std::string dir = ::testing::TempDir();
  const char* bad[] = {"00:00.0\n",           "00:32.0 ffffffff\n", "0001:00:00.0 12345678\n",
                       "00:00.0 123456789\n", "zz 12345678\n",      "00:00.0 xyz\n"};
  for (const char* text : bad) {
    const std::string path = dir + "/bad_dump.txt";
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs(text, file);
    std::fclose(file);
    std::string error;
    EXPECT_FALSE(bus.LoadDump(path, &error)) << text;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_FALSE(bus.LoadDump(dir + "/does_not_exist.txt"));
  EXPECT_EQ(bus.FunctionCount(), 1u);
}

}  // namespace
}  // namespace hwaccess_test
