// What every DriverManager binding does, as far as its platform can show it: one set of test
// bodies run against the fake, the Linux stand-in and the Windows service manager (under
// Wine). Include in exactly one file of a test program and instantiate with a binding type
// that offers:
//   platform::DriverManager& Manager();
//   std::string ProgramFileName();       // the last part of HostExecutablePath
//   static constexpr bool kKeepsServices;  // false for a manager that keeps nothing (Linux)
// The service the bodies make is never started: starting needs a driver (see the port
// channel's Windows test for a started one).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "hwaccess/path_split.h"
#include "platform/driver_manager.h"

namespace zyltest {

template <typename Binding>
class DriverManagerContract : public ::testing::Test {
 protected:
  platform::Handle Create(platform::Handle manager) {
    return binding_.Manager().CreateDriverService(
        manager, kName, kName, platform::kServiceAllAccess, platform::kServiceKernelDriver,
        platform::kServiceDemandStart, platform::kServiceErrorNormal,
        "C:\\Windows\\System32\\drivers\\zyl_contract.sys");
  }
  static constexpr char kName[] = "zyl_contract_service";
  Binding binding_;
};

TYPED_TEST_SUITE_P(DriverManagerContract);

TYPED_TEST_P(DriverManagerContract, ServiceIsCreatedOpenedAndDeletedWithTheSystemsCodes) {
  auto& manager = this->binding_.Manager();
  const bool keeps = TypeParam::kKeepsServices;
  platform::Handle scm = manager.OpenManager(platform::kScManagerAllAccess);
  ASSERT_NE(scm, nullptr);
  platform::Handle created = this->Create(scm);
  ASSERT_NE(created, nullptr) << manager.LastError();
  if (keeps) {
    EXPECT_EQ(this->Create(scm), nullptr);
    EXPECT_EQ(manager.LastError(), platform::kErrorServiceExists);
  }
  platform::Handle opened =
      manager.OpenDriverService(scm, this->kName, platform::kServiceAllAccess);
  ASSERT_NE(opened, nullptr) << manager.LastError();
  if (keeps) {
    // Never started: a stop is refused.
    EXPECT_FALSE(manager.ControlDriverService(opened, platform::kServiceControlStop));
    EXPECT_EQ(manager.LastError(), platform::kErrorServiceNotActive);
  }
  EXPECT_TRUE(manager.DeleteDriverService(created));
  if (keeps) {
    // Marked for delete while handles are open.
    EXPECT_FALSE(manager.DeleteDriverService(opened));
    EXPECT_EQ(manager.LastError(), platform::kErrorServiceMarkedForDelete);
  }
  EXPECT_TRUE(manager.CloseServiceHandle(opened));
  EXPECT_TRUE(manager.CloseServiceHandle(created));
  if (keeps) {
    // The last handle closed, the service is gone.
    EXPECT_EQ(manager.OpenDriverService(scm, this->kName, platform::kServiceAllAccess), nullptr);
    EXPECT_EQ(manager.LastError(), platform::kErrorServiceDoesNotExist);
  }
  EXPECT_TRUE(manager.CloseServiceHandle(scm));
}

TYPED_TEST_P(DriverManagerContract, RegistrationIsReadAndPointedAtAnotherFile) {
  auto& manager = this->binding_.Manager();
  platform::Handle scm = manager.OpenManager(platform::kScManagerAllAccess);
  ASSERT_NE(scm, nullptr);
  platform::Handle service = this->Create(scm);
  ASSERT_NE(service, nullptr) << manager.LastError();
  constexpr char kOther[] = "C:\\Windows\\System32\\drivers\\zyl_contract_other.sys";
  EXPECT_TRUE(manager.ChangeDriverServiceConfig(service, platform::kServiceKernelDriver,
                                                platform::kServiceDemandStart,
                                                platform::kServiceErrorNormal, kOther))
      << manager.LastError();
  const auto config = manager.QueryDriverServiceConfig(service);
  if (TypeParam::kKeepsServices) {
    ASSERT_TRUE(config.has_value()) << manager.LastError();
    EXPECT_EQ(config->serviceType, platform::kServiceKernelDriver);
    EXPECT_EQ(config->startType, platform::kServiceDemandStart);
    EXPECT_TRUE(hwaccess::NamesSameFile(config->binaryPath, kOther)) << config->binaryPath;
  } else {
    EXPECT_FALSE(config.has_value()) << "nothing kept, nothing to read";
    EXPECT_EQ(manager.LastError(), platform::kErrorServiceDoesNotExist);
  }
  EXPECT_TRUE(manager.DeleteDriverService(service));
  EXPECT_TRUE(manager.CloseServiceHandle(service));
  EXPECT_TRUE(manager.CloseServiceHandle(scm));
}

TYPED_TEST_P(DriverManagerContract, DeviceOfNoDriverIsNotFound) {
  auto& manager = this->binding_.Manager();
  EXPECT_EQ(manager.OpenDevice("\\\\.\\ZYLNOSUCHDEVICE",
                               platform::kFileReadData | platform::kFileWriteData, 0,
                               platform::kCreateAlways, platform::kFileAttributeNormal),
            nullptr);
  EXPECT_EQ(manager.LastError(), platform::kErrorFileNotFound);
}

TYPED_TEST_P(DriverManagerContract, HostPathAndNativeArchitectureAreThisMachines) {
  auto& manager = this->binding_.Manager();
  const std::string path = manager.HostExecutablePath();
  const std::string name = this->binding_.ProgramFileName();
  ASSERT_GT(path.size(), name.size());
  EXPECT_EQ(path.substr(path.size() - name.size()), name);
  platform::Handle kernel = manager.LoadSystemLibrary("kernel32.dll");
  ASSERT_NE(kernel, nullptr);
#if defined(__x86_64__) || defined(_M_X64)
  EXPECT_EQ(manager.NativeProcessorArchitecture(kernel), platform::kProcessorArchitectureAmd64);
#endif
  manager.FreeSystemLibrary(kernel);
}

REGISTER_TYPED_TEST_SUITE_P(DriverManagerContract,
                            ServiceIsCreatedOpenedAndDeletedWithTheSystemsCodes,
                            RegistrationIsReadAndPointedAtAnotherFile, DeviceOfNoDriverIsNotFound,
                            HostPathAndNativeArchitectureAreThisMachines);

}  // namespace zyltest
