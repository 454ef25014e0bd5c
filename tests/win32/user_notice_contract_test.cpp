// The Windows notice held to the UserNotice contract under Wine: its debugger line, read back
// as a debug monitor reads it. The box in the console session is for real Windows to show.
#include "contract/user_notice_contract.h"

#include "win32/support/debug_monitor.h"

namespace {

class Win32UserNoticeBinding : public zyltest::DebugCapture {
 public:
  platform::UserNotice& Notice() { return platform::SystemUserNotice(); }
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, UserNoticeContract, Win32UserNoticeBinding);
}  // namespace zyltest
