// Every platform call the service makes, failed one occurrence at a time, over a whole scripted
// session (load, count, query, disable, enable, an unknown code, stop): each run must end, report
// SERVICE_STOPPED, release every handle and device list, and every reply that still arrives must
// be a whole record carrying the code for that failure or a documented negative code.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "service/commands.h"
#include "service/device_nodes.h"
#include "support/full_service.h"

namespace zylservice {
namespace {

using namespace zylprotocol;

const std::vector<uint32_t> kSession = {ZylCmdLoadLibrary, ZylCmdCountDevices, ZylCmdQueryState,
                                        ZylCmdDisable,     ZylCmdEnable,       7};
// What the session answers when nothing fails, per command code.
const std::map<uint32_t, int32_t> kHealthy = {{ZylCmdLoadLibrary, 1},
                                              {ZylCmdCountDevices, 1},
                                              {ZylCmdQueryState, 2},
                                              {ZylCmdDisable, 1},
                                              {ZylCmdEnable, 1}};

const char* const kPipeCalls[] = {
    "BuildSecurity", "CreatePipe",    "Connect",           "Read",
    "Write",         "Flush",         "Disconnect",        "CreateEvent",
    "OpenEvent",     "SetEvent",      "ResetEvent",        "WaitForEither",
    "StartThread",   "WaitForThread", "ImpersonateClient", "RevertToSelf"};
const char* const kServiceCalls[] = {"RunDispatcher", "RegisterControlHandler", "SetStatus"};

struct Outcome {
  int exitCode = 0;
  std::vector<platform::FakeClientOutcome> clients;
  std::vector<std::string> pipeCalls;
  bool stoppedReported = false;
  bool cutOffByExit = false;
};

// Runs the session with `script` applied to the fresh service first, and checks what every run
// must satisfy whatever failed.
Outcome RunSession(const std::function<void(FullService&)>& script) {
  FullService service;
  service.QueueSession(kSession);
  script(service);
  Outcome outcome;
  outcome.exitCode = service.Run();
  outcome.clients = service.harness.pipe.Outcomes();
  outcome.pipeCalls = service.harness.pipe.Log().Calls();
  outcome.stoppedReported = service.StoppedAccepted();
  outcome.cutOffByExit = service.cutOffByExit;

  EXPECT_EQ(service.harness.pipe.OpenHandles(), 0u) << "every pipe, event and thread is closed";
  EXPECT_EQ(service.tree.ListsCreated(), service.tree.ListsDestroyed());
  EXPECT_EQ(service.tree.BadDestroys(), 0);
  for (const auto& client : outcome.clients) {
    if (client.reply.empty()) continue;
    EXPECT_EQ(client.reply.size(), sizeof(ZylRequest)) << "a reply is one whole record";
    const ZylRequest reply = FromBytes(client.reply);
    const ZylRequest sent = SessionRecord(reply.command);
    EXPECT_LT(reply.command, kZylCommandCount) << "no reply to an unknown code";
    EXPECT_EQ(reply.matchId, sent.matchId);
    EXPECT_EQ(reply.matchSubsys, sent.matchSubsys);
    if (reply.command != ZylCmdCountDevices) {
      EXPECT_EQ(reply.count, sent.count);
      EXPECT_EQ(reply.foundVendor, sent.foundVendor);
      EXPECT_EQ(reply.foundDevice, sent.foundDevice);
    }
  }
  return outcome;
}

std::map<uint32_t, int32_t> Results(const Outcome& outcome) {
  std::map<uint32_t, int32_t> results;
  for (const auto& client : outcome.clients) {
    if (client.reply.size() == sizeof(ZylRequest)) {
      const ZylRequest reply = FromBytes(client.reply);
      results[reply.command] = reply.result;
    }
  }
  return results;
}

TEST(FaultInjection, HealthySessionAnswersEveryCommand) {
  const Outcome outcome = RunSession([](FullService&) {});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_TRUE(outcome.stoppedReported);
  EXPECT_FALSE(outcome.cutOffByExit);
  EXPECT_EQ(Results(outcome), kHealthy);
}

// Occurrences of each call in a healthy session: failing each of them covers every call site.
std::map<std::string, int> HealthyCallCounts() {
  FullService service;
  service.QueueSession(kSession);
  service.Run();
  std::map<std::string, int> counts;
  for (const char* call : kPipeCalls) counts[call] = service.harness.pipe.Log().Count(call);
  for (const char* call : kServiceCalls) counts[call] = service.harness.scm.Log().Count(call);
  return counts;
}

TEST(FaultInjection, EachPlatformCallFailingOnceStillEndsCleanly) {
  const auto counts = HealthyCallCounts();
  int runs = 0;
  for (const auto& [call, count] : counts) {
    ASSERT_GT(count, 0) << call << " is not made by the session";
    const bool isServiceCall =
        std::set<std::string>(std::begin(kServiceCalls), std::end(kServiceCalls)).contains(call);
    for (int occurrence = 1; occurrence <= count; ++occurrence) {
      SCOPED_TRACE(call + " #" + std::to_string(occurrence));
      ++runs;
      const Outcome outcome = RunSession([&](FullService& service) {
        if (isServiceCall) {
          service.harness.scm.Log().FailOn(call, occurrence);
          if (call == "SetStatus") service.ExpectFailedStatusReport(occurrence);
        } else {
          service.harness.pipe.Log().FailOn(call, occurrence);
        }
      });
      if (call == "RunDispatcher") {
        EXPECT_EQ(outcome.exitCode, 0) << "not started as a service";
        EXPECT_TRUE(outcome.clients.empty());
        continue;
      }
      EXPECT_EQ(outcome.exitCode, 1);
      if (call == "RegisterControlHandler") {
        EXPECT_FALSE(outcome.stoppedReported) << "nothing is reported without a handler";
        EXPECT_TRUE(outcome.clients.empty());
        continue;
      }
      EXPECT_TRUE(outcome.stoppedReported);
      // A platform failure loses replies or, with no worker, the command; it never changes
      // what a command that ran answers. A load that never ran leaves no context.
      for (const auto& [command, result] : Results(outcome)) {
        SCOPED_TRACE(command);
        const std::set<int32_t> allowed = {kHealthy.at(command), kResultNoContext,
                                           kResultWorkerNotStarted};
        EXPECT_TRUE(allowed.contains(result)) << result;
      }
      if (call == "StartThread") {
        const auto results = Results(outcome);
        EXPECT_EQ(results.at(kSession[occurrence - 1]), kResultWorkerNotStarted);
      }
    }
  }
  EXPECT_GT(runs, 40);
}

// Library and device-tree failures change the answers: each has its own.
struct ScriptedFailure {
  std::string name;
  std::function<void(FullService&)> apply;
  std::map<uint32_t, int32_t> expected;
};

std::vector<ScriptedFailure> LibraryAndDeviceFailures() {
  std::vector<ScriptedFailure> failures = {
      {"library cannot be loaded",
       [](FullService& s) { s.loader.Log().FailAlways("Load Qvzyl.Dll"); },
       {{0, -105}, {1, -106}, {2, -106}, {3, 1}, {4, 1}}},
      {"device list cannot be created",
       [](FullService& s) { s.tree.FailListCreation(8); },
       {{0, 1}, {1, 1}, {2, 0}, {3, 0}, {4, 0}}},
      {"hardware IDs cannot be read",
       [](FullService& s) { s.tree.Node(0).hardwareIdReadError = 31; },
       {{0, 1}, {1, 1}, {2, -102}, {3, -102}, {4, -102}}},
      {"adapter has no driver key",
       [](FullService& s) { s.tree.Node(s.adapterNode).driverKey.reset(); },
       {{0, 1}, {1, 1}, {2, -102}, {3, -102}, {4, -102}}},
      {"class installer fails",
       [](FullService& s) { s.tree.FailEveryClassInstallerCall(); },
       {{0, 1}, {1, 1}, {2, 2}, {3, 1}, {4, 1}}},
      {"node status cannot be read",
       [](FullService& s) { s.tree.Node(s.adapterNode).statusFails = true; },
       {{0, 1}, {1, 1}, {2, 3}, {3, -101}, {4, -101}}},
      {"node stays started after a stop",
       [](FullService& s) { s.tree.Node(s.adapterNode).stopLeavesStarted = true; },
       {{0, 1}, {1, 1}, {2, 2}, {3, -101}, {4, 1}}},
      {"every start leaves a problem",
       [](FullService& s) { s.tree.Node(s.adapterNode).startAlwaysLeavesProblem = true; },
       {{0, 1}, {1, 1}, {2, 2}, {3, 1}, {4, -101}}},
  };
  for (const auto& [code, name] :
       std::map<uint32_t, std::string>{{platform::kDicsStop, "stop"},
                                       {platform::kDicsDisable, "disable"},
                                       {platform::kDicsEnable, "enable"},
                                       {platform::kDicsStart, "start"}}) {
    // A refused stop ends the disable; a refused disable is not looked at; a refused enable or
    // start ends the enable.
    const int32_t disable = code == platform::kDicsStop ? -101 : 1;
    const int32_t enable = code == platform::kDicsEnable || code == platform::kDicsStart ? -101 : 1;
    failures.push_back(
        {"parameters refused for " + name,
         [code](FullService& s) { s.tree.Node(s.adapterNode).refuseParamsFor.insert(code); },
         {{0, 1}, {1, 1}, {2, 2}, {3, disable}, {4, enable}}});
  }
  for (const auto& [exportName, _] : FullService::LibraryExports()) {
    std::map<uint32_t, int32_t> expected = kHealthy;
    if (exportName == "QV_InitLibrary") expected[0] = -106;
    if (exportName == "QV_GetPciDeviceCount") expected[1] = -106;
    if (exportName == "QV_GetPciCommandReg") expected[2] = -106;
    failures.push_back({"export missing: " + exportName,
                        [name = exportName](FullService& s) {
                          auto exports = FullService::LibraryExports();
                          exports.erase(name);
                          s.loader.AddLibrary(u"Qvzyl.Dll", exports);
                        },
                        expected});
  }
  return failures;
}

TEST(FaultInjection, LibraryAndDeviceFailuresAnswerTheirCodes) {
  for (const auto& failure : LibraryAndDeviceFailures()) {
    SCOPED_TRACE(failure.name);
    const Outcome outcome = RunSession(failure.apply);
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_TRUE(outcome.stoppedReported);
    EXPECT_EQ(Results(outcome), failure.expected);
  }
}

}  // namespace
}  // namespace zylservice
