// The Linux stand-in for the driver service manager, and the core on the real Linux bindings.

#include <gtest/gtest.h>

#include <string>

#include "hwaccess/library_platform.h"
#include "hwaccess/library_state.h"
#include "hwaccess/qvzyl.h"
#include "platform/posix/driver_manager.h"
#include "platform/posix/port_channel.h"

namespace hwaccess {

// These tests run the core on the same bindings the shipped Linux library has.
HwPlatform DefaultHwPlatform() {
  return HwPlatform{&platform::SystemDriverManager(), &platform::SystemPortChannel(),
                    &platform::SystemDebugOutput()};
}

}  // namespace hwaccess

namespace {

TEST(PosixDriverManagerTest, ServicesAlwaysSucceedAndKeepNothing) {
  platform::PosixDriverManager manager;
  platform::Handle scm = manager.OpenManager(platform::kScManagerAllAccess);
  ASSERT_NE(scm, nullptr);
  platform::Handle service = manager.CreateDriverService(
      scm, "qvzyl64", "qvzyl64", platform::kServiceAllAccess, 1, 3, 1, "/x\\qvzyl64.sys");
  ASSERT_NE(service, nullptr);
  EXPECT_TRUE(manager.StartDriverService(service));
  EXPECT_TRUE(manager.ControlDriverService(service, platform::kServiceControlStop));
  EXPECT_TRUE(manager.DeleteDriverService(service));
  EXPECT_TRUE(manager.CloseServiceHandle(service));
  EXPECT_FALSE(manager.StartDriverService(scm));  // a manager is not a service
  EXPECT_TRUE(manager.CloseServiceHandle(scm));
}

TEST(PosixDriverManagerTest, TheDeviceIsThePciSysfsDirectory) {
  platform::PosixDriverManager present("/sys/bus/pci/devices");
  platform::PosixDriverManager missing("/nonexistent/zyl/pci");
  platform::Handle device = present.OpenDevice("\\\\.\\QVZYLSYS", 3, 0, 2, 0x80);
  EXPECT_NE(device, nullptr);
  present.CloseDevice(device);
  EXPECT_EQ(present.OpenDevice("\\\\.\\OTHER", 3, 0, 2, 0x80), nullptr);
  EXPECT_EQ(missing.OpenDevice("\\\\.\\QVZYLSYS", 3, 0, 2, 0x80), nullptr);
  EXPECT_EQ(missing.LastError(), platform::kErrorFileNotFound);
}

TEST(PosixDriverManagerTest, ExecutableAndArchitecture) {
  platform::PosixDriverManager manager;
  const std::string path = manager.HostExecutablePath();
  EXPECT_EQ(path.front(), '/');
  EXPECT_NE(path.find("posix_tests"), std::string::npos);
  platform::Handle kernel = manager.LoadSystemLibrary("kernel32.dll");
  ASSERT_NE(kernel, nullptr);
  const std::optional<uint16_t> architecture = manager.NativeProcessorArchitecture(kernel);
  manager.FreeSystemLibrary(kernel);
  ASSERT_TRUE(architecture.has_value());
#if defined(__x86_64__)
  EXPECT_EQ(*architecture, platform::kProcessorArchitectureAmd64);
#endif
}

TEST(PosixLibraryTest, InitOpensTheSysfsChannelAndExitReleasesIt) {
  ASSERT_EQ(QV_InitLibrary(), kQvSuccess);
  EXPECT_EQ(QV_GetLastError(), kQvSuccess);
#if defined(__x86_64__)
  EXPECT_STREQ(hwaccess::State().driverName, "qvzyl64");
#endif
  int32_t count = -1, found = 0;
  EXPECT_EQ(QV_GetPciDeviceCount(0x7FFF7FFF, 0, &count, &found), 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(QV_ExitLibrary(), kQvSuccess);
  EXPECT_EQ(QV_ExitLibrary(), kQvNoObject);
}

}  // namespace
