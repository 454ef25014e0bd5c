// What only the Windows pipe binding shows (the shared behaviour is in
// pipe_events_contract_test.cpp): cancelled reads and bounded flushes on real kernel objects.
// Each test uses a pipe name of its own.
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

using platform::kFileAllAccess;
using zylservice::kPipeBufferSize;
using zylservice::kPipeDefaultTimeoutMs;
using zylservice::kPipeMaxInstances;
using zylservice::kPipeMode;
using zylservice::kPipeOpenMode;

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

TEST_F(Win32PipeEventsTest, ReadCancelledAtItsLimitLeavesThePipeUsable) {
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

}  // namespace
