// The client's Windows transport against the service's own pipe loop on the Windows binding,
// in one process under Wine: the loop on a thread of its own, each session on the test's.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/debug_output.h"
#include "platform/pipe_events.h"
#include "service/pipe_server.h"
#include "service/service_platform.h"
#include "tools/zylclient/client_session.h"
#include "tools/zylclient/client_transport.h"

namespace {

using zylclient::SessionResult;
using zylclient::SessionStatus;

void AnswerWithCode(ZylRequest* request) { request->result = 100 + int32_t(request->command); }
void Slow(ZylRequest* request) {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  request->result = 1;
}
constexpr CommandTable kTestHandlers = {AnswerWithCode, AnswerWithCode, AnswerWithCode,
                                        AnswerWithCode, Slow};

class Win32ClientAgainstPipeLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServicePlatform bindings;
    bindings.pipeEvents = &events_;
    bindings.debugOutput = &platform::SystemDebugOutput();
    UsePlatform(bindings);
    SetCommandHandlers(kTestHandlers);
    ASSERT_EQ(SetUpPipe(resources_), nullptr);
    stop_ = events_.CreateEvent(true, false);
    loop_ = std::thread([this] { RunPipeLoop(resources_, stop_); });
  }
  void TearDown() override {
    events_.SetEvent(stop_);
    loop_.join();
    ClosePipe(resources_);
    events_.Close(stop_);
    UsePlatform(ServicePlatform{});
  }

  static SessionResult Send(const ZylRequest& request) {
    auto transport = zylclient::MakeClientTransport({});
    return zylclient::RunSession(*transport, zylclient::EncodeRequest(request), {true, 10000});
  }

  platform::PipeEvents& events_ = platform::SystemPipeEvents();
  PipeResources resources_;
  platform::Handle stop_ = nullptr;
  std::thread loop_;
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
