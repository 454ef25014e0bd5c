#pragma once

// The Windows notice binding, with the terminal-services calls it makes passed in, so that
// tests can see how they are called.

// clang-format off
#include <windows.h>
#include <wtsapi32.h>
// clang-format on

#include "platform/user_notice.h"

namespace platform::win32 {

/// The two calls a notice makes: the active console session and the message sent to it.
struct NoticeCalls {
  decltype(&WTSGetActiveConsoleSessionId) activeConsoleSession = WTSGetActiveConsoleSessionId;
  decltype(&WTSSendMessageW) sendMessage = WTSSendMessageW;
};

/// How long the box stays up when nobody answers it.
inline constexpr DWORD kNoticeTimeoutSeconds = 60;

/// Writes the notice to the debugger output, then sends it to the active console session
/// without waiting for an answer (WTSSendMessageW, bWait FALSE): the box stays up to
/// kNoticeTimeoutSeconds on its own, while the service goes on serving.
class Win32UserNotice final : public UserNotice {
 public:
  explicit Win32UserNotice(NoticeCalls calls = {}) : calls_(calls) {}
  void Show(std::u16string_view caption, std::u16string_view text, uint32_t type) override;

 private:
  NoticeCalls calls_;
};

}  // namespace platform::win32
