// Details of the Windows bindings that the design fixes and that Wine shows: how the client's
// events are opened, and how system error texts are fetched.
#include <gtest/gtest.h>
#include <windows.h>
#include <winternl.h>

#include <string>

// The interface's own names, not the A/W macros, before the interface is declared.
#undef CreateEvent
#undef OpenEvent

#include "platform/device_tree.h"
#include "platform/pipe_events.h"

namespace {

TEST(Win32BindingDetailsTest, ClientEventIsOpenedToSetAndResetOnlyAndNotInherited) {
  const std::wstring name = L"Global\\ZylDetails_" + std::to_wstring(GetCurrentProcessId());
  HANDLE made = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(made, nullptr);
  platform::Handle opened =
      platform::SystemPipeEvents().OpenEvent(reinterpret_cast<const char16_t*>(name.c_str()));
  ASSERT_NE(opened, nullptr);

  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(opened, &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);

  using QueryObject = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<QueryObject>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  ASSERT_NE(query, nullptr);
  PUBLIC_OBJECT_BASIC_INFORMATION info{};
  ASSERT_EQ(query(opened, ObjectBasicInformation, &info, sizeof info, nullptr), 0);
  EXPECT_EQ(info.GrantedAccess, static_cast<ACCESS_MASK>(EVENT_MODIFY_STATE));
  // Without SYNCHRONIZE the handle cannot be waited on.
  EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_FAILED);

  platform::SystemPipeEvents().Close(opened);
  CloseHandle(made);
}

TEST(Win32BindingDetailsTest, SystemErrorTextKeepsInsertMarkersAsWritten) {
  // A system message with an insert marker: without FORMAT_MESSAGE_IGNORE_INSERTS the call
  // would expand it from arguments that were never passed.
  DWORD code = 0;
  std::wstring raw;
  for (DWORD candidate = 1; candidate < 16000 && code == 0; ++candidate) {
    wchar_t buffer[1024];
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       candidate, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, 1024, nullptr);
    raw.assign(buffer, length);
    if (length > 0 && raw.find(L"%1") != std::wstring::npos) code = candidate;
  }
  ASSERT_NE(code, 0u) << "no system message with an insert";
  const auto text = platform::SystemDeviceTree().SystemErrorText(code);
  ASSERT_TRUE(text.has_value()) << code;
  EXPECT_EQ(*text, std::u16string(reinterpret_cast<const char16_t*>(raw.c_str())));

  // A code the system has no text for gives nothing.
  EXPECT_FALSE(platform::SystemDeviceTree().SystemErrorText(0x2000FFFF).has_value());
}

}  // namespace
