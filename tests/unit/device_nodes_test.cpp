#include "service/device_nodes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "service/service_platform.h"
#include "tests/fakes/device_tree.h"
#include "tests/fakes/user_notice.h"

namespace zylservice {
namespace {

using namespace zylprotocol;

using platform::FakeDeviceNode;
using platform::FakeDeviceTree;
using platform::FakeUserNotice;
using platform::kErrorGenFailure;
using platform::kErrorNoMoreItems;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Mode = DeviceStateChangeMode;

constexpr std::u16string_view kAdapterId = u"PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00";
constexpr std::u16string_view kOtherId = u"PCI\\VEN_8086&DEV_1237&SUBSYS_00000000&REV_02";

class RecordingDebugOutput : public platform::DebugOutput {
 public:
  void Write(std::u16string_view text) override { texts.emplace_back(text); }
  void WriteNarrow(std::string_view) override {}
  std::vector<std::u16string> texts;
};

class DeviceNodesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Every list created is destroyed exactly once, whatever the path.
    EXPECT_EQ(tree.OpenLists(), 0u);
    EXPECT_EQ(tree.BadDestroys(), 0);
  }

  int32_t Run(int32_t mode) { return RunDeviceOperation(context, mode, {tree, notice, debug}); }

  std::size_t AddAdapter() { return tree.AddNode({kAdapterId, u"PCI\\VEN_104D&DEV_81CE"}); }
  std::size_t AddOther() { return tree.AddNode({kOtherId}); }

  /// The calls that change or test a node's state, in order.
  std::vector<std::string> Actions() const {
    std::vector<std::string> actions;
    for (const std::string& call : tree.Calls()) {
      for (const char* prefix : {"SetStateChangeParams", "CallClassInstaller", "GetNodeStatus",
                                 "LocateRootNode", "ReenumerateNode"}) {
        if (call.starts_with(prefix)) actions.push_back(call);
      }
    }
    return actions;
  }

  bool Called(const std::string& call) const {
    const auto& calls = tree.Calls();
    return std::find(calls.begin(), calls.end(), call) != calls.end();
  }

  FakeDeviceTree tree;
  FakeUserNotice notice;
  RecordingDebugOutput debug;
  ServiceContext context;
};

// ---- Finding the adapter ----

TEST_F(DeviceNodesTest, EmptyTreeAnswersNotFoundAndDestroysTheList) {
  EXPECT_EQ(Run(DevOpDisable), kResultAdapterNotFound);
  EXPECT_EQ(tree.ListsDestroyed(), 1);
  EXPECT_THAT(notice.Notices(), IsEmpty());
}

TEST_F(DeviceNodesTest, NoMatchingNodeAnswersNotFoundWithoutTouchingAnyNode) {
  AddOther();
  tree.AddNode({u"PCI\\VEN_8086&DEV_1237", kAdapterId});  // the adapter ID only second
  tree.AddNode({u"PCI\\VEN_104d&DEV_81ce&SUBSYS_81ce104d&REV_00"});
  EXPECT_EQ(Run(DevOpDisable), kResultAdapterNotFound);
  EXPECT_THAT(Actions(), IsEmpty());
  EXPECT_EQ(tree.ListsDestroyed(), 1);
}

TEST_F(DeviceNodesTest, ContextIdFindsTheAdapter) {
  context.vendorId = 0x1234;
  context.deviceId = 0xABCD;
  tree.AddNode({u"PCI\\VEN_1234&DEV_ABCD&SUBSYS_81CE104D&REV_00"});
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterWorks);
}

TEST_F(DeviceNodesTest, NodesWithoutHardwareIdsAreSkippedSilently) {
  const std::size_t bare = AddOther();
  tree.Node(bare).hardwareIds.reset();
  AddAdapter();
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterWorks);
  EXPECT_THAT(notice.Notices(), IsEmpty());
}

