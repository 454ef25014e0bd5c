// The service's life against the in-memory service manager: status reports, controls, the stop
// path and start-up failures.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "support/service_harness.h"

namespace zylservice {
namespace {

using platform::kServiceControlInterrogate;
using platform::kServiceControlShutdown;
using platform::kServiceControlStop;
using platform::kServiceRunning;
using platform::kServiceStartPending;
using platform::kServiceStopped;
using platform::kServiceStopPending;
using zylprotocol::ZylCmdDisable;
using zylprotocol::ZylRequest;

using platform::ServiceStatus;

void EchoCommand(ZylRequest* request) { request->result = 1000 + request->command; }

struct Expected {
  uint32_t state, controls, checkPoint, waitHint;
};

void ExpectReports(const std::vector<ServiceStatus>& reports, std::vector<Expected> expected) {
  ASSERT_EQ(reports.size(), expected.size());
  for (size_t i = 0; i < reports.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(reports[i].serviceType, 0x10u);
    EXPECT_EQ(reports[i].win32ExitCode, 0u);
    EXPECT_EQ(reports[i].serviceSpecificExitCode, 0u);
    EXPECT_EQ(reports[i].currentState, expected[i].state);
    EXPECT_EQ(reports[i].controlsAccepted, expected[i].controls);
    EXPECT_EQ(reports[i].checkPoint, expected[i].checkPoint);
    EXPECT_EQ(reports[i].waitHint, expected[i].waitHint);
  }
}

const Expected kStartPending{2, 0, 1, 3000};
const Expected kRunning{4, 5, 0, 0};
const Expected kStopPending{3, 5, 1, 3000};
const Expected kStopped{1, 5, 0, 0};

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetCommandHandlers({EchoCommand, EchoCommand, EchoCommand, EchoCommand, EchoCommand});
  }
  ServiceHarness service;
};

TEST_F(LifecycleTest, StopAndShutdownWhileIdleReportAndCloseEverything) {
  for (uint32_t control : {kServiceControlStop, kServiceControlShutdown}) {
    SCOPED_TRACE(control);
    ServiceHarness fresh;
    fresh.StopWhenIdle(control);
    EXPECT_EQ(fresh.Run(), 1);
    ExpectReports(fresh.scm.Reports(), {kStartPending, kRunning, kStopPending, kStopped});
    // The name the service is installed under, written out: a changed constant fails here.
    EXPECT_EQ(fresh.scm.DispatcherName(), u"Tavik Zyl Control Service");
    EXPECT_EQ(fresh.scm.RegisteredName(), u"Tavik Zyl Control Service");
    EXPECT_EQ(
        fresh.debug.Text(),
        u"ZYLCTRL:Create Pipe\nZYLCTRL:PipedServiceName=\\\\.\\pipe\\TAVIK_Zyl_Control_Service"
        u"\nZYLCTRL:SERVICE_CONTROL_STOP");
    EXPECT_EQ(fresh.pipe.OpenHandles(), 0u) << "pipe, connect event and stop event are closed";
    EXPECT_TRUE(fresh.scm.MainReturned());
  }
}

TEST_F(LifecycleTest, StopPendingAndStoppedAreReportedOnTheDispatcherThread) {
  service.StopWhenIdle();
  service.Run();
  const auto threads = service.scm.ReportThreads();
  ASSERT_EQ(threads.size(), 4u);
  EXPECT_NE(threads[0], service.scm.DispatcherThread()) << "start-up reports on the service thread";
  EXPECT_EQ(threads[2], service.scm.DispatcherThread());
  EXPECT_EQ(threads[3], service.scm.DispatcherThread());
}

TEST_F(LifecycleTest, OtherControlsReReportTheCurrentStateOnly) {
  service.pipe.OnIdle([this, posted = false]() mutable {
    if (posted) return;
    posted = true;
    service.scm.PostControl(kServiceControlInterrogate);
    service.scm.PostControl(2);  // pause: not accepted
    service.scm.PostControl(kServiceControlStop);
  });
  service.Run();
  ExpectReports(service.scm.Reports(),
                {kStartPending, kRunning, kRunning, kRunning, kStopPending, kStopped});
  EXPECT_EQ(service.debug.Text().find(u"SERVICE_CONTROL_STOP"),
            service.debug.Text().rfind(u"SERVICE_CONTROL_STOP"));
}

TEST_F(LifecycleTest, ProgramStartedOutsideTheServiceManagerExitsWithZero) {
  service.scm.Log().FailAlways("RunDispatcher");
  EXPECT_EQ(service.Run(), 0);
  EXPECT_TRUE(service.scm.Reports().empty());
  EXPECT_EQ(service.scm.Log().Count("RegisterControlHandler"), 0);
}

TEST_F(LifecycleTest, FailedHandlerRegistrationEndsServiceMainSilently) {
  service.scm.Log().FailAlways("RegisterControlHandler");
  service.scm.ReturnWhenMainEnds(true);
  service.Run();
  EXPECT_TRUE(service.scm.Reports().empty());
  EXPECT_EQ(service.pipe.Log().Count("CreatePipe"), 0);
}

