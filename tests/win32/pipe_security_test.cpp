// The service's own pipe, as its set-up makes it, seen from a client: the access list read back
// from the system, a client that opens with GENERIC_READ | GENERIC_WRITE served through the
// events it made (opened by the loop with the client's identity), and the impersonation calls
// of the binding. Wine keeps access lists but enforces none: only real Windows shows a refusal.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <string>

#include "platform/pipe_events.h"
#include "platform/win32/scoped_handle.h"
#include "protocol/names.h"
#include "support/pipe_loop_host.h"

using namespace zylprotocol;
using zylservice::ClosePipe;
using zylservice::PipeResources;
using zylservice::ServicePlatform;
using zylservice::SetUpPipe;
using zylservice::UsePlatform;

namespace {

using platform::win32::ScopedKernelHandle;
using platform::win32::ScopedLocalMemory;

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

struct Ace {
  WELL_KNOWN_SID_TYPE account;
  ACCESS_MASK mask;
};

// The client's side of one exchange: its two events, then the pipe opened for reading and
// writing, as the service's own client does.
class PipeSecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host_.ready());
    ASSERT_TRUE(done_.Valid() && disconnected_.Valid());
    client_.Reset(CreateFileW(Wide(kPipeName), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(client_.Valid()) << "open with GENERIC_READ | GENERIC_WRITE: " << GetLastError();
  }

  ScopedKernelHandle done_{CreateEventW(nullptr, TRUE, FALSE, Wide(kCommandDoneEventName))};
  ScopedKernelHandle disconnected_{CreateEventW(nullptr, TRUE, TRUE, Wide(kDisconnectedEventName))};
  zyltest::PipeLoopHost host_{platform::SystemPipeEvents()};
  ScopedKernelHandle client_;
};

// The access list as the service's own set-up makes it, read back from the pipe.
TEST(PipeAccessList, GrantsUsersReadAndWriteButNotTheAccessListItself) {
  ServicePlatform bindings;
  bindings.pipeEvents = &platform::SystemPipeEvents();
  bindings.debugOutput = &platform::SystemDebugOutput();
  UsePlatform(bindings);
  PipeResources pipe;
  ASSERT_EQ(SetUpPipe(pipe), nullptr);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD read = GetSecurityInfo(pipe.pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, &dacl, nullptr, &descriptor);
  ClosePipe(pipe);
  UsePlatform(ServicePlatform{});
  ASSERT_EQ(read, static_cast<DWORD>(ERROR_SUCCESS));
  const ScopedLocalMemory owned(descriptor);
  ASSERT_NE(dacl, nullptr);

  const Ace expected[] = {{WinLocalSystemSid, 0x001F01FF},
                          {WinBuiltinAdministratorsSid, 0x001F01FF},
                          {WinBuiltinUsersSid, 0x0012019F}};
  ASSERT_EQ(dacl->AceCount, 3);
  for (DWORD i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << "GRANT_ACCESS";
    EXPECT_EQ(ace->Header.AceFlags, 0) << "NO_INHERITANCE";
    EXPECT_EQ(ace->Mask, expected[i].mask);
    std::array<BYTE, SECURITY_MAX_SID_SIZE> sid{};
    DWORD size = sid.size();
    ASSERT_TRUE(CreateWellKnownSid(expected[i].account, nullptr, sid.data(), &size));
    EXPECT_TRUE(EqualSid(&ace->SidStart, sid.data()));
  }

  // What GENERIC_READ | GENERIC_WRITE asks of a file-system object must all be granted to
  // Users (FILE_APPEND_DATA included, which a pipe calls FILE_CREATE_PIPE_INSTANCE); what
  // would let a user lock everybody else out must not.
  ACCESS_MASK asked = GENERIC_READ | GENERIC_WRITE;
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  MapGenericMask(&asked, &mapping);
  EXPECT_EQ(asked & ~expected[2].mask, 0u);
  EXPECT_EQ(expected[2].mask & (WRITE_DAC | WRITE_OWNER | DELETE), 0u);
}

TEST_F(PipeSecurityTest, ClientOpeningForReadAndWriteIsServedThroughItsOwnEvents) {
  const ZylRequest sent{0, 1, 2, 3, -77, 4, 5};
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(client_.Get(), &sent, sizeof sent, &written, nullptr));
  ZylRequest reply{};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(client_.Get(), &reply, sizeof reply, &read, nullptr))
      << "no reply: the loop could not take the client's identity or open its events ("
      << GetLastError() << ")";
  EXPECT_EQ(read, sizeof reply);
  EXPECT_EQ(reply.result, 100);
  EXPECT_EQ(WaitForSingleObject(done_.Get(), 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(disconnected_.Get(), 5000), WAIT_OBJECT_0);
}

TEST(PipeImpersonation, TheThreadHoldsTheClientsTokenUntilItRevertsToSelf) {
  const std::wstring name =
      L"\\\\.\\pipe\\zyl_impersonation_" + std::to_wstring(GetCurrentProcessId());
  const ScopedKernelHandle pipe(
      CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 512, 512, 1000, nullptr));
  ASSERT_TRUE(pipe.Valid());
  const ScopedKernelHandle client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(client.Valid());
  DWORD transferred = 0;
  char byte = 'z';
  ASSERT_TRUE(WriteFile(client.Get(), &byte, 1, &transferred, nullptr));
  ASSERT_TRUE(ReadFile(pipe.Get(), &byte, 1, &transferred, nullptr));

  auto& events = platform::SystemPipeEvents();
  ASSERT_TRUE(events.ImpersonateClient(pipe.Get())) << GetLastError();
  HANDLE token = nullptr;
  const bool impersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
  const ScopedKernelHandle ownedToken(token);
  EXPECT_TRUE(impersonating) << "no impersonation token: " << GetLastError();
  ASSERT_TRUE(events.RevertToSelf());
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
}

}  // namespace
