// The client's Windows transport against the service's own pipe loop on the Windows binding,
// in one process under Wine: the loop on a thread of its own, each exchange on the test's.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <thread>

#include "client/exchange.h"
#include "client/transport.h"
#include "platform/debug_output.h"
#include "platform/pipe_events.h"
#include "support/pipe_loop_host.h"

namespace {

using zylprotocol::ZylRequest;

using zylclient::ExchangeResult;

class Win32ClientAgainstPipeLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(host_.ready()); }

  // This process serves the pipe here, so it is the server the client must find.
  static ExchangeResult Send(const ZylRequest& request,
                             unsigned long expectedServer = GetCurrentProcessId()) {
    zylclient::TransportOptions transport;
    transport.expectedServerPid = expectedServer;
    auto channel = zylclient::MakeClientTransport(transport);
    zylclient::ExchangeOptions options;
    options.timeoutMs = 10000;
    return zylclient::RunExchange(*channel, zylclient::EncodeRequest(request), options);
  }

  zyltest::PipeLoopHost host_{platform::SystemPipeEvents()};
};

TEST_F(Win32ClientAgainstPipeLoopTest, ReplyAndEventsAsOnLinux) {
  const ZylRequest sent{3, 0x81CE104D, 0x81CE104D, 7, -77, 0x5555, 0x6666};
  const ExchangeResult result = Send(sent);
  ASSERT_EQ(result.status, ZYL_STATUS_OK) << result.message;
  EXPECT_EQ(result.reply.result, 103);
  EXPECT_EQ(result.reply.matchId, sent.matchId);
  EXPECT_EQ(result.reply.foundDevice, 0x6666);
  EXPECT_TRUE(result.commandDoneBeforeReply);
  EXPECT_TRUE(result.disconnectedAfterReply);

  const ExchangeResult unknown = Send(ZylRequest{9, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(unknown.status, ZYL_STATUS_CLOSED) << unknown.message;
  EXPECT_FALSE(unknown.commandDoneBeforeReply);
  EXPECT_TRUE(unknown.disconnectedAfterReply);
}

TEST_F(Win32ClientAgainstPipeLoopTest, SecondClientWaitsWhileTheInstanceIsBusy) {
  ExchangeResult slow;
  std::thread first([&] { slow = Send(ZylRequest{4, 0, 0, 0, 0, 0, 0}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const ExchangeResult quick = Send(ZylRequest{1, 0, 0, 0, 0, 0, 0});
  first.join();
  ASSERT_EQ(slow.status, ZYL_STATUS_OK) << slow.message;
  ASSERT_EQ(quick.status, ZYL_STATUS_OK) << quick.message;
  EXPECT_EQ(quick.reply.result, 101);
}

// Whoever else holds the pipe name gets nothing: here the server is this process, while the
// client expects another one, or (asking the service manager) the service, which is not
// installed in the test's prefix. The loop then serves the next client at once.
TEST_F(Win32ClientAgainstPipeLoopTest, PipeServedByAnotherProcessGetsNoRequest) {
  const ExchangeResult stranger = Send(ZylRequest{1, 0, 0, 0, 0, 0, 0}, GetCurrentProcessId() + 4);
  EXPECT_EQ(stranger.status, ZYL_STATUS_NOT_THE_SERVICE) << stranger.message;
  EXPECT_NE(stranger.message.find("serves the pipe"), std::string::npos) << stranger.message;
  EXPECT_FALSE(stranger.commandDoneBeforeReply) << "no command ran";

  const ExchangeResult noService = Send(ZylRequest{1, 0, 0, 0, 0, 0, 0}, 0);
  EXPECT_EQ(noService.status, ZYL_STATUS_NOT_THE_SERVICE) << noService.message;

  const ExchangeResult next = Send(ZylRequest{2, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(next.status, ZYL_STATUS_OK) << next.message;
  EXPECT_EQ(next.reply.result, 102);
}

}  // namespace
