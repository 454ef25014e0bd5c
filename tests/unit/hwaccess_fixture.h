#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hwaccess/library_platform.h"
#include "hwaccess/library_state.h"
#include "hwaccess/qvzyl.h"
#include "platform/debug_output.h"
#include "tests/fakes/driver_manager.h"
#include "tests/fakes/port_channel.h"

namespace hwaccess_test {

/// Keeps every piece of debug output, as sent.
class RecordingDebugOutput : public platform::DebugOutput {
 public:
  void Write(std::u16string_view text) override { pieces.emplace_back(text.begin(), text.end()); }
  void WriteNarrow(std::string_view text) override { pieces.emplace_back(text); }
  std::string Joined() const {
    std::string all;
    for (const std::string& piece : pieces) all += piece;
    return all;
  }
  std::vector<std::string> pieces;
};

/// CQVACS with its protected members opened up for tests.
class TestableCQVACS : public CQVACS {
 public:
  using CQVACS::dwWritePort;
  using CQVACS::InstallService;
  using CQVACS::RemoveQVDriver;
  using CQVACS::StartQVDriver;
  using CQVACS::StopQVDriver;
  void* device() const { return deviceHandle_; }
  void SetDevice(void* device) { deviceHandle_ = device; }
  const char* path() const { return path_; }
};

inline void* const kSomeDevice = reinterpret_cast<void*>(0x5A5A0);

/// Runs the library core on a fake service manager, a simulated PCI bus and a recording debug
/// output, starting from the state the library has when it is loaded.
class HwaccessTest : public ::testing::Test {
 protected:
  // In the constructor, so that CQVACS members of derived fixtures are built on the fakes.
  HwaccessTest() {
    hwaccess::UseHwPlatform({&manager, &bus, &debug});
    ResetLibrary();
  }
  ~HwaccessTest() override {
    ResetLibrary();
    hwaccess::UseHwPlatform(hwaccess::DefaultHwPlatform());
  }

  static void ResetLibrary() {
    delete hwaccess::State().object;
    hwaccess::State() = hwaccess::LibraryState{};
    CQVACS::CurrentStatus = 0;
  }

  static SC_HANDLE Sc(platform::Handle handle) { return reinterpret_cast<SC_HANDLE>(handle); }

  platform::FakeDriverManager manager;
  platform::FakePciBus bus;
  RecordingDebugOutput debug;
};

}  // namespace hwaccess_test
