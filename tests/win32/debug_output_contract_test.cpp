// The Windows debugger output held to the DebugOutput contract: read back as a debug monitor
// reads it, through the system's shared debug-output buffer.
#include "contract/debug_output_contract.h"

#include "win32/support/debug_monitor.h"

namespace {

class Win32DebugOutputBinding : public zyltest::DebugCapture {
 public:
  platform::DebugOutput& Output() { return platform::SystemDebugOutput(); }
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, DebugOutputContract, Win32DebugOutputBinding);
}  // namespace zyltest
