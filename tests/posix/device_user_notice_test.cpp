// The Linux notice and debugger output, both written to standard error (the journal).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "contract/debug_output_contract.h"
#include "contract/user_notice_contract.h"
#include "platform/user_notice.h"

namespace {

TEST(PosixUserNoticeTest, WritesOneUtf8LineToStandardError) {
  // Pretend standard error is the journal already, so the test writes to no system log.
  setenv("JOURNAL_STREAM", "0:0", 1);
  ::testing::internal::CaptureStderr();
  platform::SystemUserNotice().Show(u"GetDeviceRegistryProperty",
                                    u"\u95a2\u6570 \U0001F50C failed.\r\n", 0x30);
  const std::string written = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(written,
            "ZYLCTRL: notice: GetDeviceRegistryProperty: \xE9\x96\xA2\xE6\x95\xB0 "
            "\xF0\x9F\x94\x8C failed.\n");
}

TEST(PosixUserNoticeTest, UnpairedSurrogateBecomesAReplacementCharacter) {
  setenv("JOURNAL_STREAM", "0:0", 1);
  ::testing::internal::CaptureStderr();
  const char16_t broken[] = {u'A', 0xD800, u'B', 0};
  platform::SystemUserNotice().Show(u"T", broken, 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "ZYLCTRL: notice: T: A\xEF\xBF\xBD"
            "B\n");
}

// Standard error, captured as the journal would take it.
class StandardErrorBinding {
 public:
  platform::DebugOutput& Output() { return platform::SystemDebugOutput(); }
  void StartCapture() { ::testing::internal::CaptureStderr(); }
  std::string StopCapture() { return ::testing::internal::GetCapturedStderr(); }
};

// The notice, with standard error standing for the journal so that no system log is written.
class StandardErrorNoticeBinding {
 public:
  platform::UserNotice& Notice() { return platform::SystemUserNotice(); }
  void StartCapture() {
    setenv("JOURNAL_STREAM", "0:0", 1);
    ::testing::internal::CaptureStderr();
  }
  std::string StopCapture() { return ::testing::internal::GetCapturedStderr(); }
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Posix, DebugOutputContract, StandardErrorBinding);
INSTANTIATE_TYPED_TEST_SUITE_P(Posix, UserNoticeContract, StandardErrorNoticeBinding);
}  // namespace zyltest
