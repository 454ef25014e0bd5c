// The client against the service's own pipe loop on the Linux binding, in one process: the
// loop on a thread of its own, each client session on the test's thread.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "client/exchange.h"
#include "client/transport.h"
#include "platform/debug_output.h"
#include "platform/posix/ipc_names.h"
#include "platform/posix/pipe_events.h"
#include "posix/support/scratch_dir.h"
#include "support/pipe_loop_host.h"
#include "tools/zylclient/cli.h"

namespace {

using zylprotocol::ZylRequest;

using zylclient::ExchangeOptions;
using zylclient::ExchangeResult;

class ClientAgainstPipeLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(host_.ready()); }

  ExchangeResult Send(const ZylRequest& request, ExchangeOptions options = {}) {
    auto transport = zylclient::MakeClientTransport({dir_.Path()});
    return zylclient::RunExchange(*transport, zylclient::EncodeRequest(request), options);
  }

  zyltest::ScratchDir dir_;
  platform::PosixPipeEvents binding_{dir_.Path()};
  zyltest::PipeLoopHost host_{binding_};
};

TEST_F(ClientAgainstPipeLoopTest, ReplyCarriesTheFieldsAsSentWithTheResultAndBothEventsSet) {
  const ZylRequest sent{3, 0x81CE104D, 0x81CE104D, 7, -77, 0x5555, 0x6666};
  const ExchangeResult result = Send(sent);
  ASSERT_EQ(result.status, ZYL_STATUS_OK) << result.message;
  EXPECT_EQ(result.reply.result, 103);
  EXPECT_EQ(result.reply.command, 3u);
  EXPECT_EQ(result.reply.matchId, sent.matchId);
  EXPECT_EQ(result.reply.matchSubsys, sent.matchSubsys);
  EXPECT_EQ(result.reply.count, 7u);
  EXPECT_EQ(result.reply.foundVendor, 0x5555);
  EXPECT_EQ(result.reply.foundDevice, 0x6666);
  EXPECT_TRUE(result.commandDoneBeforeReply);
  EXPECT_TRUE(result.disconnectedAfterReply);
}

// What this process's descriptors lead to, sockets aside (the service's side of a connection
// may still be closing when its client has seen the end): files, pipes, eventfds.
std::multiset<std::string> OpenNonSockets() {
  std::multiset<std::string> targets;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    const std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
    // Empty: closed meanwhile, by the service's thread.
    if (!target.empty() && target.rfind("socket:", 0) != 0 && target.rfind("/proc/", 0) != 0) {
      targets.insert(target);
    }
  }
  return targets;
}

// The program's side of descriptors is in the client library test (integration).
TEST_F(ClientAgainstPipeLoopTest, ExchangeMakesNoFileAndOpensNone) {
  const auto entries = [&] {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.Path())) {
      names.push_back(entry.path().string());
    }
    return names;
  };
  const std::vector<std::string> before = entries();
  const std::multiset<std::string> open = OpenNonSockets();
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(Send(ZylRequest{3, 0, 0, 0, 0, 0, 0}).status, ZYL_STATUS_OK);
  EXPECT_EQ(entries(), before);
  EXPECT_EQ(OpenNonSockets(), open);
}

