// The client's Windows transport against the service's own pipe loop on the Windows binding,
// in one process under Wine: the loop on a thread of its own, each session on the test's.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/debug_output.h"
#include "platform/pipe_events.h"
#include "support/pipe_loop_host.h"
#include "tools/zylclient/client_session.h"
#include "tools/zylclient/client_transport.h"

namespace {

using zylclient::SessionResult;
using zylclient::SessionStatus;

class Win32ClientAgainstPipeLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(host_.ready()); }

  static SessionResult Send(const ZylRequest& request) {
    auto transport = zylclient::MakeClientTransport({});
    return zylclient::RunSession(*transport, zylclient::EncodeRequest(request), {true, 10000});
  }

  zyltest::PipeLoopHost host_{platform::SystemPipeEvents()};
};

TEST_F(Win32ClientAgainstPipeLoopTest, ReplyAndEventsAsOnLinux) {
  const ZylRequest sent{3, 0x81CE104D, 0x81CE104D, 7, -77, 0x5555, 0x6666};
  const SessionResult result = Send(sent);
  ASSERT_EQ(result.status, SessionStatus::kReply) << result.message;
  EXPECT_EQ(result.reply.result, 103);
  EXPECT_EQ(result.reply.matchId, sent.matchId);
  EXPECT_EQ(result.reply.foundDevice, 0x6666);
  EXPECT_TRUE(result.commandDoneBeforeReply);
  EXPECT_TRUE(result.disconnectedAfterReply);

  const SessionResult unknown = Send(ZylRequest{9, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(unknown.status, SessionStatus::kNoReply) << unknown.message;
  EXPECT_FALSE(unknown.commandDoneBeforeReply);
  EXPECT_TRUE(unknown.disconnectedAfterReply);
}

TEST_F(Win32ClientAgainstPipeLoopTest, SecondClientWaitsWhileTheInstanceIsBusy) {
  SessionResult slow;
  std::thread first([&] { slow = Send(ZylRequest{4, 0, 0, 0, 0, 0, 0}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const SessionResult quick = Send(ZylRequest{1, 0, 0, 0, 0, 0, 0});
  first.join();
  ASSERT_EQ(slow.status, SessionStatus::kReply) << slow.message;
  ASSERT_EQ(quick.status, SessionStatus::kReply) << quick.message;
  EXPECT_EQ(quick.reply.result, 101);
}

}  // namespace
