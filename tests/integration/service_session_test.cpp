// The real programs as separate processes on Linux: the service (on a simulated machine, and
// the shipped program on this one) and real clients.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace {

using integration::Background;
using integration::Finished;

const std::string kBuild = ZYL_BINARY_DIR;
const std::string kClient = kBuild + "/tools/zylclient/zylclient";
const std::string kProbe = kBuild + "/tools/zylclient/zylprobe";
const std::string kSimService = kBuild + "/sim/zylsim_service";
constexpr char kSocket[] = "/TAVIK_Zyl_Control_Service";

// One reply as the client reports it with --json.
struct Reply {
  int exitStatus = -1;
  std::string json;
  long Field(const std::string& name) const {
    std::smatch match;
    const std::regex pattern("\"reply\":\\{[^}]*\"" + name + "\":(-?[0-9]+)");
    return std::regex_search(json, match, pattern) ? std::stol(match[1]) : -99999;
  }
  long result() const { return Field("result"); }
};

class SimulatedMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime = integration::MakeTempDir("zylsim");
    ASSERT_FALSE(runtime.empty());
    service = std::make_unique<Background>(
        std::vector<std::string>{kSimService, "--runtime-dir", runtime}, runtime + "/service.log");
    ASSERT_TRUE(service->WaitForFile(runtime + kSocket)) << Log();
  }

  Reply Client(std::vector<std::string> args, const std::string& program = kClient) {
    std::vector<std::string> argv{program,  "--runtime-dir", runtime,
                                  "--json", "--timeout-ms",  "20000"};
    argv.insert(argv.end(), args.begin(), args.end());
    const Finished finished = integration::Run(argv);
    return Reply{finished.status, finished.output};
  }
  // The tests' protocol probe: what zylclient cannot send.
  Reply Probe(std::vector<std::string> args) { return Client(std::move(args), kProbe); }
  std::string Log() const { return integration::ReadFile(runtime + "/service.log"); }

  std::string runtime;
  std::unique_ptr<Background> service;
};

TEST_F(SimulatedMachineTest, FullSessionTakesTheAdapterOutAndPutsItBack) {
  EXPECT_EQ(Client({"load"}).result(), 1);

  const Reply byId = Client({"count", "--match-id", "0x81CE104D"});
  EXPECT_EQ(byId.result(), 1);
  EXPECT_EQ(byId.Field("count"), 1);

  const Reply bySubsystem = Client({"count", "--match-subsys", "0x81CE104D"});
  EXPECT_EQ(bySubsystem.result(), 1);
  EXPECT_EQ(bySubsystem.Field("count"), 1) << "function 0 of each device only";
  EXPECT_EQ(bySubsystem.Field("foundVendor"), 0x104D);
  EXPECT_EQ(bySubsystem.Field("foundDevice"), 0x81CE);

  const std::vector<std::string> query{"query", "--match-id", "0x81CE104D", "--count", "0"};
  EXPECT_EQ(Client(query).result(), 2);
  const Reply disabled = Client({"disable", "--match-id", "0x1", "--count", "9"});
  EXPECT_EQ(disabled.result(), 1);
  EXPECT_EQ(disabled.Field("matchId"), 1) << "fields the command does not write come back";
  EXPECT_EQ(disabled.Field("count"), 9);
  EXPECT_EQ(Client(query).result(), 3);
  EXPECT_EQ(Client({"enable"}).result(), 1);
  EXPECT_EQ(Client(query).result(), 2);
  EXPECT_EQ(Client({"query", "--match-id", "0x81CE104D", "--count", "1"}).result(), 4)
      << "no second function with that ID";

  EXPECT_EQ(service->Terminate(), 1) << "a normal stop";
  const std::string log = Log();
  EXPECT_NE(log.find("ZYLCTRL:Create Pipe\n"), std::string::npos);
  EXPECT_NE(log.find("QV_InitLibrary------------->\n"), std::string::npos);
  EXPECT_NE(log.find("ZYLCTRL:SERVICE_CONTROL_STOP"), std::string::npos);
}

// The exit status a script sees at each step, from the real program.
TEST_F(SimulatedMachineTest, ExitStatusTellsEachOutcomeApart) {
  const std::vector<std::string> query{"query", "--match-id", "0x81CE104D"};
  EXPECT_EQ(Client(query).exitStatus, 9) << "no session yet";
  EXPECT_EQ(Client({"load", "--timeout-ms", "0"}).exitStatus, 0) << "0: the default time-out";
  EXPECT_EQ(Client({"count", "--match-id", "0x81CE104D"}).exitStatus, 0);
  EXPECT_EQ(Client(query).exitStatus, 0) << "works";
  EXPECT_EQ(Client({"disable"}).exitStatus, 0);
  EXPECT_EQ(Client(query).exitStatus, 7) << "disabled: the adapter has a problem";
  EXPECT_EQ(Client({"query", "--match-id", "0x81CE104D", "--count", "1"}).exitStatus, 10)
      << "no second function";
  const Reply bad = Client({"count", "--bogus"});
  EXPECT_EQ(bad.exitStatus, 2);
  EXPECT_EQ(bad.json, "{\"status\":\"bad-arguments\",\"message\":\"unknown option --bogus\"}\n");
}

