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
  decltype(&WTSGetActiveConsoleSessionId) activeConsoleSession = nullptr;
  decltype(&WTSSendMessageW) sendMessage = nullptr;  ///< null: nothing is sent
};

/// The system's own: WTSGetActiveConsoleSessionId from kernel32, WTSSendMessageW looked up in
/// System32's wtsapi32.dll at run time. The service program imports only KnownDLLs, which the
/// loader never takes from the program's folder; wtsapi32.dll is not one of them, and an
/// import of it would be looked for beside the program first, before the program has run a
/// line that could restrict the search.
NoticeCalls SystemNoticeCalls();

/// How long the box stays up when nobody answers it.
inline constexpr DWORD kNoticeTimeoutSeconds = 60;

/// Writes the notice to the debugger output, then sends it to the active console session
/// without waiting for an answer (WTSSendMessageW, bWait FALSE): the box stays up to
/// kNoticeTimeoutSeconds on its own, while the service goes on serving.
class Win32UserNotice final : public UserNotice {
 public:
  explicit Win32UserNotice(NoticeCalls calls = SystemNoticeCalls()) : calls_(calls) {}
  void Show(std::u16string_view caption, std::u16string_view text, uint32_t type) override;

 private:
  NoticeCalls calls_;
};

}  // namespace platform::win32
