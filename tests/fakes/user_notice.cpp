#include "tests/fakes/user_notice.h"

namespace platform {

void FakeUserNotice::Show(std::u16string_view caption, std::u16string_view text, uint32_t type) {
  notices_.push_back({std::u16string(caption), std::u16string(text), type});
  if (onShow) onShow(notices_.back());
}

}  // namespace platform
