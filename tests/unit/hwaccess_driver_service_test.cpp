#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hwaccess/path_split.h"
#include "hwaccess_fixture.h"

namespace hwaccess_test {
namespace {

using platform::FakeDriverManager;
using Operation = platform::FakeDriverManager::Operation;
using ServiceState = platform::FakeDriverManager::ServiceState;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kPath[] = "C:\\Program Files\\Tavik\\\\qvzyl64.sys";

class DriverServiceTest : public HwaccessTest {
 protected:
  bool Manage(const char* name, const char* path, int mode) {
    return object.ManageQVDriver(const_cast<char*>(name), const_cast<char*>(path), mode);
  }
  // Built after the fake is in place: the constructor already asks for the architecture.
  void SetUp() override {
    HwaccessTest::SetUp();
    manager.ClearCalls();
    debug.pieces.clear();
  }
  TestableCQVACS object;
};

TEST_F(DriverServiceTest, ModeOneInstallsAndStartsWithTheDriverServiceParameters) {
  EXPECT_TRUE(Manage("qvzyl64", kPath, 1));
  EXPECT_THAT(
      manager.calls(),
      ElementsAre(
          "OpenSCManagerA(0xF003F)", "OnlyAdministratorsCanChange(C:\\Program Files\\Tavik)",
          std::string("OnlyAdministratorsCanChange(") + kPath + ")",
          std::string("CreateServiceA(qvzyl64, qvzyl64, 0xF01FF, 1, 3, 1, ") + kPath + ")",
          "CloseServiceHandle(qvzyl64)", "OpenServiceA(qvzyl64, 0xF01FF)", "StartServiceA(qvzyl64)",
          "CloseServiceHandle(qvzyl64)", "CloseServiceHandle(manager)"));
  ASSERT_NE(manager.FindService("qvzyl64"), nullptr);
  EXPECT_EQ(manager.FindService("qvzyl64")->state, ServiceState::kRunning);
  EXPECT_EQ(manager.FindService("qvzyl64")->binaryPath, kPath);
  EXPECT_EQ(manager.OpenHandleCount(), 0);
  EXPECT_EQ(manager.BadHandleCount(), 0);
}

// A registration of the name left by an earlier install elsewhere, or by another program, may
// name a file that users can write: it is pointed at this driver file before the start.
TEST_F(DriverServiceTest, AnExistingServiceNamingAnotherFileIsPointedAtThisOneBeforeItStarts) {
  manager.AddService("qvzyl64", ServiceState::kInstalled, "C:\\users\\Public\\qvzyl64.sys");
  EXPECT_TRUE(Manage("qvzyl64", kPath, 1));
  const std::vector<std::string> reconfigured = {
      "QueryServiceConfigA(qvzyl64)",
      std::string("ChangeServiceConfigA(qvzyl64, 1, 3, 1, ") + kPath + ")"};
  EXPECT_THAT(manager.calls(), ::testing::IsSupersetOf(reconfigured));
  const auto* service = manager.FindService("qvzyl64");
  EXPECT_EQ(service->binaryPath, kPath);
  EXPECT_EQ(service->state, ServiceState::kRunning);
  EXPECT_EQ(manager.OpenHandleCount(), 0);
  EXPECT_EQ(manager.BadHandleCount(), 0);
}

TEST_F(DriverServiceTest, AnotherKindOfServiceUnderTheNameIsMadeTheKernelDriver) {
  manager.AddService("qvzyl64", ServiceState::kInstalled, kPath, platform::kServiceWin32OwnProcess);
  EXPECT_TRUE(Manage("qvzyl64", kPath, 1));
  EXPECT_EQ(manager.FindService("qvzyl64")->serviceType, platform::kServiceKernelDriver);
}

TEST_F(DriverServiceTest, ARegistrationOfThisFileIsUsedAsItIsWhateverItsCaseOrPrefix) {
  const char* const forms[] = {kPath, "\\??\\C:\\PROGRAM FILES\\Tavik\\\\QVZYL64.SYS"};
  for (const char* form : forms) {
    manager.AddService("qvzyl64", ServiceState::kInstalled, form);
    manager.ClearCalls();
    EXPECT_TRUE(Manage("qvzyl64", kPath, 1)) << form;
    EXPECT_THAT(manager.calls(), Not(::testing::Contains(HasSubstr("ChangeServiceConfigA"))));
    EXPECT_EQ(manager.FindService("qvzyl64")->binaryPath, form);
  }
}

// A driver already running from another file would stay loaded: it is stopped, and started
// again from this one.
TEST_F(DriverServiceTest, ADriverRunningFromAnotherFileIsRestartedFromThisOne) {
  manager.AddService("qvzyl64", ServiceState::kRunning, "D:\\old\\qvzyl64.sys");
  EXPECT_TRUE(Manage("qvzyl64", kPath, 1));
  const auto& calls = manager.calls();
  const auto at = [&](const std::string& prefix) {
    return std::find_if(calls.begin(), calls.end(),
                        [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }) -
           calls.begin();
  };
  EXPECT_LT(at("ChangeServiceConfigA"), at("ControlService(qvzyl64, 1)"));
  EXPECT_LT(at("ControlService(qvzyl64, 1)"), at("StartServiceA"));
  EXPECT_EQ(manager.FindService("qvzyl64")->state, ServiceState::kRunning);
  EXPECT_EQ(manager.FindService("qvzyl64")->binaryPath, kPath);
}

TEST_F(DriverServiceTest, ARegistrationThatCannotBeReadOrChangedFailsTheInstall) {
  for (Operation failing : {Operation::kQueryConfig, Operation::kChangeConfig}) {
    manager.AddService("qvzyl64", ServiceState::kInstalled, "D:\\old\\qvzyl64.sys");
    manager.FailWith(failing, platform::kErrorAccessDenied);
    manager.ClearCalls();
    EXPECT_FALSE(Manage("qvzyl64", kPath, 1));
    EXPECT_THAT(manager.calls(), Not(::testing::Contains(HasSubstr("StartServiceA"))));
    EXPECT_EQ(manager.FindService("qvzyl64")->binaryPath, "D:\\old\\qvzyl64.sys");
    EXPECT_EQ(manager.OpenHandleCount(), 0);
    manager.ClearFailure(failing);
  }
}

// The kernel loads the driver from this file: a folder or file that ordinary users may change
// is refused before the service manager is asked for anything.
TEST_F(DriverServiceTest, ADriverFileOrFolderThatUsersMayChangeIsNeitherRegisteredNorStarted) {
  for (const char* changeable : {"C:\\Program Files\\Tavik", kPath}) {
    platform::FakeDriverManager fresh;
    hwaccess::UseHwPlatform({&fresh, &bus, &debug});
    fresh.AddService("qvzyl64", ServiceState::kInstalled, "D:\\old\\qvzyl64.sys");
    fresh.LetUsersChange(changeable);
    debug.pieces.clear();
    EXPECT_FALSE(Manage("qvzyl64", kPath, 1)) << changeable;
    EXPECT_THAT(fresh.calls(), Not(::testing::Contains(HasSubstr("ServiceA"))));
    EXPECT_THAT(fresh.calls(), Not(::testing::Contains(HasSubstr("ServiceConfigA"))));
    EXPECT_THAT(debug.Joined(), HasSubstr("InstallService Err"));
    EXPECT_EQ(fresh.FindService("qvzyl64")->binaryPath, "D:\\old\\qvzyl64.sys");
  }
  hwaccess::UseHwPlatform({&manager, &bus, &debug});
}

TEST_F(DriverServiceTest, ARunningServiceCountsAsStartedAndIsNotRestarted) {
  manager.AddService("qvzyl64", ServiceState::kRunning, kPath);
  EXPECT_TRUE(Manage("qvzyl64", kPath, 1));
  EXPECT_THAT(manager.calls(), Not(::testing::Contains(HasSubstr("ControlService"))));
  EXPECT_EQ(manager.FindService("qvzyl64")->state, ServiceState::kRunning);
}

TEST_F(DriverServiceTest, ABadDriverSetsTheArchitectureCodeAndFails) {
  manager.FailStartOf("qvzyl64", platform::kErrorBadDriver);
  EXPECT_FALSE(Manage("qvzyl64", kPath, 1));
  EXPECT_EQ(QV_GetLastError(), kQvDriverFailed64);

  manager.SetNativeArchitecture(0);  // x86
  EXPECT_FALSE(Manage("qvzyl64", kPath, 1));
  EXPECT_EQ(QV_GetLastError(), kQvDriverFailed);
  EXPECT_EQ(manager.OpenHandleCount(), 0);
}

// The codes as the service manager sends them, written out rather than taken from the constants
// the logic compares with: a wrong constant fails here.
TEST_F(DriverServiceTest, TheServiceManagersCodesAreReadAsWindowsSendsThem) {
  manager.AddService("qvzyl64", ServiceState::kInstalled, kPath);
  manager.FailWith(Operation::kCreateService, 1073);  // ERROR_SERVICE_EXISTS: use that one
  manager.FailStartOf("qvzyl64", 1056);               // ERROR_SERVICE_ALREADY_RUNNING: started
  EXPECT_TRUE(Manage("qvzyl64", kPath, 1));
  manager.FailStartOf("qvzyl64", 2001);  // ERROR_BAD_DRIVER
  EXPECT_FALSE(Manage("qvzyl64", kPath, 1));
  EXPECT_EQ(QV_GetLastError(), -6);
}

TEST_F(DriverServiceTest, OtherStartFailuresLeaveTheLastErrorAlone) {
  hwaccess::State().lastError = 77;
  manager.FailWith(Operation::kStartService, platform::kErrorAccessDenied);
  EXPECT_FALSE(Manage("qvzyl64", kPath, 1));
  EXPECT_EQ(QV_GetLastError(), 77);
  EXPECT_EQ(manager.OpenHandleCount(), 0);
}

TEST_F(DriverServiceTest, AFailedInstallIsNotFollowedByAStart) {
  manager.FailWith(Operation::kCreateService, platform::kErrorAccessDenied);
  EXPECT_FALSE(Manage("qvzyl64", kPath, 1));
  EXPECT_THAT(manager.calls(), Not(::testing::Contains(HasSubstr("StartServiceA"))));
  EXPECT_EQ(manager.OpenHandleCount(), 0);
}

TEST_F(DriverServiceTest, ModeTwoStopsAndDeletesAndTheServiceGoesOnceReleased) {
  manager.AddService("qvzyl64", ServiceState::kRunning, kPath);
  EXPECT_TRUE(Manage("qvzyl64", kPath, 2));
  EXPECT_THAT(manager.calls(),
              ElementsAre("OpenSCManagerA(0xF003F)", "OpenServiceA(qvzyl64, 0xF01FF)",
                          "ControlService(qvzyl64, 1)", "CloseServiceHandle(qvzyl64)",
                          "OpenServiceA(qvzyl64, 0xF01FF)", "DeleteService(qvzyl64)",
                          "CloseServiceHandle(qvzyl64)", "CloseServiceHandle(manager)"));
  EXPECT_EQ(manager.FindService("qvzyl64"), nullptr);
  EXPECT_EQ(manager.OpenHandleCount(), 0);
}

TEST_F(DriverServiceTest, ModeTwoDeletesEvenWhenTheStopFails) {
  manager.AddService("qvzyl64", ServiceState::kInstalled, kPath);
  EXPECT_TRUE(Manage("qvzyl64", kPath, 2));
  EXPECT_EQ(manager.FindService("qvzyl64"), nullptr);
}

TEST_F(DriverServiceTest, ModeTwoFailsWhenTheDeleteFailsOrThereIsNoService) {
  EXPECT_FALSE(Manage("qvzyl64", kPath, 2));
  manager.AddService("qvzyl64", ServiceState::kInstalled, kPath);
  manager.FailWith(Operation::kDeleteService, platform::kErrorAccessDenied);
  EXPECT_FALSE(Manage("qvzyl64", kPath, 2));
  EXPECT_NE(manager.FindService("qvzyl64"), nullptr);
  EXPECT_EQ(manager.OpenHandleCount(), 0);
}

TEST_F(DriverServiceTest, UnknownModesOpenAndCloseTheManagerAndFail) {
  for (int mode : {0, 3, -1}) {
    manager.ClearCalls();
    EXPECT_FALSE(Manage("qvzyl64", kPath, mode)) << mode;
    EXPECT_THAT(manager.calls(),
                ElementsAre("OpenSCManagerA(0xF003F)", "CloseServiceHandle(manager)"));
  }
}

TEST_F(DriverServiceTest, NullNameOrPathFailsWithoutContactingTheManager) {
  for (int mode : {1, 2, 3}) {
    EXPECT_FALSE(Manage(nullptr, kPath, mode));
    EXPECT_FALSE(Manage("qvzyl64", nullptr, mode));
  }
  EXPECT_TRUE(manager.calls().empty());
}

TEST_F(DriverServiceTest, WithoutTheManagerNothingElseIsTouched) {
  manager.FailWith(Operation::kOpenManager, platform::kErrorAccessDenied);
  EXPECT_FALSE(Manage("qvzyl64", kPath, 1));
  EXPECT_FALSE(Manage("qvzyl64", kPath, 2));
  EXPECT_THAT(manager.calls(), ElementsAre("OpenSCManagerA(0xF003F)", "OpenSCManagerA(0xF003F)"));
}

TEST_F(DriverServiceTest, TheProtectedStepsReportTheirOwnResults) {
  platform::Handle scm = manager.OpenManager(platform::kScManagerAllAccess);
  EXPECT_FALSE(object.StartQVDriver(Sc(scm), "qvzyl64"));  // no such service
  EXPECT_FALSE(object.StopQVDriver(Sc(scm), "qvzyl64"));
  EXPECT_FALSE(object.RemoveQVDriver(Sc(scm), "qvzyl64"));
  EXPECT_TRUE(object.InstallService(Sc(scm), "qvzyl64", kPath));
  // Exists: pointed at the file given.
  EXPECT_TRUE(object.InstallService(Sc(scm), "qvzyl64", "D:\\elsewhere\\qvzyl64.sys"));
  EXPECT_FALSE(object.StopQVDriver(Sc(scm), "qvzyl64"));  // not running
  EXPECT_TRUE(object.StartQVDriver(Sc(scm), "qvzyl64"));
  EXPECT_TRUE(object.StopQVDriver(Sc(scm), "qvzyl64"));
  // Someone else still holds the service: it stays, marked for deletion, until released.
  platform::Handle held = manager.OpenDriverService(scm, "qvzyl64", platform::kServiceAllAccess);
  EXPECT_TRUE(object.RemoveQVDriver(Sc(scm), "qvzyl64"));
  EXPECT_FALSE(object.InstallService(Sc(scm), "qvzyl64", kPath));
  EXPECT_EQ(manager.LastError(), platform::kErrorServiceMarkedForDelete);
  manager.CloseServiceHandle(held);
  EXPECT_EQ(manager.FindService("qvzyl64"), nullptr);
  EXPECT_TRUE(object.InstallService(Sc(scm), "qvzyl64", kPath));
  manager.CloseServiceHandle(scm);
  EXPECT_EQ(manager.OpenHandleCount(), 0);
}

TEST_F(DriverServiceTest, InstallRefusesAPathThatDoesNotFit) {
  platform::Handle scm = manager.OpenManager(platform::kScManagerAllAccess);
  const std::string tooLong = "C:\\" + std::string(257, 'x');
  EXPECT_FALSE(object.InstallService(Sc(scm), "qvzyl64", tooLong.c_str()));
  EXPECT_TRUE(object.InstallService(Sc(scm), "qvzyl64", tooLong.substr(0, 259).c_str()));
  manager.CloseServiceHandle(scm);
}

TEST_F(DriverServiceTest, SysPathIsTheHostDirectoryAndTheDriverName) {
  char path[260];
  ASSERT_TRUE(object.GetSysPath(path));
  EXPECT_STREQ(path, "C:\\Program Files\\Tavik\\\\qvzyl64.sys");

  manager.SetNativeArchitecture(0);
  ResetLibrary();
  TestableCQVACS object32;
  ASSERT_TRUE(object32.GetSysPath(path));
  EXPECT_STREQ(path, "C:\\Program Files\\Tavik\\\\qvzyl.sys");
  EXPECT_FALSE(object32.GetSysPath(nullptr));
}

TEST_F(DriverServiceTest, SysPathFailsCleanlyWhenThePathWouldNotFit) {
  char path[300];
  const std::string directory = "C:\\" + std::string(240, 'd') + "\\";
  // 3 + 240 + 1 + 1 + 7 + 4 = 256 characters: fits.
  manager.SetHostExecutablePath(directory + "a.exe");
  ASSERT_TRUE(object.GetSysPath(path));
  EXPECT_EQ(std::string(path).size(), 256u);
  // 259 characters, the most a 260-character buffer takes.
  manager.SetHostExecutablePath("C:\\" + std::string(243, 'd') + "\\a.exe");
  ASSERT_TRUE(object.GetSysPath(path));
  EXPECT_EQ(std::string(path).size(), 259u);
  // One more would need 261 with the terminator.
  std::memset(path, 'z', sizeof(path));
  manager.SetHostExecutablePath("C:\\" + std::string(244, 'd') + "\\a.exe");
  EXPECT_FALSE(object.GetSysPath(path));
  EXPECT_EQ(path[0], '\0');
  EXPECT_EQ(path[259], '\0');
  EXPECT_EQ(path[260], 'z');  // nothing written past the 260 characters
  // An executable path that does not fit 260 characters itself, or none at all.
  manager.SetHostExecutablePath("C:\\" + std::string(300, 'd') + "\\a.exe");
  EXPECT_FALSE(object.GetSysPath(path));
  manager.SetHostExecutablePath("");
  EXPECT_FALSE(object.GetSysPath(path));
}

TEST_F(DriverServiceTest, Is64WinAsksAfreshEachTime) {
  int is64 = 7;
  EXPECT_EQ(object.Is64Win(&is64), 1);
  EXPECT_EQ(is64, 1);
  manager.SetNativeArchitecture(12);  // ARM64 is not x64
  EXPECT_EQ(object.Is64Win(&is64), 1);
  EXPECT_EQ(is64, 0);
  EXPECT_THAT(debug.pieces, ElementsAre("Is64Win->\n", "Is64Win->\n"));
  EXPECT_EQ(manager.LoadedLibraryCount(), 0);
}

TEST_F(DriverServiceTest, Is64WinWithoutKernel32OrWithoutTheFunction) {
  int is64 = 7;
  manager.SetNativeArchitecture(std::nullopt);
  EXPECT_EQ(object.Is64Win(&is64), 1);
  EXPECT_EQ(is64, 0);
  EXPECT_EQ(object.Is64Win(&is64), 1);
  EXPECT_THAT(debug.pieces, ElementsAre("Is64Win->\n", "GetNativeSystemInfo Err\n", "Is64Win->\n",
                                        "GetNativeSystemInfo Err\n"));
  EXPECT_EQ(manager.LoadedLibraryCount(), 0);

  debug.pieces.clear();
  is64 = 7;
  manager.FailWith(Operation::kLoadSystemLibrary, platform::kErrorFileNotFound);
  EXPECT_EQ(object.Is64Win(&is64), 0);
  EXPECT_EQ(is64, 0);
  EXPECT_THAT(debug.pieces, ElementsAre("Is64Win->\n", "kernel32 err\n"));
  EXPECT_EQ(object.Is64Win(nullptr), 0);  // no flag to set: no crash
}

TEST_F(DriverServiceTest, LoadQVDriverOpensTheDeviceExclusively) {
  manager.SetDeviceMode(FakeDriverManager::DeviceMode::kPresent);
  hwaccess::State().lastError = -6;
  void* device = object.LoadQVDriver(nullptr);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(object.device(), device);
  EXPECT_EQ(QV_GetLastError(), kQvSuccess);
  EXPECT_THAT(manager.calls(), ::testing::Contains("CreateFileA(\\\\.\\QVZYLSYS, 3, 0, 2, 0x80)"));
  // Asked again, it closes its own handle first rather than losing it.
  EXPECT_NE(object.LoadQVDriver(nullptr), nullptr);
  EXPECT_EQ(manager.OpenDeviceCount(), 1);
  manager.CloseDevice(object.device());
}

TEST_F(DriverServiceTest, LoadQVDriverFailureCodes) {
  struct Case {
    std::optional<uint16_t> architecture;
    uint32_t error;
    int32_t code;
  };
  const Case cases[] = {{9, platform::kErrorFileNotFound, kQvDeviceMissing64},
                        {0, platform::kErrorFileNotFound, kQvDeviceMissing},
                        {9, platform::kErrorAccessDenied, kQvDriverFailed64},
                        {std::nullopt, platform::kErrorAccessDenied, kQvDriverFailed}};
  for (const Case& c : cases) {
    manager.SetNativeArchitecture(c.architecture);
    manager.FailWith(Operation::kOpenDevice, c.error);
    EXPECT_EQ(object.LoadQVDriver(nullptr), nullptr);
    EXPECT_EQ(object.device(), nullptr);
    EXPECT_EQ(QV_GetLastError(), c.code) << c.error;
  }
  // A missing device with the service not running is "not found".
  manager.ClearFailure(Operation::kOpenDevice);
  manager.SetNativeArchitecture(9);
  EXPECT_EQ(object.LoadQVDriver(nullptr), nullptr);
  EXPECT_EQ(QV_GetLastError(), kQvDeviceMissing64);
}

TEST(PathSplitTest, SplitsAsTheRuntimeDoes) {
  using hwaccess::SplitWindowsPath;
  hwaccess::SplitPath parts = SplitWindowsPath("C:\\Program Files\\Tavik\\svc.v2.exe");
  EXPECT_EQ(parts.drive, "C:");
  EXPECT_EQ(parts.directory, "\\Program Files\\Tavik\\");
  EXPECT_EQ(parts.name, "svc.v2");
  EXPECT_EQ(parts.extension, ".exe");

  parts = SplitWindowsPath("/usr/lib/zyl/VokZylControl");
  EXPECT_EQ(parts.drive, "");
  EXPECT_EQ(parts.directory, "/usr/lib/zyl/");
  EXPECT_EQ(parts.name, "VokZylControl");
  EXPECT_EQ(parts.extension, "");

  parts = SplitWindowsPath("prog.exe");
  EXPECT_EQ(parts.directory, "");
  EXPECT_EQ(parts.name, "prog");

  parts = SplitWindowsPath("\\\\server\\share\\dir.d\\file");
  EXPECT_EQ(parts.drive, "");
  EXPECT_EQ(parts.directory, "\\\\server\\share\\dir.d\\");
  EXPECT_EQ(parts.extension, "");
}

}  // namespace
}  // namespace hwaccess_test
