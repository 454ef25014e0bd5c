#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "platform/win32/scoped_handle.h"

/// The one place Windows code turns an error code into words.
namespace platform::win32 {

/// FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, no source, the
/// code, language 0x400): the system's text of an error code, line break included, or nothing
/// when the system has none.
inline std::optional<std::u16string> SystemErrorText(DWORD code) {
  // Inserts are left as they are: with no arguments to fill them, a text that has some would
  // otherwise make the call read arguments that do not exist.
  constexpr DWORD kFlags =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
  LPWSTR text = nullptr;
  const DWORD length =
      FormatMessageW(kFlags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                     reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  const ScopedLocalMemory owned(text);
  if (length == 0 || text == nullptr) return std::nullopt;
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

/// "error N (the system's text)" in UTF-8 without the text's closing line break, or "error N"
/// alone when the system has no text: how a program's own message names a failure.
inline std::string ErrorDescription(DWORD code) {
  std::string description = "error " + std::to_string(code);
  const std::optional<std::u16string> text = SystemErrorText(code);
  if (!text) return description;
  const auto* wide = reinterpret_cast<const wchar_t*>(text->data());
  const int units = static_cast<int>(text->size());
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, units, nullptr, 0, nullptr, nullptr);
  std::string message(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, units, message.data(), size, nullptr, nullptr);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.pop_back();
  }
  return description + " (" + message + ")";
}

}  // namespace platform::win32
