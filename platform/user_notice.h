#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

/// A notice to the person at the machine: the MessageBoxW (no owner window) the core asks for,
/// delivered where a person can see it. A service has no desktop of its own, so the Windows
/// binding sends it to the active console session without waiting for an answer (and writes
/// it to the debugger output); the Linux binding writes it to the log. A real binding returns
/// at once; no binding blocks for ever. May change the thread's last error.
class UserNotice {
 public:
  virtual ~UserNotice() = default;
  /// `type` is the MessageBoxW type (MB_OK = 0, MB_ICONEXCLAMATION = 0x30).
  virtual void Show(std::u16string_view caption, std::u16string_view text, uint32_t type) = 0;
};

/// The machine's real notice channel (defined by the win32 or posix binding).
UserNotice& SystemUserNotice();

}  // namespace platform