TEST_F(LifecycleTest, FailedStartPendingReportStopsButStartUpGoesOn) {
  service.scm.Log().FailOn("SetStatus", 1);
  service.pipe.OnIdle([] {
    if (stopEvent) CurrentPlatform().pipeEvents->SetEvent(stopEvent);
  });
  service.Run();
  ExpectReports(service.scm.Reports(), {kStartPending, kStopped, kRunning});
  EXPECT_EQ(service.pipe.Log().Count("CreatePipe"), 1);
}

TEST_F(LifecycleTest, FailedRunningReportSetsStopSoTheLoopServesOnlyAClientAlreadyThere) {
  service.scm.Log().FailOn("SetStatus", 2);
  service.pipe.QueueClient({Bytes(Record(1))});
  service.Run();
  ExpectReports(service.scm.Reports(), {kStartPending, kRunning, kStopped});
  ASSERT_EQ(service.pipe.Outcomes().size(), 1u) << "a connection signalled with the stop is served";
  EXPECT_EQ(FromBytes(service.pipe.Outcomes()[0].reply).result, 1001);
  EXPECT_EQ(service.pipe.OpenHandles(), 0u);
}

TEST_F(LifecycleTest, FailedStoppedReportIsRetriedABoundedNumberOfTimes) {
  service.scm.Log().FailAlways("SetStatus");
  service.scm.ReturnWhenMainEnds(true);
  service.Run();
  // start-pending fails -> stopped x3; running fails -> stopped x3 (stop event set, loop ends)
  const auto reports = service.scm.Reports();
  ASSERT_EQ(reports.size(), 8u);
  EXPECT_EQ(reports[0].currentState, kServiceStartPending);
  EXPECT_EQ(reports[4].currentState, kServiceRunning);
  for (size_t i : {1, 2, 3, 5, 6, 7}) EXPECT_EQ(reports[i].currentState, kServiceStopped);
}

TEST_F(LifecycleTest, SetUpFailuresReportStoppedInsteadOfRunningOnInvalidHandles) {
  struct Case {
    const char* call;
    int occurrence;
    std::u16string_view line;
  } cases[] = {
      {"BuildSecurity", 1, u"ZYLCTRL:Cannot build the pipe security\n"},
      {"CreatePipe", 1, u"ZYLCTRL:Cannot create the pipe"},
      {"CreateEvent", 1, u"ZYLCTRL:Cannot create the connect event\n"},
      {"CreateEvent", 2, u"ZYLCTRL:Cannot create the stop event\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call + std::to_string(c.occurrence));
    ServiceHarness fresh;
    fresh.pipe.Log().FailOn(c.call, c.occurrence);
    fresh.scm.ReturnWhenMainEnds(true);
    fresh.Run();
    ExpectReports(fresh.scm.Reports(), {kStartPending, kStopped});
    EXPECT_NE(fresh.debug.Text().find(c.line), std::u16string::npos);
    EXPECT_EQ(fresh.pipe.OpenHandles(), 0u);
    EXPECT_EQ(fresh.pipe.Log().Count("Connect"), 0);
  }
}

TEST_F(LifecycleTest, FailedWaitReportsStoppedRatherThanPretendingToRun) {
  service.pipe.Log().FailAlways("WaitForEither");
  service.Run();
  ExpectReports(service.scm.Reports(), {kStartPending, kRunning, kStopped});
  EXPECT_NE(service.debug.Text().find(u"ZYLCTRL:Pipe wait failed\n"), std::u16string::npos);
}

TEST_F(LifecycleTest, StopReleasesTheContextAndASecondStopIsHarmless) {
  serviceContext = new ServiceContext{nullptr, 0x1234, 0xABCD};
  service.pipe.OnIdle([this, posted = false]() mutable {
    if (posted) return;
    posted = true;
    service.scm.PostControl(kServiceControlStop);
    service.scm.PostControl(kServiceControlShutdown);
  });
  service.Run();
  EXPECT_EQ(serviceContext, nullptr);
}

// Stops that arrive while a request is served. The pipe notes whether SERVICE_STOPPED had been
// reported when it let a client go, and runs a hook before it hands over a client's identity.
class PipeSeeingStops : public platform::FakePipeEvents {
 public:
  explicit PipeSeeingStops(platform::FakeServiceControl& scm) : scm_(scm) {}
  bool ImpersonateClient(platform::Handle pipe) override {
    if (beforeImpersonate) beforeImpersonate();
    return FakePipeEvents::ImpersonateClient(pipe);
  }
  bool Disconnect(platform::Handle pipe) override {
    for (const auto& report : scm_.Reports()) {
      if (report.currentState == kServiceStopped) stoppedBeforeLetGo = true;
    }
    return FakePipeEvents::Disconnect(pipe);
  }
  std::function<void()> beforeImpersonate;
  std::atomic<bool> stoppedBeforeLetGo{false};

 private:
  platform::FakeServiceControl& scm_;
};

ServiceHarness* serving = nullptr;
std::atomic<bool> stoppedDuringCommand{false};

// Asks for a stop and waits until the handler has returned; SERVICE_STOPPED must not be there.
void CommandThatIsStopped(ZylRequest* request) {
  serving->scm.PostControl(kServiceControlStop);
  serving->scm.WaitForControlsHandled();
  for (const auto& report : serving->scm.Reports()) {
    if (report.currentState == kServiceStopped) stoppedDuringCommand = true;
  }
  request->result = 1;
}

// Asks for a stop and waits for SERVICE_STOPPED, which only the time limit brings.
void CommandThatOutlivesTheStopWait(ZylRequest* request) {
  serving->scm.PostControl(kServiceControlStop);
  serving->scm.WaitForState(kServiceStopped);
  request->result = 1;
}

class StopDuringRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serving = &service;
    stoppedDuringCommand = false;
    service.bindings.pipeEvents = &pipe;
    UsePlatform(service.bindings);
    pipe.QueueClient({Bytes(Record(ZylCmdDisable))});
  }
  void TearDown() override { serving = nullptr; }
  ServiceHarness service;
  PipeSeeingStops pipe{service.scm};
};