TEST_F(DeviceNodesTest, ReadsRetryAtWhateverSizeIsAskedFor) {
  const std::size_t node = AddAdapter();
  tree.Node(node).undersizedReplies = 3;
  const std::size_t size = tree.Node(node).hardwareIds->size();
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterWorks);
  EXPECT_THAT(tree.HardwareIdReadSizes(), ElementsAre(0u, size - 2, size - 2, size - 2, size));
}

TEST_F(DeviceNodesTest, MatchingNodeWithoutDriverKeyIsNotTheAdapter) {
  const std::size_t node = AddAdapter();
  tree.Node(node).driverKey.reset();
  EXPECT_EQ(Run(DevOpEnable), kResultAdapterNotFound);
  EXPECT_THAT(Actions(), IsEmpty());
  EXPECT_THAT(debug.texts, IsEmpty());
}

TEST_F(DeviceNodesTest, DriverKeyTooLargeForItsBufferCountsAsMissing) {
  const std::size_t node = AddAdapter();
  tree.Node(node).driverKey = std::u16string(256, u'k');  // 512 bytes plus the terminator
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterNotFound);
}

TEST_F(DeviceNodesTest, MissingDriverKeyEndsTheRunEvenAfterAHandledNode) {
  AddAdapter();
  const std::size_t second = AddAdapter();
  tree.Node(second).driverKey.reset();
  EXPECT_EQ(Run(DevOpDisable), kResultAdapterNotFound);
  EXPECT_THAT(tree.StateChanges(), ElementsAre("node 0: stop", "node 0: disable"));
}

TEST_F(DeviceNodesTest, DescriptionGoesToTheDebuggerAsIs) {
  const std::size_t node = AddAdapter();
  tree.Node(node).description = u"Zyl Adapter";
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterWorks);
  EXPECT_THAT(debug.texts, ElementsAre(u"Zyl Adapter"));
}

TEST_F(DeviceNodesTest, MissingDescriptionWritesAnEmptyText) {
  AddAdapter();
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterWorks);
  EXPECT_THAT(debug.texts, ElementsAre(u""));
}

// ---- Unexpected errors ----

TEST_F(DeviceNodesTest, ListCreationFailureShowsTheErrorAndAnswersZero) {
  tree.FailListCreation(5);
  tree.SetErrorText(5, u"Access is denied.\r\n");
  EXPECT_EQ(Run(DevOpQuery), kResultNoDeviceList);
  ASSERT_EQ(notice.Notices().size(), 1u);
  EXPECT_EQ(notice.Notices()[0].caption, u"GetClassDevs(All Present Devices)");
  EXPECT_EQ(notice.Notices()[0].text, u"Access is denied.\r\n");
  EXPECT_EQ(notice.Notices()[0].type, 0u);
  EXPECT_FALSE(Called("EnumDevice(0)"));
  EXPECT_EQ(tree.LastError(), 5u);
}

TEST_F(DeviceNodesTest, UnexpectedReadErrorBeforeAMatchAnswersNotFound) {
  const std::size_t broken = AddOther();
  tree.Node(broken).hardwareIdReadError = kErrorGenFailure;
  AddAdapter();
  EXPECT_EQ(Run(DevOpDisable), kResultAdapterNotFound);
  ASSERT_EQ(notice.Notices().size(), 1u);
  EXPECT_EQ(notice.Notices()[0].caption, u"0x1f");
  EXPECT_EQ(notice.Notices()[0].text, u"GetDeviceRegistryProperty");
  EXPECT_THAT(tree.StateChanges(), IsEmpty());
  // The error shown is still the thread's last error, across the list's destruction.
  EXPECT_EQ(tree.LastError(), kErrorGenFailure);
}

TEST_F(DeviceNodesTest, UnexpectedReadErrorAfterAHandledNodeAnswersDone) {
  AddAdapter();
  const std::size_t broken = AddOther();
  tree.Node(broken).hardwareIdReadError = kErrorGenFailure;
  AddAdapter();
  EXPECT_EQ(Run(DevOpDisable), kResultDone);
  EXPECT_THAT(tree.StateChanges(), ElementsAre("node 0: stop", "node 0: disable"));
  EXPECT_EQ(notice.Notices().size(), 1u);
  EXPECT_FALSE(Called("EnumDevice(3)"));
}

