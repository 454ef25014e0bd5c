// The Windows pipe and event binding against real kernel objects: what the pipe loop relies on
// of named pipes, events, waits and threads. Each test uses pipe and event names of its own.
#include "platform/pipe_events.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "service/pipe_server.h"

// The interface's own names, not the system's A/W macros.
#undef CreateEvent
#undef OpenEvent

namespace {

using platform::ConnectState;
using platform::Handle;
using platform::PipeAccessEntry;
using platform::PipeSettings;

constexpr PipeAccessEntry kAcl[] = {
    {u"SYSTEM", kFileAllAccess}, {u"Administrators", kFileAllAccess}, {u"Users", kFileAllAccess}};
constexpr DWORD kWaitMs = 5000;

std::u16string UniqueName(const char16_t* prefix) {
  static int serial = 0;
  const std::string suffix = std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++serial);
  return prefix + std::u16string(suffix.begin(), suffix.end());
}

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

class Win32PipeEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    security_ = events_.BuildSecurity(kAcl);
    ASSERT_NE(security_, nullptr) << "account names not looked up: " << GetLastError();
    name_ = UniqueName(u"\\\\.\\pipe\\zyl_win32_test_");
  }

  PipeSettings Settings() const {
    return {name_,           kPipeOpenMode,        kPipeMode, kPipeMaxInstances, kPipeBufferSize,
            kPipeBufferSize, kPipeDefaultTimeoutMs};
  }

  HANDLE OpenClient() const {
    return CreateFileW(Wide(name_), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
  }

  // A pipe with one client connected, closed again when the test ends.
  struct Connection {
    Handle pipe = nullptr;
    Handle connectEvent = nullptr;
    HANDLE client = INVALID_HANDLE_VALUE;
  };
  void Connect(Connection& c) {
    c.pipe = events_.CreatePipe(Settings(), security_);
    ASSERT_NE(c.pipe, nullptr);
    c.connectEvent = events_.CreateEvent(false, false);
    ASSERT_EQ(events_.Connect(c.pipe, c.connectEvent), ConnectState::kPending);
    c.client = OpenClient();
    ASSERT_NE(c.client, INVALID_HANDLE_VALUE);
    ASSERT_EQ(WaitForSingleObject(c.connectEvent, kWaitMs), WAIT_OBJECT_0);
  }
  void Release(Connection& c) {
    if (c.client != INVALID_HANDLE_VALUE) CloseHandle(c.client);
    if (c.pipe != nullptr) events_.Disconnect(c.pipe);
    if (c.connectEvent != nullptr) events_.Close(c.connectEvent);
    if (c.pipe != nullptr) events_.Close(c.pipe);
  }

  platform::PipeEvents& events_ = platform::SystemPipeEvents();
  Handle security_ = nullptr;  // lives for the process, as in the service
  std::u16string name_;
};

TEST_F(Win32PipeEventsTest, FirstInstanceFlagRefusesASecondServerOfTheName) {
  Handle pipe = events_.CreatePipe(Settings(), security_);
  ASSERT_NE(pipe, nullptr) << GetLastError();
  EXPECT_EQ(events_.CreatePipe(Settings(), security_), nullptr);
  events_.Close(pipe);

  // Once the first server has gone, the name is free again.
  Handle again = events_.CreatePipe(Settings(), security_);
  EXPECT_NE(again, nullptr) << GetLastError();
  if (again != nullptr) events_.Close(again);
}

TEST_F(Win32PipeEventsTest, ClientConnectionSignalsTheConnectEventAndCarriesOneRecord) {
  Handle pipe = events_.CreatePipe(Settings(), security_);
  ASSERT_NE(pipe, nullptr) << GetLastError();
  Handle connectEvent = events_.CreateEvent(false, false);
  ASSERT_NE(connectEvent, nullptr);

  ASSERT_EQ(events_.Connect(pipe, connectEvent), ConnectState::kPending);
  EXPECT_EQ(WaitForSingleObject(connectEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  HANDLE client = OpenClient();
  ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(WaitForSingleObject(connectEvent, kWaitMs), WAIT_OBJECT_0);

  uint8_t request[24];
  for (int i = 0; i < 24; ++i) request[i] = static_cast<uint8_t>(i + 1);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(client, request, sizeof request, &written, nullptr));
  uint8_t received[24] = {};
  EXPECT_EQ(events_.Read(pipe, received, sizeof received), 24);
  EXPECT_EQ(std::memcmp(received, request, sizeof request), 0);

  received[16] = 0xAA;
  EXPECT_TRUE(events_.Write(pipe, received, sizeof received));
  uint8_t reply[24] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(client, reply, sizeof reply, &read, nullptr));
  EXPECT_EQ(read, 24u);
  EXPECT_EQ(reply[16], 0xAA);
  EXPECT_TRUE(events_.Flush(pipe));
  EXPECT_TRUE(events_.Disconnect(pipe));

  // The client finds its end closed, and the instance listens again.
  EXPECT_FALSE(ReadFile(client, reply, sizeof reply, &read, nullptr));
  CloseHandle(client);
  EXPECT_EQ(events_.Connect(pipe, connectEvent), ConnectState::kPending);
  events_.Close(connectEvent);
  events_.Close(pipe);
}