TEST_F(StopDuringRequestTest, StopDuringACommandReportsStoppedOnceItsReplyIsWritten) {
  SetCommandHandlers({CommandThatIsStopped, CommandThatIsStopped, CommandThatIsStopped,
                      CommandThatIsStopped, CommandThatIsStopped});
  EXPECT_EQ(service.Run(), 1);
  EXPECT_FALSE(stoppedDuringCommand) << "the handler returned without reporting stopped";
  EXPECT_FALSE(pipe.stoppedBeforeLetGo);
  ASSERT_EQ(pipe.Outcomes().size(), 1u);
  EXPECT_EQ(FromBytes(pipe.Outcomes()[0].reply).result, 1);
  ExpectReports(service.scm.Reports(), {kStartPending, kRunning, kStopPending, kStopped});
  EXPECT_TRUE(service.scm.MainReturned()) << "the stop event ended the loop";
  EXPECT_EQ(pipe.OpenHandles(), 0u) << "the thread that waited is closed too";
}

// An installer (ServiceControl with Wait) gives a service 30 s to stop, then fails with 1921.
constexpr uint32_t kInstallerStopWaitMs = 30000;

TEST_F(StopDuringRequestTest, CommandThatOutlivesTheStopWaitIsStoppedAnywayWithProgressShown) {
  // Intervals of 1 ms instead of 1 s: as many of them, a thousand times faster.
  SetStopWaitForTesting(/*checkPointIntervalMs=*/1);
  SetCommandHandlers({CommandThatOutlivesTheStopWait, CommandThatOutlivesTheStopWait,
                      CommandThatOutlivesTheStopWait, CommandThatOutlivesTheStopWait,
                      CommandThatOutlivesTheStopWait});
  service.Run();
  const auto reports = service.scm.Reports();
  ASSERT_GE(reports.size(), 5u);
  EXPECT_EQ(reports.back().currentState, kServiceStopped);
  uint32_t lastCheckPoint = 0;
  for (std::size_t i = 2; i + 1 < reports.size(); ++i) {
    EXPECT_EQ(reports[i].currentState, kServiceStopPending);
    EXPECT_EQ(reports[i].checkPoint, lastCheckPoint + 1) << "the check point advances";
    EXPECT_EQ(reports[i].waitHint, 3000u);
    lastCheckPoint = reports[i].checkPoint;
  }
  EXPECT_NE(service.debug.Text().find(u"ZYLCTRL:Stopped while a command still runs\n"),
            std::u16string::npos);
  EXPECT_TRUE(pipe.stoppedBeforeLetGo);
  // One check point a second: the last one reported comes before the installer gives up.
  EXPECT_LT(lastCheckPoint * kStopCheckPointIntervalMs, kInstallerStopWaitMs);
  EXPECT_GT(lastCheckPoint, 1u) << "the wait showed progress";
}

TEST_F(StopDuringRequestTest, StopBeforeTheCommandStartsMeansItNeverStarts) {
  SetCommandHandlers({CommandThatIsStopped, CommandThatIsStopped, CommandThatIsStopped,
                      CommandThatIsStopped, CommandThatIsStopped});
  pipe.beforeImpersonate = [this] {
    service.scm.PostControl(kServiceControlStop);
    service.scm.WaitForState(kServiceStopped);
  };
  service.scm.ReturnWhenMainEnds(true);
  service.Run();
  ExpectReports(service.scm.Reports(), {kStartPending, kRunning, kStopPending, kStopped});
  ASSERT_EQ(pipe.Outcomes().size(), 1u);
  EXPECT_TRUE(pipe.Outcomes()[0].reply.empty()) << "the process may end any moment: no command";
  EXPECT_EQ(pipe.Log().Count("StartThread"), 0);
  EXPECT_TRUE(pipe.Outcomes()[0].disconnected->signalled);
}

}  // namespace
}  // namespace zylservice
