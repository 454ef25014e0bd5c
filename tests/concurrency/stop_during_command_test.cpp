// A stop or shutdown control arrives on the dispatcher thread while a command works with the
// context on its worker: the context must outlive the command, and be released after it, and
// SERVICE_STOPPED must wait for the command's reply.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "support/service_harness.h"

namespace zylservice {
namespace {

using platform::kServiceControlShutdown;
using platform::kServiceControlStop;
using platform::kServiceStopped;
using zylprotocol::ZylCmdDisable;
using zylprotocol::ZylCmdQueryState;
using zylprotocol::ZylRequest;

ServiceHarness* running = nullptr;
std::atomic<int> stopAtStep{0};

// Touches the context throughout, and asks for the stop at a chosen point of its run.
void WorkingCommand(ZylRequest* request) {
  uint32_t sum = 0;
  for (int step = 0; step < 4; ++step) {
    if (step == stopAtStep) {
      running->scm.PostControl(request->matchId == 0 ? kServiceControlStop
                                                     : kServiceControlShutdown);
      if (step % 2 == 0) running->scm.WaitForControlsHandled();
    }
    ServiceContext* context = serviceContext;
    if (context != nullptr) sum += context->vendorId + context->deviceId;
    std::this_thread::yield();
  }
  request->result = static_cast<int32_t>(sum);
}

TEST(StopDuringCommand, ContextOutlivesTheCommandAndIsReleasedAfterIt) {
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    ServiceHarness service;
    running = &service;
    stopAtStep = round % 4;
    SetCommandHandlers(
        {WorkingCommand, WorkingCommand, WorkingCommand, WorkingCommand, WorkingCommand});
    serviceContext = new ServiceContext{nullptr, 2, 3};
    service.pipe.QueueClient({Bytes(Record(ZylCmdQueryState, round % 2))});
    service.pipe.OnIdle([] {
      if (stopEvent) CurrentPlatform().pipeEvents->SetEvent(stopEvent);
    });
    service.Run();
    ASSERT_EQ(service.pipe.Outcomes().size(), 1u);
    EXPECT_EQ(FromBytes(service.pipe.Outcomes()[0].reply).result, 20)
        << "the command saw the context on every step";
    EXPECT_EQ(serviceContext, nullptr) << "released once the command ended";
    const auto reports = service.scm.Reports();
    EXPECT_EQ(reports.back().currentState, kServiceStopped);
    EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                            [](const auto& r) { return r.currentState == kServiceStopped; }),
              1)
        << "one SERVICE_STOPPED, after the reply";
    running = nullptr;
  }
}

TEST(StopDuringCommand, SecondStopWhileACommandRunsReleasesOnce) {
  ServiceHarness service;
  running = &service;
  stopAtStep = 1;
  SetCommandHandlers(
      {WorkingCommand, WorkingCommand, WorkingCommand, WorkingCommand, WorkingCommand});
  serviceContext = new ServiceContext{nullptr, 2, 3};
  service.pipe.QueueClient({Bytes(Record(ZylCmdDisable, 0))});
  service.pipe.OnIdle([] {
    if (stopEvent) CurrentPlatform().pipeEvents->SetEvent(stopEvent);
  });
  // A control handler racing the command from outside the dispatcher as well.
  std::thread second([] { ReleaseServiceContext(); });
  service.Run();
  second.join();
  EXPECT_EQ(serviceContext, nullptr);
  running = nullptr;
}

}  // namespace
}  // namespace zylservice
