// The client library (libzylclient.so.1, as programs link it) against the real service process
// on a simulated machine: the commands, a busy, stopped, absent or vanishing service, refused
// requests, callers that give up, concurrent callers and callers that reuse descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zyl/zylclient.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/ipc_names.h"
#include "support/process.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kSimService = std::string(ZYL_BINARY_DIR) + "/sim/zylsim_service";
constexpr uint32_t kAdapterId = 0x81CE104D;

class ClientLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = integration::MakeTempDir("zyllib");
    ASSERT_FALSE(runtime_.empty());
    service_ = std::make_unique<integration::Background>(
        std::vector<std::string>{kSimService, "--runtime-dir", runtime_},
        runtime_ + "/service.log");
    ASSERT_TRUE(service_->WaitForFile(runtime_ + "/TAVIK_Zyl_Control_Service"));
  }

  // Ends the service and starts one whose commands each take `delayMs` longer, logging to `log`;
  // true once it serves.
  bool RestartSlow(int delayMs, const std::string& log) {
    service_.reset();
    service_ = std::make_unique<integration::Background>(
        std::vector<std::string>{kSimService, "--runtime-dir", runtime_, "--command-delay-ms",
                                 std::to_string(delayMs)},
        log);
    return WaitUntilServed();
  }

  // Waits until the service answers a request. Its socket file is no sign: a service that ended
  // leaves its file behind, and the next one may not listen yet. Before a load, a count touches
  // nothing (it answers -107).
  bool WaitUntilServed() const {
    const zyl_options options = Options(10000);
    const auto end = Clock::now() + std::chrono::seconds(10);
    int status;
    while ((status = zyl_count_by_id(kAdapterId, nullptr, nullptr, &options)) ==
               ZYL_STATUS_NO_SERVICE &&
           Clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status == ZYL_STATUS_OK;
  }

  zyl_options Options(uint32_t timeoutMs = 20000) const {
    zyl_options options{};
    options.size = sizeof(options);
    options.timeout_ms = timeoutMs;
    options.runtime_dir = runtime_.c_str();
    return options;
  }

  std::string runtime_;
  std::unique_ptr<integration::Background> service_;
};

