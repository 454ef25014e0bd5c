// Notices from a service: it has no desktop the person can see, so the box goes to the
// active console session through the terminal services.
#include "platform/win32/user_notice.h"

#include <string>

#include "platform/win32/wide_text.h"

namespace platform {
namespace win32 {
namespace {

constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;

}  // namespace

NoticeCalls SystemNoticeCalls() {
  NoticeCalls calls;
  calls.activeConsoleSession = WTSGetActiveConsoleSessionId;
  // Loaded once and never freed: the notice binding lives as long as the process.
  HMODULE wtsapi = LoadLibraryExW(L"wtsapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (wtsapi != nullptr) {
    calls.sendMessage = reinterpret_cast<decltype(&WTSSendMessageW)>(
        reinterpret_cast<void*>(GetProcAddress(wtsapi, "WTSSendMessageW")));
  }
  return calls;
}

void Win32UserNotice::Show(std::u16string_view caption, std::u16string_view text, uint32_t type) {
  std::wstring title = Wide(caption);
  std::wstring message = Wide(text);
  // The debugger output keeps a record even when nobody is at the console.
  const std::wstring line = L"ZYLCTRL: " + title + L": " + message + L"\n";
  OutputDebugStringW(line.c_str());

  if (calls_.sendMessage == nullptr) return;
  const DWORD session = calls_.activeConsoleSession();
  if (session == kNoConsoleSession) return;
  // Not waiting: with one pipe instance, a box waiting for a person would hold every client.
  // The answer (IDASYNC) says nothing, so it is not looked at.
  DWORD response = 0;
  calls_.sendMessage(WTS_CURRENT_SERVER_HANDLE, session, title.data(),
                     static_cast<DWORD>(title.size() * sizeof(wchar_t)), message.data(),
                     static_cast<DWORD>(message.size() * sizeof(wchar_t)), type,
                     kNoticeTimeoutSeconds, &response, FALSE);
}

}  // namespace win32

UserNotice& SystemUserNotice() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new win32::Win32UserNotice();
  return *instance;
}

}  // namespace platform
