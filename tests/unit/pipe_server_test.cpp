// The pipe loop against the in-memory pipe: the order of one request, refused clients and the
// settings the pipe is made with.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "support/service_harness.h"

namespace zylservice {
namespace {

using platform::kServiceStopped;
using namespace zylprotocol;

std::thread::id workerThread;

void EchoCommand(ZylRequest* request) {
  workerThread = std::this_thread::get_id();
  request->result = 1000 + static_cast<int32_t>(request->command);
}

// Positions of `calls` within the log, in the order given; fails if one is missing.
std::vector<size_t> Positions(const std::vector<std::string>& log,
                              const std::vector<std::string>& calls) {
  std::vector<size_t> positions;
  size_t from = 0;
  for (const auto& call : calls) {
    auto found = std::find(log.begin() + from, log.end(), call);
    EXPECT_NE(found, log.end()) << call << " missing or out of order";
    if (found == log.end()) break;
    from = found - log.begin() + 1;
    positions.push_back(from - 1);
  }
  return positions;
}

class PipeServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetCommandHandlers({EchoCommand, EchoCommand, EchoCommand, EchoCommand, EchoCommand});
    service.StopWhenIdle();
  }
  std::vector<platform::FakeClientOutcome> Serve(std::vector<platform::FakeClient> clients) {
    for (auto& client : clients) service.pipe.QueueClient(client);
    service.Run();
    return service.pipe.Outcomes();
  }
  ServiceHarness service;
};

TEST_F(PipeServerTest, PipeIsLocalFirstInstanceAndGrantsTheThreeAccounts) {
  service.Run();
  const auto settings = service.pipe.LastPipeSettings();
  EXPECT_EQ(service.pipe.LastPipeName(), u"\\\\.\\pipe\\TAVIK_Zyl_Control_Service");
  EXPECT_EQ(settings.openMode, 0x40080003u) << "duplex, overlapped, first instance";
  EXPECT_EQ(settings.pipeMode, 0x8u) << "byte stream, blocking, remote clients rejected";
  EXPECT_EQ(settings.maxInstances, 1u);
  EXPECT_EQ(settings.outBufferSize, 512u);
  EXPECT_EQ(settings.inBufferSize, 512u);
  EXPECT_EQ(settings.defaultTimeoutMs, 1000u);
  using Entry = std::pair<std::u16string, uint32_t>;
  EXPECT_EQ(service.pipe.SecurityEntries(),
            (std::vector<Entry>{
                {u"SYSTEM", 0x1F01FF}, {u"Administrators", 0x1F01FF}, {u"Users", 0x12019F}}))
      << "users may read and write, but not change the access list, the owner or delete";
}

TEST_F(PipeServerTest, KnownCommandRunsOnAWorkerAndRepliesInTheSpecifiedOrder) {
  const ZylRequest sent = Record(ZylCmdDisable);
  auto outcomes = Serve({{Bytes(sent)}});
  ASSERT_EQ(outcomes.size(), 1u);
  ZylRequest expected = sent;
  expected.result = 1003;
  EXPECT_EQ(outcomes[0].reply, Bytes(expected)) << "every other field comes back as sent";
  EXPECT_NE(workerThread, std::this_thread::get_id());
  EXPECT_EQ(outcomes[0].commandDone->setCount, 1);
  EXPECT_TRUE(outcomes[0].disconnected->signalled);
  EXPECT_EQ(outcomes[0].disconnected->resetCount, 1);

  // The events are opened after the read, with the client's identity, which the thread gives
  // back before anything else happens.
  Positions(service.pipe.Log().Calls(),
            {"Read", "ImpersonateClient", "OpenEvent Global\\VokZylRemoveService",
             "OpenEvent Global\\VokZylRemoveService2", "RevertToSelf",
             "ResetEvent Global\\VokZylRemoveService2", "StartThread", "WaitForThread",
             "SetEvent Global\\VokZylRemoveService", "Write", "Flush", "Disconnect",
             "SetEvent Global\\VokZylRemoveService2"});
  for (const auto& event : {outcomes[0].commandDone, outcomes[0].disconnected}) {
    EXPECT_EQ(event->opensAsClient, 1);
    EXPECT_EQ(event->opensAsService, 0);
  }
  EXPECT_FALSE(service.pipe.Impersonating());
  EXPECT_EQ(service.pipe.OpenHandles(), 0u);
}

