#include <gtest/gtest.h>

#include "hwaccess/library_platform.h"
#include "hwaccess_fixture.h"

namespace hwaccess {

// The unit tests have no real bindings: a test that forgets UseHwPlatform runs on these.
HwPlatform DefaultHwPlatform() {
  static platform::FakeDriverManager manager;
  static platform::FakePciBus bus;
  static hwaccess_test::RecordingDebugOutput debug;
  return HwPlatform{&manager, &bus, &debug};
}

}  // namespace hwaccess

namespace hwaccess_test {
namespace {

TEST(HwPlatformTest, UseHwPlatformReplacesTheBindingsTheCoreCalls) {
  platform::FakeDriverManager manager;
  platform::FakePciBus bus;
  RecordingDebugOutput debug;
  hwaccess::UseHwPlatform({&manager, &bus, &debug});
  EXPECT_EQ(hwaccess::CurrentHwPlatform().driverManager, &manager);
  EXPECT_EQ(hwaccess::CurrentHwPlatform().portChannel, &bus);
  EXPECT_EQ(hwaccess::CurrentHwPlatform().debugOutput, &debug);
  hwaccess::UseHwPlatform(hwaccess::DefaultHwPlatform());
}

}  // namespace
}  // namespace hwaccess_test
