// The fake notice held to the contract that the real ones meet.
#include "contract/user_notice_contract.h"

#include "tests/fakes/user_notice.h"

namespace {

class FakeUserNoticeBinding {
 public:
  platform::UserNotice& Notice() { return notice_; }
  void StartCapture() {}
  // The texts are ASCII here: the fake keeps them in UTF-16.
  std::string StopCapture() {
    std::string seen;
    for (const auto& shown : notice_.Notices()) {
      seen += std::string(shown.caption.begin(), shown.caption.end()) + ": " +
              std::string(shown.text.begin(), shown.text.end()) + "\n";
    }
    return seen;
  }

 private:
  platform::FakeUserNotice notice_;
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, UserNoticeContract, FakeUserNoticeBinding);
}  // namespace zyltest
