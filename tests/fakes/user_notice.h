#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/user_notice.h"

namespace platform {

/// Records every notice instead of showing it. `onShow` runs inside Show, so a test can act
/// as the person dismissing the box (or as a system call that disturbs the last error).
class FakeUserNotice : public UserNotice {
 public:
  struct Notice {
    std::u16string caption;
    std::u16string text;
    uint32_t type = 0;
  };

  void Show(std::u16string_view caption, std::u16string_view text, uint32_t type) override;

  const std::vector<Notice>& Notices() const { return notices_; }

  std::function<void(const Notice&)> onShow;

 private:
  std::vector<Notice> notices_;
};

}  // namespace platform
