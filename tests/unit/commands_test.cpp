// The five command handlers against an in-memory library, device tree and notice.
#include "service/commands.h"

#include <gtest/gtest.h>

#include "service/lifecycle.h"
#include "service/service_platform.h"
#include "tests/fakes/debug_output.h"
#include "tests/fakes/device_tree.h"
#include "tests/fakes/library_loader.h"
#include "tests/fakes/user_notice.h"

namespace zylservice {
namespace {

using namespace zylprotocol;

constexpr char16_t kAdapterId[] = u"PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00";

// What the in-memory library does when called, and what it was called with.
struct LibraryScript {
  int initCalls = 0;
  int32_t countAnswer = 1;
  uint32_t countFound = 0;
  bool storesFoundId = false;
  uint32_t foundId = 0;
  bool storesCommand = true;
  uint32_t commandValue = 0x0107;
  int32_t lastIndex = -1;
} script;

int32_t InitLibrary() {
  ++script.initCalls;
  return -5;  // ignored by the handler
}

int32_t GetPciDeviceCount(uint32_t, uint32_t, uint32_t* count, uint32_t* foundId) {
  *count = script.countFound;
  if (script.storesFoundId) *foundId = script.foundId;
  return script.countAnswer;
}

int32_t GetPciCommandReg(uint32_t, uint32_t, int32_t index, uint32_t* command) {
  script.lastIndex = index;
  if (!script.storesCommand) return -11;
  *command = script.commandValue;
  return 1;
}

std::map<std::string, void*> AllExports() {
  return {{"QV_InitLibrary", reinterpret_cast<void*>(InitLibrary)},
          {"QV_GetPciDeviceCount", reinterpret_cast<void*>(GetPciDeviceCount)},
          {"QV_GetPciCommandReg", reinterpret_cast<void*>(GetPciCommandReg)}};
}

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script = LibraryScript{};
    ResetServiceStateForTesting();
    loader.AddLibrary(u"Qvzyl.Dll", AllExports());
    bindings.libraryLoader = &loader;
    bindings.userNotice = &notice;
    bindings.deviceTree = &tree;
    bindings.debugOutput = &debug;
    UsePlatform(bindings);
  }
  void TearDown() override {
    ResetServiceStateForTesting();
    UsePlatform(ServicePlatform{});
  }

  ZylRequest Run(CommandHandler handler, ZylRequest request) {
    handler(&request);
    return request;
  }
  ZylRequest Run(uint32_t command, uint32_t matchId = 0, uint32_t matchSubsys = 0,
                 uint32_t count = 0, uint16_t foundVendor = 0, uint16_t foundDevice = 0) {
    return Run(kZylCommandHandlers[command],
               ZylRequest{command, matchId, matchSubsys, count, -999, foundVendor, foundDevice});
  }

  platform::FakeLibraryLoader loader;
  platform::FakeUserNotice notice;
  platform::FakeDeviceTree tree;
  platform::FakeDebugOutput debug;
  ServicePlatform bindings;
};

TEST_F(CommandsTest, LoadCreatesAContextLoadsByBareNameAndIgnoresInitsAnswer) {
  EXPECT_EQ(Run(ZylCmdLoadLibrary).result, 1);
  ASSERT_NE(serviceContext, nullptr);
  EXPECT_NE(serviceContext->library, nullptr);
  EXPECT_EQ(script.initCalls, 1);
  EXPECT_EQ(loader.Log().Count("Load Qvzyl.Dll"), 1);
  EXPECT_TRUE(notice.Notices().empty());
}

TEST_F(CommandsTest, SecondLoadRunsInitAgainAndStartsAFreshContext) {
  Run(ZylCmdLoadLibrary);
  Run(ZylCmdCountDevices, 0xABCD1234);
  ASSERT_EQ(serviceContext->vendorId, 0x1234u);
  EXPECT_EQ(Run(ZylCmdLoadLibrary).result, 1);
  EXPECT_EQ(script.initCalls, 2);
  EXPECT_EQ(serviceContext->vendorId, 0u);
  EXPECT_EQ(serviceContext->deviceId, 0u);
}

// The library runs with the service's rights: one that others than administrators may change,
// or in a folder they may change, is not loaded at all.
TEST_F(CommandsTest, ALibraryOthersMayChangeIsNotLoadedAndAnswers105) {
  loader.Log().FailAlways("OnlyAdministratorsCanChange Qvzyl.Dll");
  EXPECT_EQ(Run(ZylCmdLoadLibrary).result, -105);
  EXPECT_EQ(loader.Log().Count("Load Qvzyl.Dll"), 0);
  EXPECT_EQ(script.initCalls, 0);
  EXPECT_NE(debug.Text().find(u"ZYLCTRL:Qvzyl.Dll not loaded"), std::u16string::npos);
  ASSERT_NE(serviceContext, nullptr);
  EXPECT_EQ(serviceContext->library, nullptr);
}

