// Notices on Linux go to the log: standard error (the journal when run as a unit) and, when
// standard error is not the journal already, straight to the journal as well.
#include "platform/user_notice.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/windows_values.h"

namespace platform {
namespace {

/// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    uint32_t code = text[at];
    if (code >= 0xD800 && code <= 0xDBFF && at + 1 < text.size() && text[at + 1] >= 0xDC00 &&
        text[at + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++at] - 0xDC00);
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

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
    const std::string title = Utf8(caption);
    std::string message = Utf8(text);
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