TEST_F(Win32PipeEventsTest, ShortRecordReadsAsFewerBytes) {
  Connection c;
  Connect(c);
  const uint8_t partial[10] = {1};
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(c.client, partial, sizeof partial, &written, nullptr));
  uint8_t received[24] = {};
  EXPECT_EQ(events_.Read(c.pipe, received, sizeof received), 10);
  Release(c);
}

TEST_F(Win32PipeEventsTest, ClientThatSendsNothingCannotHoldThePipe) {
  Connection c;
  Connect(c);
  const DWORD start = GetTickCount();
  uint8_t received[24] = {};
  EXPECT_EQ(events_.Read(c.pipe, received, sizeof received), -1);
  EXPECT_GE(GetTickCount() - start, static_cast<DWORD>(platform::kPipeReadLimitMs - 100));
  // The cancelled read left the instance usable: the next record still arrives.
  const uint8_t record[24] = {7};
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(c.client, record, sizeof record, &written, nullptr));
  EXPECT_EQ(events_.Read(c.pipe, received, sizeof received), 24);
  EXPECT_EQ(received[0], 7);
  Release(c);
}

TEST_F(Win32PipeEventsTest, ClientThatNeverReadsCannotHoldTheFlush) {
  Connection c;
  Connect(c);
  const uint8_t reply[24] = {9};
  ASSERT_TRUE(events_.Write(c.pipe, reply, sizeof reply));
  const DWORD start = GetTickCount();
  events_.Flush(c.pipe);  // the client never reads
  EXPECT_LT(GetTickCount() - start, static_cast<DWORD>(3 * platform::kPipeFlushLimitMs));
  Release(c);
}

TEST_F(Win32PipeEventsTest, OpenEventFindsOnlyEventsThatExist) {
  const std::u16string name = UniqueName(u"Global\\ZylWin32Test_");
  EXPECT_EQ(events_.OpenEvent(name), nullptr);

  HANDLE made = CreateEventW(nullptr, TRUE, FALSE, Wide(name));
  ASSERT_NE(made, nullptr);
  Handle opened = events_.OpenEvent(name);
  ASSERT_NE(opened, nullptr);
  // Opened for EVENT_MODIFY_STATE: the service's set and reset reach the client's object.
  EXPECT_TRUE(events_.SetEvent(opened));
  EXPECT_EQ(WaitForSingleObject(made, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(events_.ResetEvent(opened));
  EXPECT_EQ(WaitForSingleObject(made, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  events_.Close(opened);
  CloseHandle(made);
}

TEST(Win32WaitTest, WaitForEitherAnswersTheLowestSignalledIndex) {
  auto& events = platform::SystemPipeEvents();
  Handle connect = events.CreateEvent(false, false);  // auto-reset, as the connect event
  Handle stop = events.CreateEvent(true, false);      // manual-reset, as the stop event
  ASSERT_NE(connect, nullptr);
  ASSERT_NE(stop, nullptr);

  events.SetEvent(stop);
  EXPECT_EQ(events.WaitForEither(connect, stop), 1);
  events.SetEvent(connect);
  EXPECT_EQ(events.WaitForEither(connect, stop), 0);
  // The auto-reset event was consumed by that wait; the stop is seen next.
  EXPECT_EQ(events.WaitForEither(connect, stop), 1);
  EXPECT_EQ(events.WaitForEither(nullptr, nullptr), -1);
  events.Close(connect);
  events.Close(stop);
}

TEST(Win32ThreadTest, StartedThreadRunsAndIsJoined) {
  auto& events = platform::SystemPipeEvents();
  std::atomic<int> runs{0};
  Handle thread = events.StartThread(
      [](void* argument) {
        Sleep(50);
        ++*static_cast<std::atomic<int>*>(argument);
      },
      &runs);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(events.WaitForThread(thread));
  EXPECT_EQ(runs.load(), 1);
  events.Close(thread);
}

}  // namespace
