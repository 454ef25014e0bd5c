#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/device_nodes.h"
#include "tests/fakes/device_tree.h"

namespace zylservice {
namespace {

using platform::FakeDeviceTree;

constexpr std::u16string_view kFirstId = u"PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00";
constexpr std::u16string_view kSecondId = u"PCI\\VEN_1987&DEV_5000&SUBSYS_50001987&REV_01";
constexpr std::u16string_view kThirdId = u"PCI\\VEN_104D&DEV_905C&SUBSYS_81CE104D&REV_00";

bool Matches(const std::vector<std::byte>& bytes, const ServiceContext& context = {}) {
  // An exact-size heap copy, so that the address sanitizer sees any read past the data.
  return IsAdapterHardwareId(std::span(bytes), context);
}

TEST(ContextHardwareIdTest, FillsUpperCaseHexadecimalFields) {
  EXPECT_EQ(ContextHardwareId(0x1234, 0xABCD), u"PCI\\VEN_1234&DEV_ABCD&SUBSYS_81CE104D&REV_00");
}

TEST(ContextHardwareIdTest, PadsSmallValuesWithBlanksNotZeros) {
  EXPECT_EQ(ContextHardwareId(0x0E11, 0x00AB), u"PCI\\VEN_ E11&DEV_  AB&SUBSYS_81CE104D&REV_00");
  EXPECT_EQ(ContextHardwareId(0, 0), u"PCI\\VEN_   0&DEV_   0&SUBSYS_81CE104D&REV_00");
}

TEST(ContextHardwareIdTest, WidensForValuesBeyondSixteenBits) {
  EXPECT_EQ(ContextHardwareId(0x12345, 0xFFFFFFFF),
            u"PCI\\VEN_12345&DEV_FFFFFFFF&SUBSYS_81CE104D&REV_00");
}

TEST(AdapterMatchTest, EachFixedIdMatchesAsFirstEntry) {
  for (std::u16string_view id : {kFirstId, kSecondId, kThirdId}) {
    EXPECT_TRUE(Matches(FakeDeviceTree::MultiSz({id, u"PCI\\VEN_104D&DEV_81CE"})));
  }
}

TEST(AdapterMatchTest, ContextIdMatchesOnlyWithTheContextsValues) {
  const ServiceContext context{nullptr, 0xABCD, 0x1234};
  const auto list = FakeDeviceTree::MultiSz({u"PCI\\VEN_1234&DEV_ABCD&SUBSYS_81CE104D&REV_00"});
  EXPECT_TRUE(Matches(list, context));
  EXPECT_FALSE(Matches(list, ServiceContext{nullptr, 0xABCE, 0x1234}));
}

TEST(AdapterMatchTest, BlankPaddedVendorMatchesNoRealId) {
  const ServiceContext context{nullptr, 0x81CE, 0x0E11};
  EXPECT_FALSE(Matches(FakeDeviceTree::MultiSz({u"PCI\\VEN_0E11&DEV_81CE&SUBSYS_81CE104D&REV_00"}),
                       context));
  EXPECT_TRUE(Matches(FakeDeviceTree::MultiSz({kFirstId}), context));
}

TEST(AdapterMatchTest, OnlyTheFirstEntryIsCompared) {
  EXPECT_FALSE(Matches(FakeDeviceTree::MultiSz({u"PCI\\VEN_8086&DEV_1234", kFirstId})));
}

TEST(AdapterMatchTest, ComparisonIsExactAndCaseSensitive) {
  EXPECT_FALSE(
      Matches(FakeDeviceTree::MultiSz({u"PCI\\VEN_104d&DEV_81ce&SUBSYS_81ce104d&REV_00"})));
  EXPECT_FALSE(
      Matches(FakeDeviceTree::MultiSz({u"PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00X"})));
  EXPECT_FALSE(Matches(FakeDeviceTree::MultiSz({u"PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_0"})));
  EXPECT_FALSE(
      Matches(FakeDeviceTree::MultiSz({u"pci\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00"})));
}

TEST(AdapterMatchTest, EmptyListsMatchNothing) {
  EXPECT_FALSE(Matches({}));
  EXPECT_FALSE(Matches(FakeDeviceTree::MultiSz({})));
  EXPECT_FALSE(Matches(std::vector<std::byte>(1)));
  // The context's unset fields must not make an empty first string match.
  EXPECT_FALSE(Matches(FakeDeviceTree::MultiSz({u"", kFirstId})));
}

TEST(AdapterMatchTest, UnterminatedListEndsWhereTheDataEnds) {
  EXPECT_TRUE(Matches(FakeDeviceTree::RawUtf16(kFirstId)));
  EXPECT_FALSE(Matches(FakeDeviceTree::RawUtf16(std::u16string(kFirstId) + u"Z")));
}

TEST(AdapterMatchTest, OddByteSizesIgnoreTheHalfUnit) {
  auto withStrayByte = FakeDeviceTree::RawUtf16(kFirstId);
  withStrayByte.push_back(std::byte{0x41});
  EXPECT_TRUE(Matches(withStrayByte));

  auto cutShort = FakeDeviceTree::RawUtf16(kFirstId);
  cutShort.pop_back();  // the last unit's high byte is missing: the ID is one unit short
  EXPECT_FALSE(Matches(cutShort));
}

}  // namespace
}  // namespace zylservice