// A bare client: a connection to the service's socket and nothing else (no files), which
// sends `record` when given one.
class Holder {
 public:
  explicit Holder(const std::string& runtime, const zyl_record* record = nullptr) {
    const std::string path =
        platform::posix::PipeSocketPath(runtime, u"\\\\.\\pipe\\TAVIK_Zyl_Control_Service");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    if (connected_ && record != nullptr) {
      connected_ = send(fd_, record, sizeof(*record), MSG_NOSIGNAL) == sizeof(*record);
    }
  }
  ~Holder() { close(fd_); }
  bool connected() const { return connected_; }
  // The reply, read in full; false when the service closed without one.
  bool Reply(zyl_record* reply) {
    return recv(fd_, reply, sizeof(*reply), MSG_WAITALL) == sizeof(*reply);
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

TEST_F(ClientLibraryTest, EachCommandGivesTheReplysResultAndFields) {
  const zyl_options options = Options();
  int32_t result = -1;
  uint32_t count = 0;
  uint16_t vendor = 0, device = 0;
  ASSERT_EQ(zyl_count_by_id(kAdapterId, &result, &count, &options), ZYL_STATUS_OK);
  EXPECT_EQ(result, -107) << "no load yet";
  EXPECT_STREQ(zyl_result_text(result), "no library session");

  ASSERT_EQ(zyl_load(&result, &options), ZYL_STATUS_OK);
  EXPECT_EQ(result, 1);
  ASSERT_EQ(zyl_count_by_id(kAdapterId, &result, &count, &options), ZYL_STATUS_OK);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(zyl_count_by_subsystem(kAdapterId, &result, &count, &vendor, &device, &options),
            ZYL_STATUS_OK);
  EXPECT_EQ(vendor, 0x104D);
  EXPECT_EQ(device, 0x81CE);
  ASSERT_EQ(zyl_query(kAdapterId, 0, 0, &result, &options), ZYL_STATUS_OK);
  EXPECT_EQ(result, 2);
  ASSERT_EQ(zyl_disable(&result, &options), ZYL_STATUS_OK);
  EXPECT_EQ(result, 1);
  ASSERT_EQ(zyl_query(kAdapterId, 0, 0, &result, &options), ZYL_STATUS_OK);
  EXPECT_EQ(result, 3);
  ASSERT_EQ(zyl_enable(&result, &options), ZYL_STATUS_OK);
  EXPECT_EQ(result, 1);

  const zyl_record sent{2, kAdapterId, 0, 0, 0, 0x1111, 0x2222};
  zyl_record reply{};
  ASSERT_EQ(zyl_request(&sent, &reply, &options), ZYL_STATUS_OK);
  EXPECT_EQ(reply.result, 2);
  EXPECT_EQ(reply.foundVendor, 0x1111) << "fields the command does not write come back";
}

TEST(ClientLibraryTexts, NameEveryStatusAndEveryCodeTheServiceAnswers) {
  std::set<std::string> names;
  for (int status = ZYL_STATUS_OK; status <= ZYL_STATUS_BAD_ARGUMENT; ++status) {
    names.insert(zyl_status_text(status));
  }
  EXPECT_EQ(names.size(), 10u) << "one distinct text each";
  EXPECT_EQ(names.count("unknown status"), 0u);
  EXPECT_STREQ(zyl_status_text(99), "unknown status");
  for (int32_t code : {1, 2, 3, 4, 0, -101, -102, -105, -106, -107, -108, -200, -300}) {
    EXPECT_STRNE(zyl_result_text(code), "unknown result") << code;
  }
  EXPECT_STREQ(zyl_result_text(-1), "unknown result");
}

TEST(ClientLibraryTexts, VersionOfTheLibraryIsTheHeaders) {
  EXPECT_EQ(zyl_version(), static_cast<uint32_t>(ZYL_VERSION_NUMBER));
  EXPECT_EQ(zyl_version() >> 16, static_cast<uint32_t>(ZYL_VERSION_MAJOR));
  EXPECT_EQ(zyl_version() >> 8 & 0xFF, static_cast<uint32_t>(ZYL_VERSION_MINOR));
  EXPECT_EQ(zyl_version() & 0xFF, static_cast<uint32_t>(ZYL_VERSION_PATCH));
}

TEST_F(ClientLibraryTest, RefusedRequestIsAConnectionClosedWithoutReply) {
  const zyl_options options = Options();
  const zyl_record unknown{7, 0, 0, 0, 0, 0, 0};
  zyl_record reply{};
  reply.result = 12345;
  EXPECT_EQ(zyl_request(&unknown, &reply, &options), ZYL_STATUS_CLOSED);
  EXPECT_EQ(reply.result, 12345) << "no reply, nothing written";
}

TEST_F(ClientLibraryTest, ServiceThatEndsBeforeAnsweringIsAConnectionClosedWithoutReply) {
  ASSERT_EQ(kill(service_->pid(), SIGSTOP), 0);
  int status = -1;
  std::thread caller([&] {
    const zyl_options options = Options();
    status = zyl_load(nullptr, &options);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(service_->pid(), SIGKILL);
  caller.join();
  EXPECT_EQ(status, ZYL_STATUS_CLOSED) << zyl_status_text(status);
}

TEST_F(ClientLibraryTest, BusyServiceServesTheCallerOnceTheRunningCommandEnds) {
  // An idle connection holds nobody: the service reads requests side by side.
  auto idle = std::make_unique<Holder>(runtime_);
  ASSERT_TRUE(idle->connected());
  const zyl_options quick = Options(3000);
  EXPECT_EQ(zyl_load(nullptr, &quick), ZYL_STATUS_OK);

  // A running command does hold it. On a service whose commands take 2 s, a 3 s time-out is
  // enough alone, but not behind another process's load.
  const std::string slowLog = runtime_ + "/slow-service.log";
  ASSERT_TRUE(RestartSlow(2000, slowLog));
  const zyl_options hurried = Options(3000);
  ASSERT_EQ(zyl_load(nullptr, &hurried), ZYL_STATUS_OK) << "alone";
  integration::Background holder({std::string(ZYL_BINARY_DIR) + "/tools/zylclient/zylclient",
                                  "load", "--runtime-dir", runtime_},
                                 runtime_ + "/holder.log");
  // The library logs this once per load, when the work is done and the delay begins.
  ASSERT_TRUE(integration::WaitForText(slowLog, "<-------------QV_InitLibrary", 2));
  EXPECT_EQ(zyl_load(nullptr, &hurried), ZYL_STATUS_TIMEOUT) << "behind the holder";
  const zyl_options patient = Options(10000);
  int32_t result = 0;
  EXPECT_EQ(zyl_load(&result, &patient), ZYL_STATUS_OK);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(holder.WaitForExit(), 0);
}

struct Progress {
  std::vector<std::pair<int, uint32_t>> calls;
  static void Record(void* context, int waitingFor, uint32_t elapsedMs) {
    static_cast<Progress*>(context)->calls.emplace_back(waitingFor, elapsedMs);
  }
};

TEST_F(ClientLibraryTest, StoppedServiceTimesOutWithProgressReportsAndServesOnAfterwards) {
  const zyl_options first = Options();
  ASSERT_EQ(zyl_load(nullptr, &first), ZYL_STATUS_OK);
  ASSERT_EQ(kill(service_->pid(), SIGSTOP), 0);
  Progress progress;
  zyl_options options = Options(2500);
  options.progress = &Progress::Record;
  options.progress_context = &progress;
  const auto start = Clock::now();
  EXPECT_EQ(zyl_load(nullptr, &options), ZYL_STATUS_TIMEOUT);
  const auto took = Clock::now() - start;
  kill(service_->pid(), SIGCONT);
  EXPECT_GE(took, std::chrono::milliseconds(2400));
  EXPECT_LT(took, std::chrono::milliseconds(6000));
  ASSERT_EQ(progress.calls.size(), 2u) << "after 1 s and 2 s";
  EXPECT_EQ(progress.calls[0].first, ZYL_WAITING_FOR_REPLY);
  EXPECT_GE(progress.calls[0].second, 1000u);
  EXPECT_GE(progress.calls[1].second, 2000u);

  int32_t result = 0;
  const zyl_options normal = Options();
  EXPECT_EQ(zyl_load(&result, &normal), ZYL_STATUS_OK);
  EXPECT_EQ(result, 1);
}

TEST_F(ClientLibraryTest, ConcurrentCallersInOneProcessAreEachServedTheirOwnReply) {
  const zyl_options options = Options();
  ASSERT_EQ(zyl_load(nullptr, &options), ZYL_STATUS_OK);
  constexpr int kThreads = 6, kCalls = 8;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        // Odd threads ask for a device that is absent: each reply must be the caller's own.
        const bool present = t % 2 == 0;
        int32_t result = 0;
        uint32_t count = 99;
        const int status =
            zyl_count_by_id(present ? kAdapterId : 0x0000DEAD, &result, &count, &options);
        if (status != ZYL_STATUS_OK || result != 1 || count != (present ? 1u : 0u)) ++failures[t];
      }
    });
  }
  for (auto& caller : callers) caller.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

// A caller that gives up before its command starts has nothing carried out: behind a long
// command, a disable sent and abandoned at once, and one whose caller times out, never run.
TEST_F(ClientLibraryTest, CallersThatGaveUpBehindALongCommandHaveNothingCarriedOut) {
  ASSERT_TRUE(RestartSlow(1000, runtime_ + "/slow-service.log"));
  const zyl_options options = Options();
  int32_t result = 0;
  uint32_t count = 0;
  ASSERT_EQ(zyl_load(&result, &options), ZYL_STATUS_OK);
  ASSERT_EQ(zyl_count_by_id(kAdapterId, &result, &count, &options), ZYL_STATUS_OK);
  ASSERT_EQ(count, 1u);

  // The query comes first, so it runs first (the service is idle and it arrived first).
  const zyl_record query{2, kAdapterId, 0, 0, 0, 0, 0};
  Holder running(runtime_, &query);
  ASSERT_TRUE(running.connected());
  const zyl_record disable{3, 0, 0, 0, 0, 0, 0};
  { Holder abandoned(runtime_, &disable); }  // sent, and gone at once
  const zyl_options hurried = Options(200);
  EXPECT_EQ(zyl_disable(&result, &hurried), ZYL_STATUS_TIMEOUT);
  zyl_record reply{};
  ASSERT_TRUE(running.Reply(&reply));
  EXPECT_EQ(reply.result, 2) << "started and working";
  ASSERT_EQ(zyl_query(kAdapterId, 0, 0, &result, &options), ZYL_STATUS_OK);
  EXPECT_EQ(result, 2) << "still working: neither abandoned disable was carried out";
}

// A program that closes every descriptor between calls (as daemons do) and opens files of its
// own on those numbers: the library keeps nothing between calls, so it touches none of them.
TEST_F(ClientLibraryTest, ProgramThatClosesAndReusesDescriptorsBetweenCallsIsUnharmed) {
  const std::string runtime = runtime_;
  const pid_t child = fork();
  if (child == 0) {
    const zyl_options options = Options();
    if (zyl_load(nullptr, &options) != ZYL_STATUS_OK) _exit(1);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    const std::string data = "the program's own data, 32 bytes";
    std::vector<int> files;
    for (int i = 0; i < 8; ++i) {
      const std::string path = runtime + "/own-" + std::to_string(i);
      const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
      if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
        _exit(2);
      }
      files.push_back(fd);
    }
    for (int call = 0; call < 3; ++call) {
      if (zyl_load(nullptr, &options) != ZYL_STATUS_OK) _exit(3);
    }
    for (int fd : files) {
      char back[64] = {};
      if (fcntl(fd, F_GETFD) < 0) _exit(4);  // closed under the program
      if (pread(fd, back, sizeof back, 0) != static_cast<ssize_t>(data.size()) || data != back) {
        _exit(5);  // written to
      }
    }
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: first call, 2: own files, 3: later calls, "
                                       "4: a file closed, 5: a file written";
}

TEST(ClientLibraryWithoutService, SaysSoAndRefusesBadArguments) {
  const std::string empty = integration::MakeTempDir("zylnone");
  char message[256] = "untouched";
  zyl_options options{};
  options.size = sizeof(options);
  options.runtime_dir = empty.c_str();
  options.message = message;
  options.message_size = sizeof(message);
  EXPECT_EQ(zyl_load(nullptr, &options), ZYL_STATUS_NO_SERVICE);
  EXPECT_EQ(std::string(message).rfind("the service is not running: ", 0), 0u) << message;
  EXPECT_NE(std::string(message).find(empty), std::string::npos) << "names where it looked";

  zyl_record record{};
  EXPECT_EQ(zyl_request(nullptr, &record, &options), ZYL_STATUS_BAD_ARGUMENT);
  EXPECT_STREQ(message, "request is NULL");
  EXPECT_EQ(zyl_request(&record, nullptr, &options), ZYL_STATUS_BAD_ARGUMENT);
  EXPECT_STREQ(message, "reply is NULL");
  options.message_size = 8;
  EXPECT_EQ(zyl_load(nullptr, &options), ZYL_STATUS_NO_SERVICE);
  EXPECT_STREQ(message, "the ser") << "cut to fit, terminated";

  // A caller built before the message buffer existed passes the first, smaller layout: it
  // keeps working, and nothing is written past the record it knows.
  options.size = offsetof(zyl_options, message);
  std::strcpy(message, "untouched");
  EXPECT_EQ(zyl_load(nullptr, &options), ZYL_STATUS_NO_SERVICE);
  EXPECT_STREQ(message, "untouched");
  options.size = 4;
  EXPECT_EQ(zyl_request(&record, &record, &options), ZYL_STATUS_BAD_ARGUMENT);
}

// ZYL_STATUS_BUSY means no turn came within the time-out and nothing was sent, also when the
// turn is held by another thread of this process.
TEST_F(ClientLibraryTest, AnotherThreadHoldingTheExchangeIsBusyAndNothingIsSent) {
  const zyl_options first = Options();
  ASSERT_EQ(zyl_load(nullptr, &first), ZYL_STATUS_OK);
  ASSERT_EQ(kill(service_->pid(), SIGSTOP), 0);
  std::promise<void> holding;
  zyl_options held = Options(8000);
  held.progress = [](void* context, int, uint32_t) {
    auto* promise = static_cast<std::promise<void>**>(context);
    if (*promise != nullptr) (*promise)->set_value();
    *promise = nullptr;
  };
  std::promise<void>* once = &holding;
  held.progress_context = &once;
  int32_t heldResult = 0;
  std::thread holder([&] { EXPECT_EQ(zyl_load(&heldResult, &held), ZYL_STATUS_OK); });
  holding.get_future().wait();  // a second into its exchange

  char message[256];
  zyl_options hurried = Options(300);
  hurried.message = message;
  hurried.message_size = sizeof(message);
  EXPECT_EQ(zyl_load(nullptr, &hurried), ZYL_STATUS_BUSY);
  EXPECT_STREQ(message,
               "another thread of this process held the exchange for the whole time-out; "
               "nothing was sent");
  kill(service_->pid(), SIGCONT);
  holder.join();
  EXPECT_EQ(heldResult, 1);
  const std::string log = integration::ReadFile(runtime_ + "/service.log");
  int loads = 0;
  for (auto at = log.find("<-------------QV_InitLibrary"); at != std::string::npos;
       at = log.find("<-------------QV_InitLibrary", at + 1)) {
    ++loads;
  }
  EXPECT_EQ(loads, 2) << "the busy caller's load never ran";
}

TEST_F(ClientLibraryTest, WaitUntilWorkingQueriesUntilTheAdapterIsBack) {
  const zyl_options options = Options();
  int32_t result = 0;
  Progress progress;
  zyl_options reported = Options();
  reported.progress = &Progress::Record;
  reported.progress_context = &progress;
  ASSERT_EQ(zyl_wait_until_working(kAdapterId, 0, 0, 5000, &result, &reported), ZYL_STATUS_OK);
  EXPECT_EQ(result, -107) << "no session: waiting cannot help";
  EXPECT_TRUE(progress.calls.empty()) << "ended at once";

  ASSERT_EQ(zyl_load(nullptr, &options), ZYL_STATUS_OK);
  ASSERT_EQ(zyl_count_by_id(kAdapterId, nullptr, nullptr, &options), ZYL_STATUS_OK);
  ASSERT_EQ(zyl_disable(&result, &options), ZYL_STATUS_OK);
  ASSERT_EQ(result, 1);
  const auto start = Clock::now();
  EXPECT_EQ(zyl_wait_until_working(kAdapterId, 0, 0, 2200, &result, &reported), ZYL_STATUS_OK);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2200));
  EXPECT_EQ(result, 3) << "still disabled when the wait ran out";
  ASSERT_FALSE(progress.calls.empty()) << "about once a second";
  EXPECT_EQ(progress.calls[0].first, ZYL_WAITING_FOR_ADAPTER);
  EXPECT_GE(progress.calls[0].second, 1000u);

  // Another thread puts it back while this one waits.
  std::thread enabler([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    int32_t enabled = 0;
    EXPECT_EQ(zyl_enable(&enabled, &options), ZYL_STATUS_OK);
    EXPECT_EQ(enabled, 1);
  });
  EXPECT_EQ(zyl_wait_until_working(kAdapterId, 0, 0, 20000, &result, &options), ZYL_STATUS_OK);
  enabler.join();
  EXPECT_EQ(result, 2);
}

// The cause of each failure, in the caller's own buffer; "" after a reply.
TEST_F(ClientLibraryTest, EachFailureLeavesItsCauseInTheCallersBuffer) {
  char message[256] = "untouched";
  zyl_options options = Options();
  options.message = message;
  options.message_size = sizeof(message);
  ASSERT_EQ(zyl_load(nullptr, &options), ZYL_STATUS_OK);
  EXPECT_STREQ(message, "");

  const zyl_record unknown{7, 0, 0, 0, 0, 0, 0};
  zyl_record reply{};
  EXPECT_EQ(zyl_request(&unknown, &reply, &options), ZYL_STATUS_CLOSED);
  EXPECT_STREQ(message, "no reply: the service closed the connection");

  ASSERT_EQ(kill(service_->pid(), SIGSTOP), 0);
  options.timeout_ms = 300;
  EXPECT_EQ(zyl_load(nullptr, &options), ZYL_STATUS_TIMEOUT);
  kill(service_->pid(), SIGCONT);
  EXPECT_EQ(std::string(message).rfind("no reply within ", 0), 0u) << message;
}

}  // namespace