TEST_F(DeviceNodesTest, LastErrorOfTheEnumerationSurvivesTheListsDestruction) {
  AddOther();
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterNotFound);
  EXPECT_EQ(tree.LastError(), kErrorNoMoreItems);  // the fake's destroy would have reset it
}

// ---- DevOpQuery ----

TEST_F(DeviceNodesTest, QueryAnswersWorksOrProblemForTheFirstMatchOnly) {
  AddOther();
  AddAdapter();
  const std::size_t second = AddAdapter();
  tree.Node(second).problem = platform::kProblemDisabled;
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterWorks);
  EXPECT_THAT(Actions(), ElementsAre("GetNodeStatus(node 1)"));
  EXPECT_FALSE(Called("EnumDevice(2)"));
}

TEST_F(DeviceNodesTest, QueryAnswersProblemFromTheProblemNumberAlone) {
  const std::size_t node = AddAdapter();
  tree.Node(node).problem = platform::kProblemFailedInstall;
  tree.Node(node).status = platform::kDnStarted;  // the status bits are not consulted
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterHasProblem);
  tree.Node(node).problem = 0;
  tree.Node(node).status = platform::kDnHasProblem;
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterWorks);
}

TEST_F(DeviceNodesTest, QueryTreatsAnUnreadableStatusAsAProblem) {
  const std::size_t node = AddAdapter();
  tree.Node(node).statusFails = true;
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterHasProblem);
  tree.Node(node).statusFails = false;
  tree.Node(node).statusUnwritten = true;
  tree.Node(node).problem = platform::kProblemDisabled;
  EXPECT_EQ(Run(DevOpQuery), kResultAdapterWorks);  // the outputs start at 0
}

// ---- DevOpDisable ----

TEST_F(DeviceNodesTest, DisableStopsChecksThenDisables) {
  AddAdapter();
  EXPECT_EQ(Run(DevOpDisable), kResultDone);
  EXPECT_THAT(Actions(),
              ElementsAre("SetStateChangeParams(node 0, stop)", "CallClassInstaller(node 0)",
                          "GetNodeStatus(node 0)", "SetStateChangeParams(node 0, disable)",
                          "CallClassInstaller(node 0)"));
  EXPECT_EQ(tree.Node(0).problem, platform::kProblemDisabled);
}

TEST_F(DeviceNodesTest, DisableOfANodeStillStartedIsRefusedWithoutDisabling) {
  const std::size_t node = AddAdapter();
  tree.Node(node).stopLeavesStarted = true;
  EXPECT_EQ(Run(DevOpDisable), kResultStateChangeRefused);
  EXPECT_THAT(tree.StateChanges(), ElementsAre("node 0: stop"));
  EXPECT_FALSE(Called("SetStateChangeParams(node 0, disable)"));
}

TEST_F(DeviceNodesTest, DisableRefusedWhenStopParametersCannotBeStored) {
  const std::size_t node = AddAdapter();
  tree.Node(node).refuseParamsFor = {platform::kDicsStop};
  EXPECT_EQ(Run(DevOpDisable), kResultStateChangeRefused);
  EXPECT_THAT(Actions(), ElementsAre("SetStateChangeParams(node 0, stop)"));
}

TEST_F(DeviceNodesTest, DisableIgnoresTheDisablesOutcome) {
  const std::size_t node = AddAdapter();
  tree.Node(node).refuseParamsFor = {platform::kDicsDisable};
  EXPECT_EQ(Run(DevOpDisable), kResultDone);
}

TEST_F(DeviceNodesTest, DisableHandlesEveryMatchingNodeInOrder) {
  AddAdapter();
  AddOther();
  AddAdapter();
  EXPECT_EQ(Run(DevOpDisable), kResultDone);
  EXPECT_THAT(tree.StateChanges(),
              ElementsAre("node 0: stop", "node 0: disable", "node 2: stop", "node 2: disable"));
}

