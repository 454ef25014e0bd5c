#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "hwaccess_fixture.h"

namespace hwaccess_test {
namespace {

using platform::FakeDriverManager;
using Operation = platform::FakeDriverManager::Operation;
using ServiceState = platform::FakeDriverManager::ServiceState;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kSysPath[] = "C:\\Program Files\\Tavik\\\\qvzyl64.sys";
constexpr uint32_t kAdapterId = 0x1234ABCD;
constexpr uint32_t kAdapterSubsys = 0x00017A1B;

int CallsContaining(const FakeDriverManager& manager, const std::string& text) {
  int n = 0;
  for (const std::string& call : manager.calls()) n += call.find(text) != std::string::npos;
  return n;
}

using LibraryTest = HwaccessTest;

TEST_F(LibraryTest, StateBeforeAnyInitialisation) {
  EXPECT_EQ(QV_GetLastError(), 0);
  EXPECT_EQ(CQVACS::CurrentStatus, 0);
  EXPECT_EQ(nQVACS, 0);
  EXPECT_EQ(fnQVACS(), 42);
}

TEST_F(LibraryTest, InitInstallsStartsAndOpensAndSaysSoByteForByte) {
  EXPECT_EQ(QV_InitLibrary(), kQvSuccess);
  EXPECT_EQ(QV_GetLastError(), kQvSuccess);
  EXPECT_EQ(debug.Joined(), std::string("Is64Win->\nDriverName=qvzyl64\n"
                                        "QV_InitLibrary------------->\n") +
                                kSysPath + "Is64Win->\n<-------------QV_InitLibrary\n");
  EXPECT_EQ(manager.FindService("qvzyl64")->state, ServiceState::kRunning);
  EXPECT_EQ(manager.FindService("qvzyl64")->binaryPath, kSysPath);
  EXPECT_EQ(manager.OpenDeviceCount(), 1);
  EXPECT_EQ(manager.OpenHandleCount(), 1);  // the device, nothing else
  EXPECT_EQ(fnQVACS(), 42);
}

TEST_F(LibraryTest, On32BitWindowsTheDriverIsTheShortName) {
  manager.SetNativeArchitecture(0);
  EXPECT_EQ(QV_InitLibrary(), kQvSuccess);
  EXPECT_NE(manager.FindService("qvzyl"), nullptr);
  EXPECT_EQ(manager.FindService("qvzyl")->binaryPath, "C:\\Program Files\\Tavik\\\\qvzyl.sys");
}

TEST_F(LibraryTest, ABadDriverStopsInitWithoutReinstallOrOpen) {
  manager.FailStartOf("qvzyl64", platform::kErrorBadDriver);
  EXPECT_EQ(QV_InitLibrary(), kQvDriverFailed64);
  EXPECT_EQ(QV_GetLastError(), kQvDriverFailed64);
  EXPECT_THAT(debug.Joined(), HasSubstr(std::string(kSysPath) + "Is64Win->\nManageQVDriver Err"));
  EXPECT_EQ(CallsContaining(manager, "DeleteService"), 0);
  EXPECT_EQ(CallsContaining(manager, "CreateFileA"), 0);

  ResetLibrary();
  manager.SetNativeArchitecture(0);
  manager.FailStartOf("qvzyl", platform::kErrorBadDriver);
  EXPECT_EQ(QV_InitLibrary(), kQvDriverFailed);
}

TEST_F(LibraryTest, WithoutTheServiceManagerARunningDriverIsStillReached) {
  manager.FailWith(Operation::kOpenManager, platform::kErrorAccessDenied);
  EXPECT_EQ(QV_InitLibrary(), kQvDeviceMissing64);
  EXPECT_EQ(CallsContaining(manager, "OpenSCManagerA"), 3);  // mode 1, mode 2, mode 1
  EXPECT_THAT(debug.Joined(), HasSubstr("LoadQVDriver Err"));

  manager.SetDeviceMode(FakeDriverManager::DeviceMode::kPresent);  // left running earlier
  EXPECT_EQ(QV_InitLibrary(), kQvSuccess);

  manager.SetDeviceMode(FakeDriverManager::DeviceMode::kMissing);
  manager.SetNativeArchitecture(0);
  EXPECT_EQ(QV_InitLibrary(), kQvDeviceMissing);
}

TEST_F(LibraryTest, AnyOtherInstallFailureRemovesAndReinstallsOnce) {
  // A stale registration that cannot be started (for instance its file is gone) is replaced.
  manager.AddService("qvzyl64", ServiceState::kInstalled, "D:\\gone\\qvzyl64.sys");
  manager.FailStartOf("qvzyl64", platform::kErrorFileNotFound);
  EXPECT_EQ(QV_InitLibrary(), kQvDeviceMissing64);
  EXPECT_EQ(CallsContaining(manager, "DeleteService"), 1);
  EXPECT_EQ(CallsContaining(manager, "CreateServiceA"), 2);
  EXPECT_EQ(CallsContaining(manager, "CreateFileA"), 1);
  EXPECT_EQ(manager.FindService("qvzyl64")->binaryPath, kSysPath);
  EXPECT_EQ(manager.OpenHandleCount(), 0);
}

TEST_F(LibraryTest, ARegistrationThatCannotBePointedHereIsRemovedAndMadeAnew) {
  manager.AddService("qvzyl64", ServiceState::kInstalled, "C:\\users\\Public\\qvzyl64.sys");
  manager.FailWith(Operation::kChangeConfig, platform::kErrorAccessDenied);
  EXPECT_EQ(QV_InitLibrary(), kQvSuccess);
  EXPECT_EQ(CallsContaining(manager, "DeleteService"), 1);
  EXPECT_EQ(CallsContaining(manager, "CreateServiceA"), 2);
  EXPECT_EQ(manager.FindService("qvzyl64")->binaryPath, kSysPath);
  EXPECT_EQ(manager.FindService("qvzyl64")->state, ServiceState::kRunning);
}

TEST_F(LibraryTest, ADriverFolderThatUsersMayChangeGetsNoDriverInstalled) {
  manager.LetUsersChange("C:\\Program Files\\Tavik");
  EXPECT_EQ(QV_InitLibrary(), kQvDeviceMissing64);
  EXPECT_EQ(CallsContaining(manager, "CreateServiceA"), 0);
  EXPECT_EQ(CallsContaining(manager, "StartServiceA"), 0);
  EXPECT_EQ(CallsContaining(manager, "CreateFileA"), 1) << "a driver left running is still used";
  EXPECT_THAT(debug.Joined(), HasSubstr("InstallService Err"));
  EXPECT_TRUE(manager.services().empty());
}

TEST_F(LibraryTest, ADeviceThatRefusesToOpenGivesTheDriverFailureCode) {
  manager.FailWith(Operation::kOpenDevice, platform::kErrorAccessDenied);
  EXPECT_EQ(QV_InitLibrary(), kQvDriverFailed64);
  EXPECT_EQ(manager.FindService("qvzyl64")->state, ServiceState::kRunning);
}

TEST_F(LibraryTest, ARejectionLeftFromAnEarlierCallAlsoStopsInit) {
  manager.FailStartOf("qvzyl64", platform::kErrorBadDriver);
  EXPECT_EQ(QV_InitLibrary(), kQvDriverFailed64);
  // The driver would open now, but the service manager is out of reach and the last-error
  // value still says "rejected": the sequence stops there.
  manager.SetDeviceMode(FakeDriverManager::DeviceMode::kPresent);
  manager.FailWith(Operation::kOpenManager, platform::kErrorAccessDenied);
  EXPECT_EQ(QV_InitLibrary(), kQvDriverFailed64);
  EXPECT_EQ(CallsContaining(manager, "CreateFileA"), 0);
}

TEST_F(LibraryTest, ASecondInitReleasesTheFirstObjectAndItsDevice) {
  EXPECT_EQ(QV_InitLibrary(), kQvSuccess);
  CQVACS* first = hwaccess::State().object;
  EXPECT_EQ(QV_InitLibrary(), kQvSuccess);  // the exclusive device could not open twice
  EXPECT_NE(hwaccess::State().object, nullptr);
  EXPECT_EQ(CallsContaining(manager, "CloseHandle(device)"), 1);
  EXPECT_EQ(manager.OpenDeviceCount(), 1);
  EXPECT_EQ(manager.BadHandleCount(), 0);
  (void)first;
}

TEST_F(LibraryTest, WhenThePathDoesNotFitInitSkipsTheInstallAndStillOpens) {
  manager.SetHostExecutablePath("C:\\" + std::string(300, 'd') + "\\VokZylControl.exe");
  manager.SetDeviceMode(FakeDriverManager::DeviceMode::kPresent);
  EXPECT_EQ(QV_InitLibrary(), kQvSuccess);
  EXPECT_THAT(debug.Joined(), HasSubstr("QV_InitLibrary------------->\nGetSysPath Err"));
  EXPECT_EQ(CallsContaining(manager, "OpenSCManagerA"), 0);
  EXPECT_EQ(CallsContaining(manager, "CreateFileA"), 1);
}

TEST_F(LibraryTest, ExitClosesTheDeviceAndDeletesTheService) {
  ASSERT_EQ(QV_InitLibrary(), kQvSuccess);
  EXPECT_EQ(QV_ExitLibrary(), kQvSuccess);
  EXPECT_EQ(hwaccess::State().object, nullptr);
  EXPECT_EQ(manager.FindService("qvzyl64"), nullptr);
  EXPECT_EQ(manager.OpenHandleCount(), 0);
  EXPECT_EQ(manager.BadHandleCount(), 0);
  // The device goes before the service does.
  const auto& calls = manager.calls();
  const auto close = std::find(calls.begin(), calls.end(), "CloseHandle(device)");
  const auto stop = std::find(calls.begin(), calls.end(), "ControlService(qvzyl64, 1)");
  EXPECT_LT(close, stop);
}

TEST_F(LibraryTest, ExitIsRefusedWhileCurrentStatusIsSet) {
  ASSERT_EQ(QV_InitLibrary(), kQvSuccess);
  manager.ClearCalls();
  CQVACS::CurrentStatus = -3;
  EXPECT_EQ(QV_ExitLibrary(), kQvExitRefused);
  EXPECT_TRUE(manager.calls().empty());
  EXPECT_EQ(manager.OpenDeviceCount(), 1);
  EXPECT_EQ(manager.FindService("qvzyl64")->state, ServiceState::kRunning);
  CQVACS::CurrentStatus = 0;
}

TEST_F(LibraryTest, ExitKeepsTheObjectWithoutADeviceWhenTheServiceStays) {
  ASSERT_EQ(QV_InitLibrary(), kQvSuccess);
  manager.FailWith(Operation::kDeleteService, platform::kErrorAccessDenied);
  EXPECT_EQ(QV_ExitLibrary(), kQvServiceNotDeleted);
  EXPECT_NE(hwaccess::State().object, nullptr);
  EXPECT_EQ(manager.OpenDeviceCount(), 0);
  manager.ClearFailure(Operation::kDeleteService);
  EXPECT_EQ(QV_ExitLibrary(), kQvSuccess);
  EXPECT_EQ(CallsContaining(manager, "CloseHandle(device)"), 1);
  EXPECT_EQ(manager.BadHandleCount(), 0);
}

TEST_F(LibraryTest, WithoutAnObjectTheExportsAnswerWithoutTouchingAnything) {
  int32_t count = 9, found = 9, command = 9;
  EXPECT_EQ(QV_GetPciDeviceCount(kAdapterId, 0, &count, &found), 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(found, 9);
  EXPECT_EQ(QV_GetPciCommandReg(kAdapterId, 0, 0, &command), kQvIndexOutOfRange);
  EXPECT_EQ(command, 9);
  EXPECT_EQ(QV_ExitLibrary(), kQvNoObject);
  EXPECT_TRUE(manager.calls().empty());
  EXPECT_EQ(bus.transfers(), 0u);
  EXPECT_EQ(fnQVACS(), 42);

  ASSERT_EQ(QV_InitLibrary(), kQvSuccess);
  ASSERT_EQ(QV_ExitLibrary(), kQvSuccess);
  EXPECT_EQ(QV_ExitLibrary(), kQvNoObject);
  EXPECT_EQ(QV_GetPciDeviceCount(kAdapterId, 0, &count, &found), 1);
  EXPECT_EQ(count, 0);
}

TEST_F(LibraryTest, SetWindowMessageChecksTheWindowFirst) {
  int window = 0;
  EXPECT_EQ(QV_SetWindowMessage(nullptr, 0), kQvNoWindow);
  EXPECT_EQ(QV_SetWindowMessage(nullptr, 0x400), kQvNoWindow);
  EXPECT_EQ(QV_SetWindowMessage(&window, 0), kQvNoMessage);
  EXPECT_EQ(QV_SetWindowMessage(&window, 0x400), kQvSuccess);
  EXPECT_EQ(hwaccess::State().window, &window);
  EXPECT_EQ(hwaccess::State().windowMessage, 0x400u);
}

TEST_F(LibraryTest, TheExportsScanThroughTheOpenedDevice) {
  bus.AddFunction(0, 2, 0, 0x0D578086, 0, 0x07);
  bus.AddFunction(5, 0, 0, kAdapterId, kAdapterSubsys, 0xFF06);
  bus.AddFunction(6, 0, 0, kAdapterId, kAdapterSubsys, 0x0000);
  ASSERT_EQ(QV_InitLibrary(), kQvSuccess);

  int32_t count = -1, found = 0x5555;
  EXPECT_EQ(QV_GetPciDeviceCount(kAdapterId, 0, &count, &found), 1);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(found, 0x5555);
  EXPECT_EQ(QV_GetPciDeviceCount(0, kAdapterSubsys, &count, &found), 1);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(static_cast<uint32_t>(found), kAdapterId);

  int32_t command = 0;
  EXPECT_EQ(QV_GetPciCommandReg(kAdapterId, 0, 0, &command), kQvSuccess);
  EXPECT_EQ(command, 6);  // the real register in ID mode too, low byte only
  EXPECT_EQ(QV_GetPciCommandReg(kAdapterId, kAdapterSubsys, 1, &command), kQvSuccess);
  EXPECT_EQ(command, 0);
  command = 77;
  EXPECT_EQ(QV_GetPciCommandReg(kAdapterId, 0, 2, &command), kQvIndexOutOfRange);
  EXPECT_EQ(QV_GetPciCommandReg(kAdapterId, 0, -1, &command), kQvIndexOutOfRange);
  EXPECT_EQ(command, 77);
}

TEST_F(LibraryTest, AnObjectWithoutADeviceFindsNothing) {
  bus.AddFunction(0, 0, 0, kAdapterId, kAdapterSubsys, 0x07);
  manager.SetDeviceMode(FakeDriverManager::DeviceMode::kMissing);
  ASSERT_EQ(QV_InitLibrary(), kQvDeviceMissing64);
  int32_t count = -1, found = 3;
  QV_GetPciDeviceCount(kAdapterId, 0, &count, &found);
  EXPECT_EQ(count, 0);
  QV_GetPciDeviceCount(0, kAdapterSubsys, &count, &found);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(found, 3);
}

TEST_F(LibraryTest, CopyAssignmentCopiesEveryField) {
  TestableCQVACS a;
  TestableCQVACS b;
  a.SetDevice(kSomeDevice);
  ASSERT_TRUE(a.GetSysPath(const_cast<char*>(a.path())));
  b = a;
  EXPECT_EQ(b.device(), kSomeDevice);
  EXPECT_STREQ(b.path(), kSysPath);
}

}  // namespace
}  // namespace hwaccess_test
