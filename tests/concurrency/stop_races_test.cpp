// A stop or shutdown control at every point of a request's run, a second stop, and a stop while
// a notice waits for a person: the control handler must return at once, SERVICE_STOPPED must
// come once a running command's reply is out, the command must never see its context freed
// under it, the context must be gone once the service has ended, and the dispatcher must
// return. Run under TSan and ASan.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "support/full_service.h"

namespace zylservice {
namespace {

using platform::kServiceControlShutdown;
using platform::kServiceControlStop;
using platform::kServiceStopped;
using platform::kServiceStopPending;
using namespace zylprotocol;

// Forwards to the in-memory pipe, calling `before` ahead of each call: the injection points.
class HookedPipeEvents : public platform::PipeEvents {
 public:
  explicit HookedPipeEvents(platform::PipeEvents& inner) : inner_(inner) {}
  std::function<void(const std::string& call)> before;

  platform::Handle BuildSecurity(std::span<const platform::PipeAccessEntry> e) override {
    return inner_.BuildSecurity(e);
  }
  platform::Handle CreatePipe(const platform::PipeSettings& s, platform::Handle h) override {
    return inner_.CreatePipe(s, h);
  }
  platform::ConnectState Connect(platform::Handle pipe, platform::Handle event) override {
    Before("Connect");
    return inner_.Connect(pipe, event);
  }
  std::ptrdiff_t Read(platform::Handle pipe, void* buffer, std::size_t size) override {
    Before("Read");
    return inner_.Read(pipe, buffer, size);
  }
  bool Write(platform::Handle pipe, const void* data, std::size_t size) override {
    Before("Write");
    return inner_.Write(pipe, data, size);
  }
  bool Flush(platform::Handle pipe) override {
    Before("Flush");
    return inner_.Flush(pipe);
  }
  bool Disconnect(platform::Handle pipe) override {
    Before("Disconnect");
    return inner_.Disconnect(pipe);
  }
  bool ImpersonateClient(platform::Handle pipe) override {
    Before("ImpersonateClient");
    return inner_.ImpersonateClient(pipe);
  }
  bool RevertToSelf() override { return inner_.RevertToSelf(); }
  platform::Handle CreateEvent(bool manual, bool signalled) override {
    return inner_.CreateEvent(manual, signalled);
  }
  platform::Handle OpenEvent(std::u16string_view name) override {
    Before("OpenEvent");
    return inner_.OpenEvent(name);
  }
  bool SetEvent(platform::Handle event) override { return inner_.SetEvent(event); }
  bool ResetEvent(platform::Handle event) override { return inner_.ResetEvent(event); }
  int WaitForEither(platform::Handle first, platform::Handle second) override {
    return inner_.WaitForEither(first, second);
  }
  platform::Handle StartThread(platform::ThreadFunction function, void* argument) override {
    Before("StartThread");
    return inner_.StartThread(function, argument);
  }
  bool WaitForThread(platform::Handle thread) override {
    Before("WaitForThread");
    return inner_.WaitForThread(thread);
  }
  void Close(platform::Handle handle) override { inner_.Close(handle); }