TEST_F(CommandsTest, MissingLibraryAnswers105WithoutNoticeThenCountShowsTheNotice) {
  platform::FakeLibraryLoader empty;
  bindings.libraryLoader = &empty;
  UsePlatform(bindings);
  EXPECT_EQ(Run(ZylCmdLoadLibrary).result, -105);
  EXPECT_TRUE(notice.Notices().empty());
  ASSERT_NE(serviceContext, nullptr) << "the new context stays current";
  EXPECT_EQ(serviceContext->library, nullptr);

  const ZylRequest counted = Run(ZylCmdCountDevices, 0xABCD1234, 0, 55);
  EXPECT_EQ(counted.result, -106);
  EXPECT_EQ(counted.count, 55u) << "count stays as the client sent it";
  ASSERT_EQ(notice.Notices().size(), 1u);
  EXPECT_EQ(notice.Notices()[0].text,
            u"Could not get the function from library.(QV_GetPciDeviceCount)");
  EXPECT_EQ(notice.Notices()[0].caption, empty.ProgramFilePath());
  EXPECT_EQ(notice.Notices()[0].type, 0x30u);
  EXPECT_EQ(serviceContext->vendorId, 0u);
}

TEST_F(CommandsTest, EachMissingExportHasItsOwnNotice) {
  struct Case {
    const char* missing;
    uint32_t command;
    std::u16string text;
  } cases[] = {
      {"QV_InitLibrary", ZylCmdLoadLibrary,
       u"関数のポインタが取得できませんでした。QV_InitLibrary"},
      {"QV_GetPciDeviceCount", ZylCmdCountDevices,
       u"Could not get the function from library.(QV_GetPciDeviceCount)"},
      {"QV_GetPciCommandReg", ZylCmdQueryState,
       u"Could not get the function from library.(QV_GetPciCommandReg)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.missing);
    auto exports = AllExports();
    exports.erase(c.missing);
    loader.AddLibrary(u"Qvzyl.Dll", exports);
    ResetServiceStateForTesting();
    if (c.command != ZylCmdLoadLibrary) Run(ZylCmdLoadLibrary);
    const size_t before = notice.Notices().size();
    EXPECT_EQ(Run(c.command, 0x81CE104D).result, -106);
    ASSERT_EQ(notice.Notices().size(), before + 1);
    EXPECT_EQ(notice.Notices().back().text, c.text);
  }
}

TEST_F(CommandsTest, CountByIdTakesTheIdentifiersFromMatchIdWhateverTheCount) {
  Run(ZylCmdLoadLibrary);
  script.countFound = 0;
  const ZylRequest reply = Run(ZylCmdCountDevices, 0x81CE104D, 0, 9, 0x1111, 0x2222);
  EXPECT_EQ(reply.result, 1);
  EXPECT_EQ(reply.count, 0u);
  EXPECT_EQ(reply.foundVendor, 0x1111) << "the library stores a found ID only by subsystem";
  EXPECT_EQ(reply.foundDevice, 0x2222);
  EXPECT_EQ(serviceContext->vendorId, 0x104Du);
  EXPECT_EQ(serviceContext->deviceId, 0x81CEu);
}

TEST_F(CommandsTest, CountBySubsystemTakesTheIdentifiersTheLibraryFound) {
  Run(ZylCmdLoadLibrary);
  script.countFound = 1;
  script.storesFoundId = true;
  script.foundId = 0x905C104D;
  const ZylRequest reply = Run(ZylCmdCountDevices, 0, 0x81CE104D);
  EXPECT_EQ(reply.result, 1);
  EXPECT_EQ(reply.count, 1u);
  EXPECT_EQ(reply.foundVendor, 0x104D);
  EXPECT_EQ(reply.foundDevice, 0x905C);
  EXPECT_EQ(serviceContext->vendorId, 0x104Du);
  EXPECT_EQ(serviceContext->deviceId, 0x905Cu);
}

TEST_F(CommandsTest, CountBySubsystemWithoutAFindKeepsTheClientsFoundFields) {
  Run(ZylCmdLoadLibrary);
  const ZylRequest reply = Run(ZylCmdCountDevices, 0, 0x81CE104D, 3, 0x1987, 0x5000);
  EXPECT_EQ(reply.result, 1);
  EXPECT_EQ(serviceContext->vendorId, 0x1987u);
  EXPECT_EQ(serviceContext->deviceId, 0x5000u);
}

TEST_F(CommandsTest, FailedCountClearsAnEarlierSelection) {
  Run(ZylCmdLoadLibrary);
  Run(ZylCmdCountDevices, 0x81CE104D);
  script.countAnswer = 0;
  EXPECT_EQ(Run(ZylCmdCountDevices, 0x81CE104D).result, -200);
  EXPECT_EQ(serviceContext->vendorId, 0u);
  EXPECT_EQ(serviceContext->deviceId, 0u);
}

TEST_F(CommandsTest, QueryAnswers4WithoutTouchingTheDeviceWhenTheLow16BitsAreZero) {
  tree.AddNode({kAdapterId});
  Run(ZylCmdLoadLibrary);
  for (bool stores : {true, false}) {
    script.storesCommand = stores;
    script.commandValue = 0xFFFF0000;  // only bits above 15
    const ZylRequest reply = Run(ZylCmdQueryState, 0x81CE104D, 0, 3);
    EXPECT_EQ(reply.result, 4);
    EXPECT_EQ(script.lastIndex, 3);
  }
  EXPECT_EQ(tree.ListsCreated(), 0) << "no device-node query";
}

TEST_F(CommandsTest, QueryWithACommandBitSetAnswersTheDeviceNodesState) {
  tree.AddNode({kAdapterId});
  Run(ZylCmdLoadLibrary);
  script.commandValue = 0x0100;  // a bit above the low byte still counts
  EXPECT_EQ(Run(ZylCmdQueryState).result, 2);
  tree.Node(0).problem = 22;
  EXPECT_EQ(Run(ZylCmdQueryState).result, 3);
}

TEST_F(CommandsTest, DisableAndEnableAnswerWhatTheDeviceOperationAnswers) {
  Run(ZylCmdLoadLibrary);
  EXPECT_EQ(Run(ZylCmdDisable).result, -102) << "no adapter node";
  tree.AddNode({kAdapterId});
  EXPECT_EQ(Run(ZylCmdDisable).result, 1);
  EXPECT_EQ(Run(ZylCmdEnable).result, 1);
  EXPECT_EQ(tree.StateChanges(), (std::vector<std::string>{"node 0: stop", "node 0: disable",
                                                           "node 0: enable", "node 0: start"}));
}

TEST_F(CommandsTest, DeviceOperationsLookForTheIdentifiersTheCountChose) {
  tree.AddNode({u"PCI\\VEN_1234&DEV_ABCD&SUBSYS_81CE104D&REV_00"});
  Run(ZylCmdLoadLibrary);
  EXPECT_EQ(Run(ZylCmdDisable).result, -102) << "a fresh context's identifiers are 0";
  Run(ZylCmdCountDevices, 0xABCD1234);
  EXPECT_EQ(Run(ZylCmdDisable).result, 1);
}

TEST_F(CommandsTest, CommandsBeforeAnyLoadAnswer107AndTouchNothing) {
  tree.AddNode({kAdapterId});
  for (uint32_t command = 1; command < 5; ++command) {
    EXPECT_EQ(Run(command, 0x81CE104D).result, kResultNoContext) << command;
  }
  EXPECT_TRUE(loader.Log().Calls().empty());
  EXPECT_EQ(tree.ListsCreated(), 0);
  EXPECT_TRUE(notice.Notices().empty());
}

TEST_F(CommandsTest, NoHandlerChangesCommandMatchIdOrMatchSubsys) {
  tree.AddNode({kAdapterId});
  script.storesFoundId = true;
  script.foundId = 0x81CE104D;
  for (uint32_t command = 0; command < 5; ++command) {
    const ZylRequest reply = Run(command, command == 1 ? 0 : 0x81CE104D, 0x81CE104D, 0);
    EXPECT_EQ(reply.command, command);
    EXPECT_EQ(reply.matchId, command == 1 ? 0u : 0x81CE104Du);
    EXPECT_EQ(reply.matchSubsys, 0x81CE104Du);
    if (command != 1) {
      EXPECT_EQ(reply.count, 0u);
      EXPECT_EQ(reply.foundVendor, 0);
      EXPECT_EQ(reply.foundDevice, 0);
    }
  }
}

TEST_F(CommandsTest, ExportsAreLookedUpOnEveryCommand) {
  Run(ZylCmdLoadLibrary);
  Run(ZylCmdCountDevices, 1);
  Run(ZylCmdCountDevices, 1);
  Run(ZylCmdQueryState);
  Run(ZylCmdQueryState);
  EXPECT_EQ(loader.Log().Count("FindExport QV_GetPciDeviceCount"), 2);
  EXPECT_EQ(loader.Log().Count("FindExport QV_GetPciCommandReg"), 2);
}

}  // namespace
}  // namespace zylservice
