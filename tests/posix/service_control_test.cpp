// The Linux service manager binding. Each run of the dispatcher happens in a child process:
// it blocks signals, and the signals the tests send must reach that process alone. The child
// reports through its exit status; systemd's notifications go to a datagram socket of ours.
#include "platform/posix/service_control.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/windows_values.h"
#include "posix/support/scratch_dir.h"

namespace {

using platform::PosixServiceControl;
using platform::ServiceStatus;

using platform::kServiceAcceptShutdown;
using platform::kServiceAcceptStop;
using platform::kServiceRunning;
using platform::kServiceStartPending;
using platform::kServiceStopped;
using platform::kServiceStopPending;

// State of the service inside the child process (one service per child).
PosixServiceControl* service = nullptr;
platform::StatusHandle statusHandle = nullptr;
std::atomic<int> controlsSeen{0};
std::atomic<uint32_t> lastControl{0};
std::atomic<bool> controlOnMainThread{false};
std::atomic<bool> controlBeforeRunning{false};
std::atomic<bool> running{false};

bool Report(uint32_t state, uint32_t waitHint = 0) {
  ServiceStatus status;
  status.serviceType = 0x10;
  status.currentState = state;
  status.controlsAccepted =
      state == kServiceStartPending ? 0 : (kServiceAcceptStop | kServiceAcceptShutdown);
  status.checkPoint = waitHint != 0 ? 1 : 0;
  status.waitHint = waitHint;
  return service->SetStatus(statusHandle, status);
}

void StoppingHandler(uint32_t control) {
  controlsSeen.fetch_add(1);
  lastControl = control;
  controlOnMainThread = syscall(SYS_gettid) == getpid();
  if (!running.load()) controlBeforeRunning = true;
  Report(kServiceStopPending, 3000);
  Report(kServiceStopped);
}

void Register() { statusHandle = service->RegisterControlHandler(u"Test", StoppingHandler); }

void StartAndRun() {
  Register();
  Report(kServiceStartPending, 3000);
  running = true;
  Report(kServiceRunning);
}

// Runs the dispatcher with `serviceMain` in a child process whose notifications go to
// `notifySocket`; the child exits 0 when the dispatcher returned true and `check` holds.
pid_t StartChild(void (*serviceMain)(), const std::string& notifySocket, bool (*check)()) {
  const pid_t child = fork();
  if (child != 0) return child;
  setenv("NOTIFY_SOCKET", notifySocket.c_str(), 1);
  static PosixServiceControl control;
  service = &control;
  const bool returned = control.RunDispatcher(u"Test", serviceMain);
  _exit(returned && check() ? 0 : 1);
}

// Waits for the child, with a limit that only guards against a hang.
int ChildStatus(pid_t child) {
  for (int i = 0; i < 3000; ++i) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return -1;
}

// The receiving end of NOTIFY_SOCKET.
class NotifyListener {
 public:
  NotifyListener() : path_(dir_.Path() + "/notify") {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof(address.sun_path) - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~NotifyListener() { close(fd_); }
  bool Bound() const { return bound_; }
  const std::string& Path() const { return path_; }

  /// The next message, or empty after `timeoutMs` without one.
  std::string Next(int timeoutMs = 10000) {
    pollfd watched{fd_, POLLIN, 0};
    if (poll(&watched, 1, timeoutMs) <= 0) return {};
    char buffer[512];
    const ssize_t got = recv(fd_, buffer, sizeof(buffer), 0);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
  }
  /// Messages until "STATUS=Stopped" (included) or a pause.
  std::vector<std::string> UntilStopped() {
    std::vector<std::string> messages;
    for (std::string message = Next(); !message.empty(); message = Next()) {
      messages.push_back(message);
      if (message == "STATUS=Stopped") break;
    }
    return messages;
  }

 private:
  zyltest::ScratchDir dir_;
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(PosixServiceControlTest, StatusesBecomeSystemdNotifications) {
  ServiceStatus status;
  status.currentState = kServiceStartPending;
  status.waitHint = 3000;
  EXPECT_EQ(PosixServiceControl::NotifyMessage(status),
            "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000");
  status.currentState = kServiceRunning;
  status.waitHint = 0;
  EXPECT_EQ(PosixServiceControl::NotifyMessage(status), "READY=1\nSTATUS=Running");
  status.currentState = kServiceStopPending;
  status.waitHint = 3000;
  EXPECT_EQ(PosixServiceControl::NotifyMessage(status),
            "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=3000000");
  status.currentState = kServiceStopped;
  status.waitHint = 0;
  EXPECT_EQ(PosixServiceControl::NotifyMessage(status), "STATUS=Stopped");
  status.currentState = 0;
  EXPECT_EQ(PosixServiceControl::NotifyMessage(status), "");
}

TEST(PosixServiceControlTest, RefusesForeignHandlesBadStatesAndRegistrationOutsideTheDispatcher) {
  PosixServiceControl control;
  EXPECT_EQ(control.RegisterControlHandler(u"Test", StoppingHandler), nullptr);
  ServiceStatus status;
  status.currentState = kServiceRunning;
  EXPECT_FALSE(control.SetStatus(nullptr, status));
  status.currentState = 0;
  EXPECT_FALSE(control.SetStatus(&control, status));
}

TEST(PosixServiceControlTest, SigtermIsAStopControlOnTheDispatcherThread) {
  NotifyListener notify;
  ASSERT_TRUE(notify.Bound());
  const pid_t child = StartChild(StartAndRun, notify.Path(), [] {
    return controlsSeen == 1 && lastControl == 1 && controlOnMainThread;
  });
  EXPECT_EQ(notify.Next(), "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=Running");
  kill(child, SIGTERM);
  const std::vector<std::string> expected = {
      "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=3000000", "STATUS=Stopped"};
  EXPECT_EQ(notify.UntilStopped(), expected);
  EXPECT_EQ(ChildStatus(child), 0);
}

TEST(PosixServiceControlTest, SigintStopsAndSighupIsIgnored) {
  NotifyListener notify;
  ASSERT_TRUE(notify.Bound());
  const pid_t child =
      StartChild(StartAndRun, notify.Path(), [] { return controlsSeen == 1 && lastControl == 1; });
  EXPECT_EQ(notify.Next(), "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000");
  EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=Running");
  kill(child, SIGHUP);
  EXPECT_EQ(notify.Next(200), "");  // nothing happened
  kill(child, SIGINT);
  EXPECT_EQ(notify.UntilStopped().back(), "STATUS=Stopped");
  EXPECT_EQ(ChildStatus(child), 0);
}

TEST(PosixServiceControlTest, DispatcherReturnsWhenTheServiceReportsStoppedItself) {
  NotifyListener notify;
  ASSERT_TRUE(notify.Bound());
  const pid_t child = StartChild(
      [] {
        StartAndRun();
        Report(kServiceStopped);
        pause();  // the service thread need not end for the dispatcher to return
      },
      notify.Path(), [] { return controlsSeen == 0; });
  EXPECT_EQ(ChildStatus(child), 0);
}

TEST(PosixServiceControlTest, StopDuringStartPendingWaitsForTheRunningReport) {
  NotifyListener notify;
  ASSERT_TRUE(notify.Bound());
  const pid_t child = StartChild(
      [] {
        Register();
        Report(kServiceStartPending, 3000);
        kill(getpid(), SIGTERM);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        running = true;
        Report(kServiceRunning);
        pause();
      },
      notify.Path(), [] { return controlsSeen == 1 && !controlBeforeRunning; });
  EXPECT_EQ(ChildStatus(child), 0);
}

TEST(PosixServiceControlTest, StopBeforeAnyHandlerEndsTheDispatcher) {
  NotifyListener notify;
  ASSERT_TRUE(notify.Bound());
  const pid_t child = StartChild(
      [] {
        kill(getpid(), SIGTERM);
        pause();
      },
      notify.Path(), [] { return controlsSeen == 0; });
  EXPECT_EQ(ChildStatus(child), 0);
}

}  // namespace