 private:
  void Before(const std::string& call) {
    if (before) before(call);
  }
  platform::PipeEvents& inner_;
};

const std::vector<uint32_t> kSession = {ZylCmdLoadLibrary, ZylCmdCountDevices, ZylCmdDisable,
                                        ZylCmdEnable};
const char* const kPoints[] = {"Connect",       "OpenEvent", "Read",  "StartThread",
                               "WaitForThread", "Write",     "Flush", "Disconnect"};

struct StopPoint {
  std::string call;
  int occurrence;    // of that call within the session
  bool waitStopped;  // the handler has run to its end before the service thread goes on
  uint32_t control;
};

std::string Describe(const StopPoint& point) {
  return point.call + " #" + std::to_string(point.occurrence) +
         (point.waitStopped ? " (handler done)" : " (racing)") +
         (point.control == kServiceControlShutdown ? " shutdown" : " stop");
}

void ExpectStoppedAndReleased(FullService& service, int exitCode) {
  EXPECT_EQ(exitCode, 1) << "the dispatcher returns";
  EXPECT_TRUE(service.StoppedAccepted());
  const auto reports = service.harness.scm.Reports();
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports.back().currentState, kServiceStopped);
  const auto stopPending = std::find_if(reports.begin(), reports.end(), [](const auto& report) {
    return report.currentState == kServiceStopPending;
  });
  EXPECT_NE(stopPending, reports.end()) << "stop pending comes before stopped";
  EXPECT_EQ(serviceContext, nullptr) << "no context outlives the service";
  EXPECT_EQ(service.harness.pipe.OpenHandles(), 0u);
  EXPECT_EQ(service.tree.ListsCreated(), service.tree.ListsDestroyed());
}

TEST(StopRaces, StopAtEveryPointOfEveryRequest) {
  std::vector<StopPoint> points;
  for (const char* call : kPoints) {
    for (int occurrence = 1; occurrence <= static_cast<int>(kSession.size()); ++occurrence) {
      for (bool waitStopped : {false, true}) {
        points.push_back({call, occurrence, waitStopped,
                          occurrence % 2 ? kServiceControlStop : kServiceControlShutdown});
      }
    }
  }
  for (const StopPoint& point : points) {
    SCOPED_TRACE(Describe(point));
    FullService service;
    HookedPipeEvents hooked(service.harness.pipe);
    service.harness.bindings.pipeEvents = &hooked;
    UsePlatform(service.harness.bindings);
    service.QueueSession(kSession);
    std::atomic<int> seen{0};
    hooked.before = [&](const std::string& call) {
      if (call != point.call || ++seen != point.occurrence) return;
      service.harness.scm.PostControl(point.control);
      if (point.waitStopped) service.harness.scm.WaitForControlsHandled();
    };
    const int exitCode = service.Run();
    ExpectStoppedAndReleased(service, exitCode);
    EXPECT_EQ(
        service.harness.debug.Text().find(u"ZYLCTRL:SERVICE_CONTROL_STOP") != std::u16string::npos,
        true);
    // Requests taken before the stop took effect were answered in full; a command that had
    // begun when the stop came was answered.
    const auto outcomes = service.harness.pipe.Outcomes();
    for (const auto& client : outcomes) {
      if (!client.reply.empty()) {
        EXPECT_EQ(client.reply.size(), sizeof(ZylRequest));
      }
    }
    const bool duringCommand =
        point.call == "StartThread" || point.call == "WaitForThread" || point.call == "Write";
    if (duringCommand) {
      ASSERT_GE(outcomes.size(), static_cast<std::size_t>(point.occurrence));
      EXPECT_EQ(outcomes[point.occurrence - 1].reply.size(), sizeof(ZylRequest));
    }
  }
}

// A second stop arrives, from another thread, while the first is handled and the loop ends.
TEST(StopRaces, SecondStopWhileTheFirstIsHandled) {
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    FullService service;
    service.QueueSession({ZylCmdLoadLibrary, ZylCmdDisable});
    std::thread second;
    service.harness.pipe.OnIdle([&, posted = false]() mutable {
      if (posted) return;
      posted = true;
      service.harness.scm.PostControl(kServiceControlStop);
      second = std::thread([] { ServiceControlHandler(kServiceControlShutdown); });
    });
    const int exitCode = service.harness.Run();
    second.join();
    ExpectStoppedAndReleased(service, exitCode);
  }
}

// The stop-pending report fails: the handler runs the stop path twice while the loop, woken by
// the first, closes its stop event.
TEST(StopRaces, FailedStopPendingReportRunsTheStopPathTwice) {
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    FullService service;
    service.harness.scm.Log().FailOn("SetStatus", 3);  // start-pending, running, stop-pending
    service.ExpectFailedStatusReport(3);
    service.QueueSession({ZylCmdLoadLibrary});
    const int exitCode = service.Run();
    EXPECT_EQ(exitCode, 1);
    EXPECT_TRUE(service.StoppedAccepted());
    EXPECT_EQ(serviceContext, nullptr);
    EXPECT_EQ(service.harness.pipe.OpenHandles(), 0u);
  }
}

// A missing export holds the command in a notice until a person dismisses it; the stop comes
// meanwhile and must not wait for the person, nor free the context under the command.
TEST(StopRaces, StopWhileANoticeWaitsForAPerson) {
  FullService service;
  auto exports = FullService::LibraryExports();
  exports.erase("QV_GetPciDeviceCount");
  service.loader.AddLibrary(u"Qvzyl.Dll", exports);
  service.QueueSession({ZylCmdLoadLibrary, ZylCmdCountDevices});
  bool stoppedWhileShown = true;
  service.notice.onShow = [&](const platform::FakeUserNotice::Notice&) {
    service.harness.scm.PostControl(kServiceControlStop);
    service.harness.scm.WaitForControlsHandled();  // the handler does not wait for the person
    stoppedWhileShown = service.StoppedAccepted();
  };
  const int exitCode = service.harness.Run();
  EXPECT_FALSE(stoppedWhileShown) << "not stopped while the command waits for its notice";
  ExpectStoppedAndReleased(service, exitCode);
  const auto outcomes = service.harness.pipe.Outcomes();
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(FromBytes(outcomes[1].reply).result, -106) << "the command still answers";
}

}  // namespace
}  // namespace zylservice