TEST_F(DeviceNodesTest, RefusedSecondNodeLeavesTheFirstDisabled) {
  AddAdapter();
  const std::size_t second = AddAdapter();
  tree.Node(second).stopLeavesStarted = true;
  const std::size_t third = AddAdapter();
  EXPECT_EQ(Run(DevOpDisable), kResultStateChangeRefused);
  EXPECT_EQ(tree.Node(0).problem, platform::kProblemDisabled);
  EXPECT_NE(tree.Node(second).problem, platform::kProblemDisabled);
  EXPECT_EQ(tree.Node(third).status & platform::kDnStarted, platform::kDnStarted);
}

TEST_F(DeviceNodesTest, DisableTreatsAnUnreadableStatusAfterTheStopAsStillStarted) {
  const std::size_t node = AddAdapter();
  tree.Node(node).statusFails = true;
  EXPECT_EQ(Run(DevOpDisable), kResultStateChangeRefused);
  EXPECT_THAT(tree.StateChanges(), ElementsAre("node 0: stop"));
}

TEST_F(DeviceNodesTest, StateChangesCarryTheValuesWindowsReads) {
  AddAdapter();
  ASSERT_EQ(Run(DevOpDisable), kResultDone);
  ASSERT_EQ(Run(DevOpEnable), kResultDone);
  // Written out, not the constants the code sends: {header size, DIF_PROPERTYCHANGE, the DICS_
  // change (STOP 5, DISABLE 2, ENABLE 1, START 4), DICS_FLAG_CONFIGSPECIFIC, current profile}.
  std::vector<std::array<uint32_t, 5>> given;
  for (const platform::StateChangeParams& p : tree.ParamsGiven()) {
    given.push_back({p.headerSize, p.installFunction, p.stateChange, p.scope, p.hwProfile});
  }
  using Params = std::array<uint32_t, 5>;
  EXPECT_THAT(given, ElementsAre(Params{8, 0x12, 5, 2, 0}, Params{8, 0x12, 2, 2, 0},
                                 Params{8, 0x12, 1, 2, 0}, Params{8, 0x12, 4, 2, 0}));
}

// ---- DevOpEnable ----

TEST_F(DeviceNodesTest, EnableThatStartsCleanlyNeedsNoReenumeration) {
  const std::size_t node = AddAdapter();
  tree.Node(node).status = platform::kDnHasProblem;
  tree.Node(node).problem = platform::kProblemDisabled;
  EXPECT_EQ(Run(DevOpEnable), kResultDone);
  EXPECT_THAT(Actions(),
              ElementsAre("SetStateChangeParams(node 0, enable)", "CallClassInstaller(node 0)",
                          "SetStateChangeParams(node 0, start)", "CallClassInstaller(node 0)",
                          "GetNodeStatus(node 0)"));
  EXPECT_EQ(tree.Reenumerations(), 0);
  EXPECT_EQ(tree.Node(node).problem, 0u);
}

TEST_F(DeviceNodesTest, EnableReenumeratesOnceWhenTheFirstStartLeavesAProblem) {
  const std::size_t node = AddAdapter();
  tree.Node(node).startProblemUntilReenumerated = true;
  EXPECT_EQ(Run(DevOpEnable), kResultDone);
  EXPECT_THAT(Actions(),
              ElementsAre("SetStateChangeParams(node 0, enable)", "CallClassInstaller(node 0)",
                          "SetStateChangeParams(node 0, start)", "CallClassInstaller(node 0)",
                          "GetNodeStatus(node 0)", "LocateRootNode", "ReenumerateNode(root)",
                          "SetStateChangeParams(node 0, start)", "CallClassInstaller(node 0)",
                          "GetNodeStatus(node 0)"));
}

TEST_F(DeviceNodesTest, EnableGivesUpAfterTheSecondStart) {
  const std::size_t node = AddAdapter();
  tree.Node(node).startAlwaysLeavesProblem = true;
  EXPECT_EQ(Run(DevOpEnable), kResultStateChangeRefused);
  EXPECT_THAT(tree.StateChanges(), ElementsAre("node 0: enable", "node 0: start", "node 0: start"));
  EXPECT_EQ(tree.Reenumerations(), 1);
}