TEST_F(ClientAgainstPipeLoopTest, UnknownCommandGetsNoReplyAndTheConnectionCloses) {
  const ExchangeResult result = Send(ZylRequest{9, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(result.status, ZYL_STATUS_CLOSED);
  EXPECT_EQ(result.message, "no reply: the service closed the connection");
  EXPECT_FALSE(result.commandDoneBeforeReply);
  EXPECT_TRUE(result.disconnectedAfterReply);
}

TEST_F(ClientAgainstPipeLoopTest, SecondClientWaitsForTheFirstAndIsServedAfterIt) {
  ExchangeResult slow;
  std::thread first([&] { slow = Send(ZylRequest{4, 0, 0, 0, 0, 0, 0}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const ExchangeResult quick = Send(ZylRequest{1, 0, 0, 0, 0, 0, 0});
  first.join();
  ASSERT_EQ(slow.status, ZYL_STATUS_OK) << slow.message;
  ASSERT_EQ(quick.status, ZYL_STATUS_OK) << quick.message;
  EXPECT_EQ(slow.reply.result, 1);
  EXPECT_EQ(quick.reply.result, 101);
}

TEST_F(ClientAgainstPipeLoopTest, ReplyThatTakesTooLongIsATimeoutAndTheServiceGoesOn) {
  ExchangeOptions hurried;
  hurried.timeoutMs = 100;
  const ExchangeResult late = Send(ZylRequest{4, 0, 0, 0, 0, 0, 0}, hurried);
  EXPECT_EQ(late.status, ZYL_STATUS_TIMEOUT);
  const ExchangeResult next = Send(ZylRequest{0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(next.status, ZYL_STATUS_OK) << next.message;
  EXPECT_EQ(next.reply.result, 100);
}

TEST(ClientWithoutServiceTest, ReportsThatTheServiceIsNotRunning) {
  zyltest::ScratchDir dir;
  auto transport = zylclient::MakeClientTransport({dir.Path()});
  const ExchangeResult result =
      zylclient::RunExchange(*transport, zylclient::EncodeRequest(ZylRequest{}), {});
  EXPECT_EQ(result.status, ZYL_STATUS_NO_SERVICE);
}

TEST(ClientRecordTest, EncodesLittleEndianAndDecodesBack) {
  const ZylRequest request{0x04030201, 0x81CE104D, 2, 3, -101, 0x104D, 0x81CE};
  const std::vector<uint8_t> bytes = zylclient::EncodeRequest(request);
  ASSERT_EQ(bytes.size(), 24u);
  EXPECT_EQ(bytes[0], 0x01);
  EXPECT_EQ(bytes[3], 0x04);
  EXPECT_EQ(bytes[4], 0x4D);
  EXPECT_EQ(bytes[16], 0x9B);  // -101
  EXPECT_EQ(bytes[19], 0xFF);
  EXPECT_EQ(bytes[20], 0x4D);
  EXPECT_EQ(bytes[23], 0x81);
  const ZylRequest back = zylclient::DecodeReply(bytes.data(), bytes.size());
  EXPECT_EQ(std::memcmp(&back, &request, sizeof(request)), 0);
}

// Every field in its own place: a public record and its protocol record hold the same bytes.
TEST(ClientRecordTest, PublicAndProtocolRecordsConvertFieldForField) {
  const zyl_record record{4, 0x81CE104D, 0x50001987, 7, -102, 0x1987, 0x5000};
  const ZylRequest request = zylclient::ToProtocol(record);
  EXPECT_EQ(std::memcmp(&request, &record, sizeof(record)), 0);
  const zyl_record back = zylclient::ToPublic(request);
  EXPECT_EQ(std::memcmp(&back, &record, sizeof(record)), 0);
}

TEST(ClientCommandLineTest, TakesNamesNumbersAndFields) {
  std::string error;
  auto options = zylclient::ParseArguments(
      {"disable", "--match-id", "0x81CE104D", "--count", "2", "--found-vendor", "0x104d", "--json",
       "--timeout-ms", "500", "--runtime-dir", "/x", "--no-events"},
      &error, true);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->request.command, 3u);
  EXPECT_EQ(options->request.matchId, 0x81CE104Du);
  EXPECT_EQ(options->request.count, 2u);
  EXPECT_EQ(options->request.foundVendor, 0x104D);
  EXPECT_TRUE(options->json);
  EXPECT_EQ(options->timeoutMs, 500u);
  EXPECT_EQ(options->runtimeDir, "/x");
  EXPECT_FALSE(options->createEvents);

  options = zylclient::ParseArguments({"7"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->request.command, 7u);
  options = zylclient::ParseArguments({"--raw", "01 00 00 00 ff"}, &error, true);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->raw, (std::vector<uint8_t>{1, 0, 0, 0, 0xFF}));
  // --version needs no command and sends nothing.
  options = zylclient::ParseArguments({"--version"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_TRUE(options->version);
}

TEST(ClientCommandLineTest, RefusesWhatItCannotSend) {
  std::string error;
  EXPECT_FALSE(zylclient::ParseArguments({}, &error));
  EXPECT_FALSE(zylclient::ParseArguments({"remove"}, &error));
  EXPECT_FALSE(zylclient::ParseArguments({"count", "--found-vendor", "0x10000"}, &error));
  EXPECT_FALSE(zylclient::ParseArguments({"count", "--match-id", "-1"}, &error));
  EXPECT_FALSE(zylclient::ParseArguments({"count", "--match-id"}, &error));
  EXPECT_FALSE(zylclient::ParseArguments({"count", "--raw", "123"}, &error, true));
  EXPECT_FALSE(zylclient::ParseArguments({"--raw", "00"}, &error)) << "the probe's alone";
  EXPECT_FALSE(zylclient::ParseArguments({"load", "--no-events"}, &error));
  EXPECT_FALSE(zylclient::ParseArguments({"count", "--bogus"}, &error));
  EXPECT_FALSE(zylclient::ParseArguments({"count", "load"}, &error));
}

TEST(ClientCommandLineTest, JsonReportHasTheReplyAndTheEvents) {
  zylclient::CliOptions options;
  options.json = true;
  options.request.command = 1;
  zylclient::Outcome result;
  result.status = ZYL_STATUS_OK;
  result.reply = zyl_record{1, 0, 0, 2, 1, 0x104D, 0x81CE};
  const std::string plain = zylclient::FormatReport(options, result);
  EXPECT_EQ(plain.find("commandDone"), std::string::npos) << "zylclient sees no events";
  result.eventsWatched = true;  // the probe
  result.commandDoneBeforeReply = true;
  result.disconnectedAfterReply = true;
  const std::string json = zylclient::FormatReport(options, result);
  EXPECT_NE(json.find("\"status\":\"reply\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"count\":2"), std::string::npos) << json;
  EXPECT_NE(json.find("\"foundVendor\":4173"), std::string::npos) << json;
  EXPECT_NE(json.find("\"commandDoneBeforeReply\":true"), std::string::npos) << json;
}

TEST(ClientCommandLineTest, SaysWhatItWaitsForAndReportsAStrangerOnThePipe) {
  zylclient::CliOptions options;
  options.request.command = 1;
  EXPECT_EQ(zylclient::WaitingLine(options, ZYL_WAITING_FOR_REPLY, 3400),
            "zylclient: waiting for the service's reply to count (3 s)");
  EXPECT_EQ(zylclient::WaitingLine(options, ZYL_WAITING_FOR_SERVICE, 1000),
            "zylclient: waiting for the service, which serves another client (1 s)");

  options.json = true;
  zylclient::Outcome stranger;
  stranger.status = ZYL_STATUS_NOT_THE_SERVICE;
  stranger.message = "the pipe is not served by the service, nothing was sent: process 7";
  const std::string json = zylclient::FormatReport(options, stranger);
  EXPECT_NE(json.find("\"status\":\"not-the-service\""), std::string::npos) << json;
  EXPECT_EQ(json.find("\"reply\""), std::string::npos) << json;
  EXPECT_EQ(static_cast<int>(zylclient::ExitStatus(stranger)), 3);
}

// The JSON report's "status" is what scripts match on: one name per transport status.
TEST(ClientCommandLineTest, JsonStatusNamesEveryTransportStatus) {
  zylclient::CliOptions options;
  options.json = true;
  const std::pair<int, const char*> names[] = {
      {ZYL_STATUS_OK, "reply"},
      {ZYL_STATUS_NO_SERVICE, "not-running"},
      {ZYL_STATUS_BUSY, "busy"},
      {ZYL_STATUS_NO_EVENTS, "events-failed"},
      {ZYL_STATUS_CLOSED, "no-reply"},
      {ZYL_STATUS_SHORT_REPLY, "short-reply"},
      {ZYL_STATUS_TIMEOUT, "timeout"},
      {ZYL_STATUS_NOT_THE_SERVICE, "not-the-service"},
      {ZYL_STATUS_FAILED, "failed"},
      {ZYL_STATUS_BAD_ARGUMENT, "failed"},
      {99, "failed"},
  };
  for (const auto& [status, name] : names) {
    zylclient::Outcome outcome;
    outcome.status = status;
    const std::string json = zylclient::FormatReport(options, outcome);
    EXPECT_EQ(json.rfind(std::string("{\"status\":\"") + name + "\"", 0), 0u) << json;
  }
}

// What a script sees: every code the service can answer, and every transport status.
TEST(ClientCommandLineTest, ExitStatusFollowsTheResult) {
  const std::pair<int32_t, int> byResult[] = {
      {1, 0},    {2, 0},    {3, 7},    {4, 10},   {0, 1},    {-101, 8}, {-102, 10},
      {-105, 1}, {-106, 1}, {-107, 9}, {-108, 1}, {-200, 1}, {-300, 1}, {12345, 1}};
  for (const auto& [result, exitStatus] : byResult) {
    zylclient::Outcome reply;
    reply.status = ZYL_STATUS_OK;
    reply.reply.result = result;
    EXPECT_EQ(static_cast<int>(zylclient::ExitStatus(reply)), exitStatus) << "result " << result;
  }
  const std::pair<int, int> byStatus[] = {
      {ZYL_STATUS_NO_SERVICE, 3}, {ZYL_STATUS_BUSY, 3},        {ZYL_STATUS_NOT_THE_SERVICE, 3},
      {ZYL_STATUS_CLOSED, 4},     {ZYL_STATUS_SHORT_REPLY, 4}, {ZYL_STATUS_TIMEOUT, 5},
      {ZYL_STATUS_NO_EVENTS, 6},  {ZYL_STATUS_FAILED, 6},      {ZYL_STATUS_BAD_ARGUMENT, 6}};
  for (const auto& [status, exitStatus] : byStatus) {
    zylclient::Outcome failed;
    failed.status = status;
    failed.reply.result = 1;
    EXPECT_EQ(static_cast<int>(zylclient::ExitStatus(failed)), exitStatus)
        << zyl_status_text(status);
  }
}

TEST(ClientCommandLineTest, ExitStatusAfterAWaitSaysWhetherTheAdapterCameBack) {
  const std::pair<int32_t, int> byResult[] = {{2, 0},     {3, 11},   {4, 11},
                                              {-102, 11}, {-107, 9}, {-106, 1}};
  for (const auto& [result, exitStatus] : byResult) {
    zylclient::WaitOutcome wait;
    wait.status = ZYL_STATUS_OK;
    wait.result = result;
    EXPECT_EQ(static_cast<int>(zylclient::ExitStatusOfWait(wait)), exitStatus)
        << "result " << result;
  }
  zylclient::WaitOutcome gone;
  gone.status = ZYL_STATUS_NO_SERVICE;
  EXPECT_EQ(static_cast<int>(zylclient::ExitStatusOfWait(gone)), 3);

  zylclient::WaitOutcome late;
  late.status = ZYL_STATUS_OK;
  late.result = 3;
  late.waitedMs = 30250;
  late.waitMs = 30000;
  EXPECT_EQ(zylclient::FormatWait(false, late),
            "query until the adapter works: result 3 (adapter has a problem) after 30.2 s, not "
            "back within 30 s\n");
}

TEST(ClientCommandLineTest, ArgumentErrorsComeAsJsonWhenAskedFor) {
  EXPECT_EQ(zylclient::UsageError({"count", "--json", "--bogus"}, "unknown option --bogus"),
            "{\"status\":\"bad-arguments\",\"message\":\"unknown option --bogus\"}\n");
  // Quotes, backslashes and control characters in a message stay valid JSON.
  EXPECT_EQ(zylclient::UsageError({"--json"}, "a\"b\\c\n\x1f"),
            "{\"status\":\"bad-arguments\",\"message\":\"a\\\"b\\\\c\\u000a\\u001f\"}\n");
  EXPECT_EQ(zylclient::UsageError({"count", "--bogus"}, "unknown option --bogus")
                .rfind("zylclient: unknown option --bogus\nusage:", 0),
            0u);
}

}  // namespace
