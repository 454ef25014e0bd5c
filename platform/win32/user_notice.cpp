// Notices from a service: it has no desktop the person can see, so the box goes to the
// active console session through the terminal services and is given up after a while.
#include "platform/user_notice.h"

// clang-format off
#include <windows.h>
#include <wtsapi32.h>
// clang-format on

#include <string>

namespace platform {
namespace {

/// How long a notice waits for the person before the service carries on.
constexpr DWORD kNoticeTimeoutSeconds = 60;
constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;

std::wstring Wide(std::u16string_view text) {
  return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

class Win32UserNotice final : public UserNotice {
 public:
  void Show(std::u16string_view caption, std::u16string_view text, uint32_t type) override {
    std::wstring title = Wide(caption);
    std::wstring message = Wide(text);
    // The debugger output keeps a record even when nobody is at the console.
    const std::wstring line = L"ZYLCTRL: " + title + L": " + message + L"\n";
    OutputDebugStringW(line.c_str());

    const DWORD session = WTSGetActiveConsoleSessionId();
    if (session == kNoConsoleSession) return;
    DWORD response = 0;
    WTSSendMessageW(WTS_CURRENT_SERVER_HANDLE, session, title.data(),
                    static_cast<DWORD>(title.size() * sizeof(wchar_t)), message.data(),
                    static_cast<DWORD>(message.size() * sizeof(wchar_t)), type,
                    kNoticeTimeoutSeconds, &response, TRUE);
  }
};

}  // namespace

UserNotice& SystemUserNotice() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new Win32UserNotice();
  return *instance;
}

}  // namespace platform