TEST_F(PipeServerTest, ClientWhoseIdentityCannotBeTakenIsDroppedAndTheNextServed) {
  service.pipe.Log().FailOn("ImpersonateClient", 1);
  const auto outcomes = Serve({{Bytes(Record(ZylCmdDisable))}, {Bytes(Record(ZylCmdEnable))}});
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_TRUE(outcomes[0].reply.empty());
  EXPECT_TRUE(outcomes[0].wasDisconnected);
  EXPECT_EQ(outcomes[0].commandDone->opensAsService, 0) << "never opened with our own identity";
  EXPECT_EQ(outcomes[0].disconnected->resetCount, 0);
  EXPECT_EQ(FromBytes(outcomes[1].reply).result, 1004);
  EXPECT_EQ(service.pipe.Log().Count("StartThread"), 1);
  EXPECT_EQ(service.pipe.Log().Count("RevertToSelf"), 1) << "only the identity that was taken";
}

TEST_F(PipeServerTest, EventThatCannotBeOpenedStillGivesTheIdentityBack) {
  service.pipe.Log().FailOn("OpenEvent", 1);
  const auto outcomes = Serve({{Bytes(Record(ZylCmdDisable))}, {Bytes(Record(ZylCmdEnable))}});
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_TRUE(outcomes[0].reply.empty());
  EXPECT_EQ(FromBytes(outcomes[1].reply).result, 1004);
  EXPECT_EQ(service.pipe.Log().Count("RevertToSelf"), 2);
  EXPECT_FALSE(service.pipe.Impersonating());
}

TEST_F(PipeServerTest, IdentityThatCannotBeGivenBackEndsTheProcessBeforeAnyOtherCall) {
  service.pipe.Log().FailOn("RevertToSelf", 1);
  std::vector<std::string> pipeCallsAtTheEnd;
  uint32_t exitCode = 0;
  service.scm.onEndProcess = [&](uint32_t code) {
    pipeCallsAtTheEnd = service.pipe.Log().Calls();
    exitCode = code;
  };
  const auto outcomes = Serve({{Bytes(Record(ZylCmdDisable))}, {Bytes(Record(ZylCmdEnable))}});
  EXPECT_EQ(service.scm.Log().Count("EndProcessNow"), 1);
  ASSERT_FALSE(pipeCallsAtTheEnd.empty());
  EXPECT_EQ(pipeCallsAtTheEnd.back(), "RevertToSelf") << "nothing in between";
  EXPECT_EQ(exitCode, 1368u);
  // What follows runs only because the test double returns.
  ASSERT_EQ(outcomes.size(), 1u) << "nothing more is served on a thread with a client's identity";
  EXPECT_TRUE(outcomes[0].reply.empty());
  EXPECT_EQ(service.pipe.Log().Count("StartThread"), 0);
  EXPECT_NE(service.debug.Text().find(u"ZYLCTRL:Cannot take back the service's own identity\n"),
            std::u16string::npos);
  EXPECT_EQ(service.scm.Reports().back().currentState, kServiceStopped);
  EXPECT_EQ(service.pipe.OpenHandles(), 0u);
}

TEST_F(PipeServerTest, EveryCommandCodeReachesItsOwnHandler) {
  std::vector<platform::FakeClient> clients;
  for (uint32_t command = 0; command < 5; ++command) clients.push_back({Bytes(Record(command))});
  const auto outcomes = Serve(clients);
  ASSERT_EQ(outcomes.size(), 5u);
  for (uint32_t command = 0; command < 5; ++command) {
    EXPECT_EQ(FromBytes(outcomes[command].reply).result, 1000 + static_cast<int>(command));
  }
}

TEST_F(PipeServerTest, UnknownCommandGetsNoReplyButIsDisconnectedAndSignalled) {
  const auto outcomes =
      Serve({{Bytes(Record(5))}, {Bytes(Record(0xFFFFFFFF))}, {Bytes(Record(ZylCmdCountDevices))}});
  ASSERT_EQ(outcomes.size(), 3u);
  for (int i : {0, 1}) {
    EXPECT_TRUE(outcomes[i].reply.empty());
    EXPECT_EQ(outcomes[i].commandDone->setCount, 0);
    EXPECT_EQ(outcomes[i].disconnected->resetCount, 1);
    EXPECT_TRUE(outcomes[i].disconnected->signalled);
    EXPECT_TRUE(outcomes[i].wasDisconnected);
  }
  EXPECT_EQ(FromBytes(outcomes[2].reply).result, 1001) << "the next client is served";
  EXPECT_EQ(service.pipe.Log().Count("StartThread"), 1);
}

TEST_F(PipeServerTest, ShortOrEmptyRecordIsRefusedWithoutRunningACommand) {
  const auto full = Bytes(Record(ZylCmdDisable));
  const auto outcomes = Serve({{{}}, {{full.begin(), full.begin() + 23}}, {full}});
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_TRUE(outcomes[0].reply.empty());
  EXPECT_TRUE(outcomes[1].reply.empty());
  EXPECT_EQ(outcomes[0].commandDone->setCount, 0);
  EXPECT_TRUE(outcomes[1].disconnected->signalled);
  EXPECT_EQ(FromBytes(outcomes[2].reply).result, 1003);
  EXPECT_EQ(service.pipe.Log().Count("StartThread"), 1);
}

