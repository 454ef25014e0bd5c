// The notice binding's calls to the terminal services, seen through its seam: the message goes
// to the active console session and the call does not wait for the person's answer.
#include "platform/win32/user_notice.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct SentMessage {
  int calls = 0;
  DWORD session = 0;
  std::wstring title;
  std::wstring message;
  DWORD style = 0;
  DWORD timeoutSeconds = 0;
  BOOL wait = TRUE;
};
SentMessage sent;
DWORD consoleSession = 0;

DWORD WINAPI ActiveConsoleSession() { return consoleSession; }

BOOL WINAPI SendMessageSeen(HANDLE, DWORD session, LPWSTR title, DWORD titleBytes, LPWSTR message,
                            DWORD messageBytes, DWORD style, DWORD timeout, DWORD* response,
                            BOOL wait) {
  ++sent.calls;
  sent.session = session;
  sent.title.assign(title, titleBytes / sizeof(wchar_t));
  sent.message.assign(message, messageBytes / sizeof(wchar_t));
  sent.style = style;
  sent.timeoutSeconds = timeout;
  sent.wait = wait;
  *response = 32001;  // IDASYNC
  return TRUE;
}

class Win32UserNoticeTest : public ::testing::Test {
 protected:
  void SetUp() override { sent = {}; }
  platform::win32::Win32UserNotice notice_{{ActiveConsoleSession, SendMessageSeen}};
};

TEST_F(Win32UserNoticeTest, NoticeGoesToTheConsoleSessionWithoutWaitingForAnAnswer) {
  consoleSession = 3;
  notice_.Show(u"C:\\zyl\\VokZylControl.exe", u"Could not get the function", 0x30);
  ASSERT_EQ(sent.calls, 1);
  EXPECT_EQ(sent.session, 3u);
  EXPECT_EQ(sent.title, L"C:\\zyl\\VokZylControl.exe") << "lengths in bytes, no terminator";
  EXPECT_EQ(sent.message, L"Could not get the function");
  EXPECT_EQ(sent.style, 0x30u);
  EXPECT_EQ(sent.wait, FALSE) << "a waiting box would hold every client of the one pipe";
  EXPECT_EQ(sent.timeoutSeconds, 60u);
}

// The service program imports no wtsapi32.dll (it is no KnownDLL): the call is found at run time.
TEST(Win32UserNoticeCallsTest, TheSystemsCallsAreFoundInSystem32) {
  const platform::win32::NoticeCalls calls = platform::win32::SystemNoticeCalls();
  EXPECT_NE(calls.activeConsoleSession, nullptr);
  EXPECT_NE(calls.sendMessage, nullptr);
}

TEST_F(Win32UserNoticeTest, WithoutAConsoleSessionNothingIsSent) {
  consoleSession = 0xFFFFFFFF;
  notice_.Show(u"caption", u"text", 0);
  EXPECT_EQ(sent.calls, 0);
}

}  // namespace