TEST_F(DeviceNodesTest, EnableRefusedWhenEnableParametersCannotBeStored) {
  const std::size_t node = AddAdapter();
  tree.Node(node).refuseParamsFor = {platform::kDicsEnable};
  EXPECT_EQ(Run(DevOpEnable), kResultStateChangeRefused);
  EXPECT_THAT(Actions(), ElementsAre("SetStateChangeParams(node 0, enable)"));
}

TEST_F(DeviceNodesTest, EnableRetriesAStartWhoseParametersCannotBeStored) {
  const std::size_t node = AddAdapter();
  tree.Node(node).refuseParamsFor = {platform::kDicsStart};
  EXPECT_EQ(Run(DevOpEnable), kResultStateChangeRefused);
  EXPECT_EQ(tree.Reenumerations(), 1);
  EXPECT_THAT(tree.StateChanges(), ElementsAre("node 0: enable"));
}

TEST_F(DeviceNodesTest, EnableTreatsAnUnreadableStatusAfterTheStartAsAProblem) {
  const std::size_t node = AddAdapter();
  tree.Node(node).statusFails = true;
  EXPECT_EQ(Run(DevOpEnable), kResultStateChangeRefused);
  EXPECT_EQ(tree.Reenumerations(), 1);
}

TEST_F(DeviceNodesTest, EnableHandlesBothNodesAndStopsAtARefusal) {
  AddAdapter();
  AddAdapter();
  EXPECT_EQ(Run(DevOpEnable), kResultDone);
  EXPECT_THAT(tree.StateChanges(),
              ElementsAre("node 0: enable", "node 0: start", "node 1: enable", "node 1: start"));

  FakeDeviceTree refusing;
  refusing.AddNode({kAdapterId});
  refusing.AddNode({kAdapterId});
  refusing.Node(0).problem = platform::kProblemDisabled;
  refusing.Node(1).refuseParamsFor = {platform::kDicsEnable};
  EXPECT_EQ(RunDeviceOperation(context, DevOpEnable, {refusing, notice, debug}),
            kResultStateChangeRefused);
  EXPECT_EQ(refusing.Node(0).problem, 0u);  // the first stays enabled
  EXPECT_EQ(refusing.OpenLists(), 0u);
}

// ---- Class installer failures and other modes ----

TEST_F(DeviceNodesTest, FailingClassInstallerIsNeverARefusal) {
  const std::size_t node = AddAdapter();
  tree.Node(node).stopLeavesStarted = true;  // would refuse if a status test followed
  tree.FailEveryClassInstallerCall();
  EXPECT_EQ(Run(DevOpDisable), kResultDone);
  EXPECT_EQ(Run(DevOpEnable), kResultDone);
  EXPECT_THAT(Actions(), Not(::testing::Contains(HasSubstr("GetNodeStatus"))));
  EXPECT_EQ(tree.Reenumerations(), 0);
}

TEST_F(DeviceNodesTest, UnknownModeTouchesNothing) {
  AddAdapter();
  EXPECT_EQ(Run(7), kResultDone);
  EXPECT_THAT(Actions(), IsEmpty());
  FakeDeviceTree empty;
  EXPECT_EQ(RunDeviceOperation(context, -1, {empty, notice, debug}), kResultAdapterNotFound);
}

// ---- ChangeDeviceState ----

TEST_F(DeviceNodesTest, ChangeDeviceStateRejectsUnknownModesWithoutACall) {
  AddAdapter();
  platform::DeviceList list = tree.GetPresentDevices();
  platform::DeviceRecord record;
  ASSERT_TRUE(tree.EnumDevice(list, 0, record));
  const std::size_t callsBefore = tree.Calls().size();
  for (int32_t mode : {0, 5, -1}) {
    EXPECT_EQ(ChangeDeviceState(tree, list, record, static_cast<DeviceStateChangeMode>(mode)),
              kChangeBadMode);
  }
  EXPECT_EQ(tree.Calls().size(), callsBefore);
  tree.DestroyList(list);
}