TEST_F(SimulatedMachineTest, RestartAndEnableWaitUntilTheAdapterWorks) {
  ASSERT_EQ(Client({"load"}).exitStatus, 0);
  ASSERT_EQ(Client({"count", "--match-id", "0x81CE104D"}).exitStatus, 0);
  const Reply restart = Client({"restart", "--match-id", "0x81CE104D"});
  EXPECT_EQ(restart.exitStatus, 0) << restart.json;
  EXPECT_NE(restart.json.find("\"name\":\"restart\",\"steps\":[{"), std::string::npos);
  EXPECT_NE(restart.json.find("\"wait\":{\"status\":\"reply\",\"result\":2"), std::string::npos);
  // No second function with that ID: it never works, so the wait runs out.
  const Reply never = Client({"enable", "--match-id", "0x81CE104D", "--count", "1", "--wait", "1"});
  EXPECT_EQ(never.exitStatus, 11) << never.json;
  EXPECT_NE(never.json.find("\"working\":false"), std::string::npos) << never.json;
  EXPECT_EQ(Client({"query", "--match-id", "0x81CE104D", "--wait", "1"}).exitStatus, 2);
  EXPECT_EQ(Client({"restart"}).exitStatus, 2) << "nothing to query";
}

TEST_F(SimulatedMachineTest, RefusedClientsGetNoReplyAndTheNextIsServed) {
  EXPECT_EQ(Client({"7"}).exitStatus, 4) << "unknown command: closed without a reply";
  const Reply bare = Probe({"load", "--no-events"});
  EXPECT_EQ(bare.exitStatus, 0) << "no events: served, the socket is the whole exchange";
  EXPECT_EQ(bare.result(), 1);
  EXPECT_EQ(Probe({"--raw", "0300000000"}).exitStatus, 4) << "short record: refused";
  EXPECT_EQ(Client({"--raw", "0300000000"}).exitStatus, 2) << "zylclient sends records only";
  const Reply served = Client({"load"});
  EXPECT_EQ(served.exitStatus, 0);
  EXPECT_EQ(served.result(), 1);
}

TEST_F(SimulatedMachineTest, CommandsBeforeLoadAnswerWithoutTouchingAnything) {
  for (const char* command : {"count", "query", "disable", "enable"}) {
    EXPECT_EQ(Client({command, "--match-id", "0x81CE104D"}).result(), -107) << command;
  }
}

TEST_F(SimulatedMachineTest, ClientsArrivingTogetherAreServedOneAfterAnother) {
  ASSERT_EQ(Client({"load"}).result(), 1);
  std::vector<std::future<Reply>> replies;
  for (int i = 0; i < 12; ++i) {
    replies.push_back(std::async(std::launch::async, [this, i] {
      return Client({"count", "--match-id", i % 2 ? "0x81CE104D" : "0x905C104D"});
    }));
  }
  for (auto& reply : replies) {
    const Reply r = reply.get();
    EXPECT_EQ(r.exitStatus, 0) << r.json;
    EXPECT_EQ(r.result(), 1);
    EXPECT_EQ(r.Field("count"), 1);
  }
}

TEST_F(SimulatedMachineTest, ASecondServiceOnTheSamePipeNameRefusesToServe) {
  const std::string log = runtime + "/second.log";
  Background second({kSimService, "--runtime-dir", runtime}, log);
  EXPECT_EQ(second.WaitForExit(10000), 1) << "reports stopped at once and exits";
  EXPECT_NE(integration::ReadFile(log).find("Cannot create the pipe"), std::string::npos);
  EXPECT_EQ(Client({"load"}).result(), 1) << "the first service still serves";
}

TEST(ServiceProgram, SigtermDuringACommandLetsItsReplyOutBeforeTheServiceEnds) {
  const std::string runtime = integration::MakeTempDir("zylstop");
  const std::string log = runtime + "/service.log";
  Background service({kSimService, "--runtime-dir", runtime, "--command-delay-ms", "1500"}, log);
  ASSERT_TRUE(service.WaitForFile(runtime + kSocket));
  auto loaded = std::async(std::launch::async, [&] {
    const Finished finished =
        integration::Run({kClient, "--runtime-dir", runtime, "--json", "load"});
    return Reply{finished.status, finished.output};
  });
  // The command has done its work and is still running: now the stop comes.
  ASSERT_TRUE(integration::WaitForText(log, "<-------------QV_InitLibrary"));
  EXPECT_EQ(service.Terminate(), 1) << "stopped normally, once the reply was out";
  const Reply reply = loaded.get();
  EXPECT_EQ(reply.exitStatus, 0) << reply.json;
  EXPECT_EQ(reply.result(), 1);
}

TEST(ServiceProgram, ClientReportsAServiceThatIsNotRunning) {
  const std::string runtime = integration::MakeTempDir("nosvc");
  const Finished finished = integration::Run({kClient, "--runtime-dir", runtime, "load"});
  EXPECT_EQ(finished.status, 3);
}

}  // namespace
