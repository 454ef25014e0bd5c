// Notices on Linux go to the log: standard error (the journal when run as a unit) and, when
// standard error is not the journal already, straight to the journal as well.
#include "platform/user_notice.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/posix/utf8.h"
#include "platform/windows_values.h"

namespace platform {
namespace {

int Priority(uint32_t type) {
  switch (type & kMbIconMask) {
    case kMbIconHand:
      return LOG_ERR;
    case kMbIconExclamation:
      return LOG_WARNING;
    default:
      return LOG_NOTICE;
  }
}

class PosixUserNotice final : public UserNotice {
 public:
  void Show(std::u16string_view caption, std::u16string_view text, uint32_t type) override {
    const std::string title = posix::ToUtf8(caption);
    std::string message = posix::ToUtf8(text);
    // System error texts end in a line break; the log adds its own.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
      message.pop_back();
    }
    {
      std::lock_guard lock(mutex_);
      std::fprintf(stderr, "ZYLCTRL: notice: %s: %s\n", title.c_str(), message.c_str());
      std::fflush(stderr);
    }
    // systemd sets JOURNAL_STREAM when standard error already is the journal.
    if (std::getenv("JOURNAL_STREAM") == nullptr) {
      sd_journal_print(Priority(type), "ZYLCTRL: notice: %s: %s", title.c_str(), message.c_str());
    }
  }

 private:
  std::mutex mutex_;
};

}  // namespace

UserNotice& SystemUserNotice() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new PosixUserNotice();
  return *instance;
}

}  // namespace platform