TEST_F(DeviceNodesTest, ChangeDeviceStateAnswersPerMode) {
  AddAdapter();
  platform::DeviceList list = tree.GetPresentDevices();
  platform::DeviceRecord record;
  ASSERT_TRUE(tree.EnumDevice(list, 0, record));
  const platform::DeviceRecord original = record;

  tree.Node(0).stopLeavesStarted = true;
  EXPECT_EQ(ChangeDeviceState(tree, list, record, Mode::kStop), kResultStateChangeRefused);
  tree.Node(0).stopLeavesStarted = false;
  EXPECT_EQ(ChangeDeviceState(tree, list, record, Mode::kStop), kResultDone);
  EXPECT_EQ(ChangeDeviceState(tree, list, record, Mode::kDisable), kResultDone);
  EXPECT_EQ(ChangeDeviceState(tree, list, record, Mode::kStart), kChangeLeftProblem);
  EXPECT_EQ(ChangeDeviceState(tree, list, record, Mode::kEnable), kResultDone);
  EXPECT_EQ(ChangeDeviceState(tree, list, record, Mode::kStart), kResultDone);
  tree.Node(0).refuseParamsFor = {platform::kDicsStart};
  EXPECT_EQ(ChangeDeviceState(tree, list, record, Mode::kStart), kChangeParamsNotStored);
  EXPECT_EQ(std::memcmp(&record, &original, sizeof record), 0);
  tree.DestroyList(list);
}

// ---- ShowLastError ----

TEST_F(DeviceNodesTest, ShowLastErrorUsesTheSystemsText) {
  tree.SetErrorText(2, u"The system cannot find the file specified.\r\n");
  tree.SetLastError(2);
  EXPECT_EQ(ShowLastError(tree, notice, u"SomeCall"), 0);
  ASSERT_EQ(notice.Notices().size(), 1u);
  EXPECT_EQ(notice.Notices()[0].caption, u"SomeCall");
  EXPECT_EQ(notice.Notices()[0].text, u"The system cannot find the file specified.\r\n");
}

TEST_F(DeviceNodesTest, ShowLastErrorWithoutTextSwapsNameAndCode) {
  for (uint32_t code : {0x1Fu, 0u, 0xE000020Bu}) {
    tree.SetLastError(code);
    ShowLastError(tree, notice, u"Op");
  }
  ASSERT_EQ(notice.Notices().size(), 3u);
  EXPECT_EQ(notice.Notices()[0].caption, u"0x1f");
  EXPECT_EQ(notice.Notices()[0].text, u"Op");
  EXPECT_EQ(notice.Notices()[1].caption, u"0x0");
  EXPECT_EQ(notice.Notices()[2].caption, u"0xe000020b");
}

TEST_F(DeviceNodesTest, ShowLastErrorRestoresTheLastErrorTheNoticeDisturbed) {
  notice.onShow = [this](const FakeUserNotice::Notice&) { tree.SetLastError(1400); };
  tree.SetLastError(kErrorGenFailure);
  ShowLastError(tree, notice, u"Op");
  EXPECT_EQ(tree.LastError(), kErrorGenFailure);
}

// ---- The process-wide bindings ----

TEST_F(DeviceNodesTest, PlainFormsUseTheCurrentPlatform) {
  const ServicePlatform saved = CurrentPlatform();
  ServicePlatform bindings;
  UsePlatform(bindings);
  EXPECT_EQ(RunDeviceOperation(context, DevOpQuery), kResultNoDeviceList);  // nothing wired yet

  bindings.deviceTree = &tree;
  bindings.userNotice = &notice;
  bindings.debugOutput = &debug;
  UsePlatform(bindings);
  AddAdapter();
  EXPECT_EQ(RunDeviceOperation(context, DevOpQuery), kResultAdapterWorks);
  UsePlatform(saved);
}

}  // namespace
}  // namespace zylservice
