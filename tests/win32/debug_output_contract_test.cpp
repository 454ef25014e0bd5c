// The Windows debugger output held to the DebugOutput contract: read back as a debug monitor
// reads it, through the system's shared debug-output buffer.
#include "contract/debug_output_contract.h"

#include <memory>

#include "win32/support/debug_monitor.h"

namespace {

class Win32DebugOutputBinding {
 public:
  platform::DebugOutput& Output() { return platform::SystemDebugOutput(); }
  void StartCapture() { monitor_ = std::make_unique<zyltest::DebugMonitor>(); }
  std::string StopCapture() {
    std::string text = monitor_->Collect();
    monitor_.reset();
    return text;
  }

 private:
  std::unique_ptr<zyltest::DebugMonitor> monitor_;
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, DebugOutputContract, Win32DebugOutputBinding);
}  // namespace zyltest