TEST_F(PipeServerTest, OversizeWriteIsServedFromItsFirst24Bytes) {
  auto bytes = Bytes(Record(ZylCmdEnable));
  bytes.resize(100, 0xEE);
  const auto outcomes = Serve({{bytes}});
  ASSERT_EQ(outcomes.size(), 1u);
  ASSERT_EQ(outcomes[0].reply.size(), 24u);
  EXPECT_EQ(FromBytes(outcomes[0].reply).result, 1004);
}

TEST_F(PipeServerTest, ClientWithoutItsEventsIsDroppedAndTheServiceGoesOn) {
  platform::FakeClient noEvents{Bytes(Record(ZylCmdDisable))};
  noEvents.createsEvents = false;
  platform::FakeClient firstOnly{Bytes(Record(ZylCmdDisable))};
  firstOnly.createsEvents = false;
  firstOnly.createsFirstEventOnly = true;
  const auto outcomes = Serve({noEvents, firstOnly, {Bytes(Record(ZylCmdEnable))}});
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_TRUE(outcomes[0].reply.empty());
  EXPECT_TRUE(outcomes[0].wasDisconnected);
  EXPECT_TRUE(outcomes[1].reply.empty());
  EXPECT_EQ(outcomes[1].commandDone->setCount, 0);
  EXPECT_EQ(FromBytes(outcomes[2].reply).result, 1004);
  EXPECT_EQ(service.pipe.Log().Count("StartThread"), 1);
  EXPECT_EQ(service.pipe.OpenHandles(), 0u) << "the one event that opened is closed again";
}

TEST_F(PipeServerTest, ClientConnectedBeforeTheConnectCallIsServed) {
  platform::FakeClient early{Bytes(Record(ZylCmdQueryState))};
  early.connectedBeforeListen = true;
  const auto outcomes = Serve({early});
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(FromBytes(outcomes[0].reply).result, 1002);
}

TEST_F(PipeServerTest, ConnectionSignalledTogetherWithStopIsServedFirst) {
  service.pipe.OnIdle([this, done = false]() mutable {
    if (done) return;
    done = true;
    service.pipe.QueueClient({Bytes(Record(ZylCmdCountDevices))});
    CurrentPlatform().pipeEvents->SetEvent(stopEvent);
  });
  service.scm.ReturnWhenMainEnds(true);
  service.Run();
  ASSERT_EQ(service.pipe.Outcomes().size(), 1u);
  EXPECT_EQ(FromBytes(service.pipe.Outcomes()[0].reply).result, 1001);
  EXPECT_TRUE(service.scm.MainReturned());
}

TEST_F(PipeServerTest, WorkerThatCannotStartAnswersWithoutRunningTheCommand) {
  service.pipe.Log().FailOn("StartThread", 1);
  const auto outcomes = Serve({{Bytes(Record(ZylCmdDisable))}, {Bytes(Record(ZylCmdDisable))}});
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(FromBytes(outcomes[0].reply).result, kResultWorkerNotStarted);
  EXPECT_EQ(outcomes[0].commandDone->setCount, 1);
  EXPECT_EQ(FromBytes(outcomes[1].reply).result, 1003);
}

TEST_F(PipeServerTest, FailingReadWriteOrFlushNeverStopsTheLoop) {
  for (const char* call : {"Read", "Write", "Flush"}) {
    SCOPED_TRACE(call);
    ServiceHarness fresh;
    fresh.StopWhenIdle();
    fresh.pipe.Log().FailOn(call, 1);
    fresh.pipe.QueueClient({Bytes(Record(ZylCmdDisable))});
    fresh.pipe.QueueClient({Bytes(Record(ZylCmdEnable))});
    fresh.Run();
    const auto outcomes = fresh.pipe.Outcomes();
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(FromBytes(outcomes[1].reply).result, 1004);
    EXPECT_EQ(fresh.scm.Reports().back().currentState, kServiceStopped);
  }
}

TEST_F(PipeServerTest, FailingConnectIsRetriedAndTheNextClientServed) {
  service.pipe.Log().FailOn("Connect", 1);
  const auto outcomes = Serve({{Bytes(Record(ZylCmdEnable))}});
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(FromBytes(outcomes[0].reply).result, 1004);
}

TEST_F(PipeServerTest, ConnectThatNeverWorksEndsTheServiceInsteadOfSpinning) {
  service.pipe.Log().FailAlways("Connect");
  service.Run();
  EXPECT_EQ(service.pipe.Log().Count("Connect"), 100);
  EXPECT_NE(service.debug.Text().find(u"ZYLCTRL:Pipe connect keeps failing\n"),
            std::u16string::npos);
  EXPECT_EQ(service.scm.Reports().back().currentState, kServiceStopped);
}

}  // namespace
}  // namespace zylservice
