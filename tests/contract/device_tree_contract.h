// What every DeviceTree binding does with one started adapter node, as the device-node
// operations rely on it: one set of test bodies run against the fake and the Linux binding
// (over the emulated sysfs tree). Wine's device tree refuses every state change, so the
// Windows binding is shown end to end instead (scripts/wine). Include in exactly one file of
// a test program and instantiate with a binding type that offers:
//   platform::DeviceTree& Tree();        // holding exactly one node: the adapter, started
//   std::u16string FirstHardwareId();    // the adapter's first hardware ID
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/device_tree.h"

namespace zyltest {

template <typename Binding>
class DeviceTreeContract : public ::testing::Test {
 protected:
  void SetUp() override {
    list_ = tree().GetPresentDevices();
    ASSERT_NE(list_, nullptr);
    ASSERT_TRUE(tree().EnumDevice(list_, 0, record_));
  }
  void TearDown() override {
    if (list_ != nullptr) tree().DestroyList(list_);
  }
  platform::DeviceTree& tree() { return binding_.Tree(); }

  std::pair<uint32_t, uint32_t> Status() {
    uint32_t status = 0;
    uint32_t problem = 0;
    EXPECT_TRUE(tree().GetNodeStatus(record_.devInst, status, problem));
    return {status, problem};
  }
  // One state change as the device-node operations ask for it.
  bool Change(uint32_t stateChange) {
    platform::StateChangeParams params;
    params.installFunction = platform::kDifPropertyChange;
    params.stateChange = stateChange;
    params.scope = platform::kDicsFlagConfigSpecific;
    platform::DeviceRecord copy = record_;
    return tree().SetStateChangeParams(list_, copy, params) &&
           tree().CallClassInstaller(platform::kDifPropertyChange, list_, copy);
  }

  Binding binding_;
  platform::DeviceList list_ = nullptr;
  platform::DeviceRecord record_;
};

TYPED_TEST_SUITE_P(DeviceTreeContract);

TYPED_TEST_P(DeviceTreeContract, ListHoldsEachNodeOnceAndEndsAfterTheLast) {
  platform::DeviceRecord record;
  EXPECT_FALSE(this->tree().EnumDevice(this->list_, 1, record));
  EXPECT_EQ(this->record_.cbSize, sizeof(platform::DeviceRecord));
}

TYPED_TEST_P(DeviceTreeContract, PropertyReadGivesTheSizeNeededThenTheData) {
  auto& tree = this->tree();
  uint32_t size = 0;
  EXPECT_FALSE(
      tree.ReadProperty(this->list_, this->record_, platform::kPropertyHardwareId, {}, &size));
  EXPECT_EQ(tree.LastError(), platform::kErrorInsufficientBuffer);
  ASSERT_GT(size, 0u);
  std::vector<std::byte> buffer(size);
  uint32_t got = 0;
  ASSERT_TRUE(
      tree.ReadProperty(this->list_, this->record_, platform::kPropertyHardwareId, buffer, &got));
  EXPECT_EQ(got, size);
  // A list of NUL-terminated UTF-16 IDs; the first is the adapter's.
  std::u16string first;
  for (std::size_t at = 0; at + 1 < buffer.size(); at += 2) {
    const auto unit = static_cast<char16_t>(std::to_integer<unsigned>(buffer[at]) |
                                            std::to_integer<unsigned>(buffer[at + 1]) << 8);
    if (unit == u'\0') break;
    first.push_back(unit);
  }
  EXPECT_EQ(first, this->binding_.FirstHardwareId());
  // A started node has a driver key.
  std::vector<std::byte> driver(512);
  EXPECT_TRUE(
      tree.ReadProperty(this->list_, this->record_, platform::kPropertyDriver, driver, nullptr));
}

TYPED_TEST_P(DeviceTreeContract, DisableShowsProblem22AndEnableWithStartRunsAgain) {
  using Status = std::pair<uint32_t, uint32_t>;
  EXPECT_EQ(this->Status(), Status(platform::kDnDriverLoaded | platform::kDnStarted, 0u));
  ASSERT_TRUE(this->Change(platform::kDicsDisable));
  EXPECT_EQ(this->Status(), Status(platform::kDnHasProblem, platform::kProblemDisabled));
  ASSERT_TRUE(this->Change(platform::kDicsEnable));
  ASSERT_TRUE(this->Change(platform::kDicsStart));
  EXPECT_EQ(this->Status(), Status(platform::kDnDriverLoaded | platform::kDnStarted, 0u));
}

TYPED_TEST_P(DeviceTreeContract, RootNodeIsFoundAndReenumerated) {
  uint32_t root = 0xFFFFFFFF;
  EXPECT_EQ(this->tree().LocateRootNode(root), 0u);  // CR_SUCCESS
  EXPECT_EQ(this->tree().ReenumerateNode(root), 0u);
}

REGISTER_TYPED_TEST_SUITE_P(DeviceTreeContract, ListHoldsEachNodeOnceAndEndsAfterTheLast,
                            PropertyReadGivesTheSizeNeededThenTheData,
                            DisableShowsProblem22AndEnableWithStartRunsAgain,
                            RootNodeIsFoundAndReenumerated);

}  // namespace zyltest
