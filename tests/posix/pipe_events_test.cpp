// What only the Linux pipe and event binding shows (the shared behaviour is in
// pipe_events_contract_test.cpp): the binding against real sockets, eventfds and shared event
// files, in a private runtime directory per test.
#include "platform/posix/pipe_events.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/posix/client_checks.h"
#include "platform/posix/error_text.h"
#include "platform/posix/ipc_names.h"
#include "platform/windows_values.h"
#include "posix/support/scratch_dir.h"
#include "protocol/names.h"
#include "service/pipe_server.h"

namespace {

using platform::kFileAllAccess;
using zylprotocol::kCommandDoneEventName;
using zylprotocol::kDisconnectedEventName;
using zylprotocol::kPipeName;
using zylservice::kPipeBufferSize;
using zylservice::kPipeDefaultTimeoutMs;
using zylservice::kPipeMaxInstances;
using zylservice::kPipeMode;
using zylservice::kPipeOpenMode;

using platform::ConnectState;
using platform::Handle;
using platform::PipeAccessEntry;
using platform::PipeSettings;
using platform::PosixPipeEvents;

constexpr const char16_t* kDoneName = kCommandDoneEventName;
using platform::kFileAllAccess;
constexpr PipeSettings kSettings{
    kPipeName,       kPipeOpenMode,        kPipeMode, kPipeMaxInstances, kPipeBufferSize,
    kPipeBufferSize, kPipeDefaultTimeoutMs};
constexpr PipeAccessEntry kAcl[] = {
    {u"SYSTEM", kFileAllAccess}, {u"Administrators", kFileAllAccess}, {u"Users", kFileAllAccess}};

// Connects like a client; -1 on failure.
int ConnectClient(const std::string& socketPath) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Waits for the child and gives its exit status, or -1 when it did not exit normally.
int ChildStatus(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class PipeEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    socketPath_ = platform::posix::PipeSocketPath(dir_.Path(), kPipeName);
  }
  void TearDown() override {
    for (Handle handle : opened_) binding_.Close(handle);
  }
  Handle Keep(Handle handle) {
    if (handle != nullptr) opened_.push_back(handle);
    return handle;
  }
  Handle MakePipe() {
    return Keep(binding_.CreatePipe(kSettings, Keep(binding_.BuildSecurity(kAcl))));
  }

  zyltest::ScratchDir dir_;
  PosixPipeEvents binding_{dir_.Path()};
  std::string socketPath_;
  std::vector<Handle> opened_;
};

TEST(IpcNamesTest, MapsPipeNamesToFiles) {
  using platform::posix::PipeSocketName;
  EXPECT_EQ(PipeSocketName(kPipeName), "TAVIK_Zyl_Control_Service");
  EXPECT_EQ(PipeSocketName(u"\\\\.\\PIPE\\x y/z"), "x_y_z");
  EXPECT_EQ(PipeSocketName(u"\\\\server\\pipe\\remote"), "");
  EXPECT_EQ(PipeSocketName(u"\\\\.\\pipe\\"), "");
  EXPECT_EQ(PipeSocketName(u"\\\\.\\pipe\\.."), "__");
}

TEST_F(PipeEventsTest, SecurityMapsTheAccessListToOwnerGroupAndMode) {
  const auto* all = PosixPipeEvents::DescribeSecurity(Keep(binding_.BuildSecurity(kAcl)));
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(all->owner, 0u);
  EXPECT_EQ(all->mode, 0666u);

  const PipeAccessEntry systemOnly[] = {{u"system", kFileAllAccess}};
  const auto* root = PosixPipeEvents::DescribeSecurity(Keep(binding_.BuildSecurity(systemOnly)));
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->mode, 0600u);

  const PipeAccessEntry readOnlyUsers[] = {{u"Users", 0x0001}};
  const auto* readers =
      PosixPipeEvents::DescribeSecurity(Keep(binding_.BuildSecurity(readOnlyUsers)));
  ASSERT_NE(readers, nullptr);
  EXPECT_EQ(readers->mode, 0004u);

  const PipeAccessEntry unknown[] = {{u"SYSTEM", kFileAllAccess}, {u"NoSuchAccount", 1}};
  EXPECT_EQ(binding_.BuildSecurity(unknown), nullptr);
}

TEST_F(PipeEventsTest, PipeIsASocketWithTheModeOfItsAccessListAndGoesAwayWhenClosed) {
  Handle pipe = binding_.CreatePipe(kSettings, Keep(binding_.BuildSecurity(kAcl)));
  ASSERT_NE(pipe, nullptr);
  struct stat info {};
  ASSERT_EQ(stat(socketPath_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0666u);
  binding_.Close(pipe);
  EXPECT_NE(access(socketPath_.c_str(), F_OK), 0);
}

TEST_F(PipeEventsTest, RefusesSettingsItCannotServe) {
  PipeSettings twoInstances = kSettings;
  twoInstances.maxInstances = 2;
  EXPECT_EQ(binding_.CreatePipe(twoInstances, nullptr), nullptr);
  PipeSettings remote = kSettings;
  remote.name = u"\\\\host\\pipe\\x";
  EXPECT_EQ(binding_.CreatePipe(remote, nullptr), nullptr);
}

TEST_F(PipeEventsTest, IdleClientsDelayNobodyAndAreDroppedAfterTheReadLimit) {
  Handle pipe = MakePipe();
  Handle connectEvent = Keep(binding_.CreateEvent(false, false));
  Handle stopEvent = Keep(binding_.CreateEvent(true, false));
  ASSERT_EQ(binding_.Connect(pipe, connectEvent), ConnectState::kPending);
  const int idle = ConnectClient(socketPath_);
  const int ready = ConnectClient(socketPath_);
  ASSERT_GE(ready, 0);
  const std::array<uint8_t, 24> request{7};
  ASSERT_EQ(send(ready, request.data(), request.size(), 0), 24);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(binding_.WaitForEither(connectEvent, stopEvent), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  std::array<uint8_t, 24> got{};
  EXPECT_EQ(binding_.Read(pipe, got.data(), got.size()), 24);
  EXPECT_EQ(got, request);
  EXPECT_TRUE(binding_.Disconnect(pipe));

  // Part of a record and a pause: handed over as it is, as one read would return it.
  const int slow = ConnectClient(socketPath_);
  ASSERT_EQ(send(slow, "half", 4, 0), 4);
  ASSERT_EQ(binding_.Connect(pipe, connectEvent), ConnectState::kPending);
  EXPECT_EQ(binding_.WaitForEither(connectEvent, stopEvent), 0);
  EXPECT_EQ(binding_.Read(pipe, got.data(), got.size()), 4);
  EXPECT_TRUE(binding_.Disconnect(pipe));

  // The idle one never sends: it is closed unserved once the limit passes.
  ASSERT_EQ(binding_.Connect(pipe, connectEvent), ConnectState::kPending);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(platform::kPipeReadLimitMs + 300));
    binding_.SetEvent(stopEvent);
  });
  EXPECT_EQ(binding_.WaitForEither(connectEvent, stopEvent), 1);
  stopper.join();
  char byte;
  EXPECT_EQ(recv(idle, &byte, 1, MSG_DONTWAIT), 0);
  for (int fd : {idle, slow, ready}) close(fd);
}

TEST_F(PipeEventsTest, EachUserHasOnlyAFewConnectionsStillArriving) {
  Handle pipe = MakePipe();
  Handle connectEvent = Keep(binding_.CreateEvent(false, false));
  Handle stopEvent = Keep(binding_.CreateEvent(true, false));
  ASSERT_EQ(binding_.Connect(pipe, connectEvent), ConnectState::kPending);
  std::vector<int> idle;
  for (int i = 0; i <= PosixPipeEvents::kConnectionsPerUser; ++i) {
    idle.push_back(ConnectClient(socketPath_));
  }
  const int ready = ConnectClient(socketPath_);
  const std::array<uint8_t, 24> request{9};
  ASSERT_EQ(send(ready, request.data(), request.size(), 0), 24);
  EXPECT_EQ(binding_.WaitForEither(connectEvent, stopEvent), 0);
  std::array<uint8_t, 24> got{};
  EXPECT_EQ(binding_.Read(pipe, got.data(), got.size()), 24);
  EXPECT_EQ(got, request) << "a complete request is served beside a full set of idle ones";
  int refused = 0;
  for (int fd : idle) {
    char byte;
    refused += recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
    close(fd);
  }
  EXPECT_EQ(refused, 1);
  EXPECT_TRUE(binding_.Disconnect(pipe));
  close(ready);
}

// Served by a loop like the service's, echoing each record; one who hangs up is never answered.
TEST_F(PipeEventsTest, ClientsThatHungUpAreNeverServed) {
  Handle pipe = MakePipe();
  Handle connectEvent = Keep(binding_.CreateEvent(false, false));
  Handle stopEvent = Keep(binding_.CreateEvent(true, false));
  ASSERT_EQ(binding_.Connect(pipe, connectEvent), ConnectState::kPending);
  const int running = ConnectClient(socketPath_);
  const std::array<uint8_t, 24> first{1};
  ASSERT_EQ(send(running, first.data(), first.size(), 0), 24);
  ASSERT_EQ(binding_.WaitForEither(connectEvent, stopEvent), 0);
  std::array<uint8_t, 24> got{};
  ASSERT_EQ(binding_.Read(pipe, got.data(), got.size()), 24);

  // While that command runs, two callers queue their records and give up; a third waits.
  for (uint8_t tag : {2, 3}) {
    const int gaveUp = ConnectClient(socketPath_);
    const std::array<uint8_t, 24> abandoned{tag};
    ASSERT_EQ(send(gaveUp, abandoned.data(), abandoned.size(), 0), 24);
    close(gaveUp);
  }
  const int waiting = ConnectClient(socketPath_);
  const std::array<uint8_t, 24> kept{4};
  ASSERT_EQ(send(waiting, kept.data(), kept.size(), 0), 24);
  ASSERT_EQ(shutdown(waiting, SHUT_WR), 0) << "done sending, still waiting for the reply";
  EXPECT_TRUE(binding_.Disconnect(pipe));
  close(running);

  ASSERT_EQ(binding_.Connect(pipe, connectEvent), ConnectState::kPending);
  ASSERT_EQ(binding_.WaitForEither(connectEvent, stopEvent), 0);
  ASSERT_EQ(binding_.Read(pipe, got.data(), got.size()), 24);
  EXPECT_EQ(got, kept) << "the two who gave up are dropped unserved";
  EXPECT_TRUE(binding_.Disconnect(pipe));
  close(waiting);

  // One that sends its record and hangs up before the wait even accepts it is not handed over
  // by that wait: it goes on until something else happens.
  ASSERT_EQ(binding_.Connect(pipe, connectEvent), ConnectState::kPending);
  const int late = ConnectClient(socketPath_);
  ASSERT_EQ(send(late, kept.data(), kept.size(), 0), 24);
  close(late);
  ASSERT_TRUE(binding_.SetEvent(stopEvent));
  EXPECT_EQ(binding_.WaitForEither(connectEvent, stopEvent), 1);
}

TEST_F(PipeEventsTest, SlowWriterBehindAFullQueueOfReadyRequestsIsServedInItsTurn) {
  Handle pipe = MakePipe();
  Handle connectEvent = Keep(binding_.CreateEvent(false, false));
  Handle stopEvent = Keep(binding_.CreateEvent(true, false));
  std::atomic<int> served{0};
  std::thread server([&] {
    for (;;) {
      if (binding_.Connect(pipe, connectEvent) != ConnectState::kPending) return;
      if (binding_.WaitForEither(connectEvent, stopEvent) != 0) return;
      std::array<uint8_t, 24> record{};
      if (binding_.Read(pipe, record.data(), record.size()) == 24) {
        binding_.Write(pipe, record.data(), record.size());
      }
      binding_.Disconnect(pipe);
      ++served;
    }
  });
  // A flood that keeps a full share of complete requests queued, each replaced by a new one as
  // its reply comes, so the queue never empties.
  constexpr int kQueued = PosixPipeEvents::kQueuedPerUser - 16;
  const std::array<uint8_t, 24> flood{1};
  auto queueOne = [&] {
    const int fd = ConnectClient(socketPath_);
    EXPECT_EQ(send(fd, flood.data(), flood.size(), MSG_NOSIGNAL), 24);
    return fd;
  };
  std::vector<pollfd> queued;
  for (int i = 0; i < kQueued; ++i) queued.push_back({queueOne(), POLLIN, 0});
  // The slow writer connects behind them and sends its record only 50 ms later.
  const int slow = ConnectClient(socketPath_);
  std::atomic<bool> answered{false};
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::array<uint8_t, 24> mine{2};
    EXPECT_EQ(send(slow, mine.data(), mine.size(), 0), 24);
    std::array<uint8_t, 24> reply{};
    EXPECT_EQ(recv(slow, reply.data(), reply.size(), MSG_WAITALL), 24);
    EXPECT_EQ(reply, mine);
    answered = true;
  });
  // Its turn comes after the requests queued before it: far fewer than these replacements.
  constexpr int kReplacements = 20 * kQueued;
  int replaced = 0;
  while (!answered && replaced < kReplacements) {
    if (poll(queued.data(), queued.size(), 100) <= 0) continue;
    for (pollfd& one : queued) {
      if (one.revents == 0) continue;
      char reply[24];
      recv(one.fd, reply, sizeof reply, MSG_WAITALL);
      close(one.fd);
      one.fd = queueOne();
      ++replaced;
    }
  }
  EXPECT_TRUE(answered) << "the slow writer was never read while ready requests were queued";
  for (pollfd& one : queued) close(one.fd);
  writer.join();  // its recv ends with the reply or the service's close
  binding_.SetEvent(stopEvent);
  server.join();
  close(slow);
  EXPECT_GT(served.load(), kQueued);
}

TEST_F(PipeEventsTest, ClientEventsNeedNoFileAndNothingIsMadeForAClient) {
  Handle pipe = MakePipe();
  Handle connectEvent = Keep(binding_.CreateEvent(false, false));
  Handle stopEvent = Keep(binding_.CreateEvent(true, false));
  ASSERT_EQ(binding_.Connect(pipe, connectEvent), ConnectState::kPending);
  const int client = ConnectClient(socketPath_);
  const std::array<uint8_t, 24> request{};
  ASSERT_EQ(send(client, request.data(), request.size(), 0), 24);
  ASSERT_EQ(binding_.WaitForEither(connectEvent, stopEvent), 0);
  ASSERT_TRUE(binding_.ImpersonateClient(pipe));
  // Opened, set and reset as the core does, without any file behind them.
  Handle done = Keep(binding_.OpenEvent(kDoneName));
  Handle gone = Keep(binding_.OpenEvent(kDisconnectedEventName));
  ASSERT_NE(done, nullptr);
  ASSERT_NE(gone, nullptr);
  EXPECT_TRUE(binding_.ResetEvent(gone));
  EXPECT_TRUE(binding_.SetEvent(done));
  EXPECT_TRUE(binding_.RevertToSelf());
  EXPECT_EQ(binding_.OpenEvent(u""), nullptr);
  EXPECT_FALSE(binding_.SetEvent(pipe)) << "only events are set";
  EXPECT_TRUE(binding_.Disconnect(pipe));
  close(client);
  // The directory holds the socket and its lock, nothing per client.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"TAVIK_Zyl_Control_Service",
                                             "TAVIK_Zyl_Control_Service.lock"}));
}

TEST_F(PipeEventsTest, WaitFailsForHandlesThatAreNotEvents) {
  Handle event = Keep(binding_.CreateEvent(true, true));
  Handle pipe = MakePipe();
  EXPECT_EQ(binding_.WaitForEither(pipe, event), -1);
}

// The contract suite shows the refusal within one process; the lock holds across processes.
TEST_F(PipeEventsTest, SecondServerOfTheSameNameIsRefusedInAnotherProcess) {
  Handle first = binding_.CreatePipe(kSettings, nullptr);
  ASSERT_NE(first, nullptr);
  PosixPipeEvents other(dir_.Path());
  const pid_t child = fork();
  if (child == 0) {
    PosixPipeEvents inChild(dir_.Path());
    _exit(inChild.CreatePipe(kSettings, nullptr) == nullptr ? 0 : 1);
  }
  EXPECT_EQ(ChildStatus(child), 0);
  binding_.Close(first);
  Handle second = other.CreatePipe(kSettings, nullptr);
  EXPECT_NE(second, nullptr);
  other.Close(second);
}

TEST_F(PipeEventsTest, ForeignListenerOnTheNameIsRespected) {
  std::string why;
  ASSERT_TRUE(platform::posix::EnsureRuntimeDir(dir_.Path(), &why)) << why;
  const int foreign = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath_.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(foreign, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(foreign, 1), 0);
  EXPECT_EQ(binding_.CreatePipe(kSettings, nullptr), nullptr);
  close(foreign);
}

TEST_F(PipeEventsTest, StaleSocketFileIsReplaced) {
  std::string why;
  ASSERT_TRUE(platform::posix::EnsureRuntimeDir(dir_.Path(), &why)) << why;
  const int dead = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath_.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(dead, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  close(dead);  // the file stays, nobody listens
  Handle pipe = MakePipe();
  ASSERT_NE(pipe, nullptr);
  const int client = ConnectClient(socketPath_);
  EXPECT_GE(client, 0);
  close(client);
}

TEST_F(PipeEventsTest, ReplyStaysReadableAfterTheDisconnectSoFlushWaitsForNobody) {
  Handle pipe = MakePipe();
  Handle connectEvent = Keep(binding_.CreateEvent(false, false));
  Handle stopEvent = Keep(binding_.CreateEvent(true, false));
  ASSERT_EQ(binding_.Connect(pipe, connectEvent), ConnectState::kPending);
  int client = ConnectClient(socketPath_);
  char record[24] = {3};
  ASSERT_EQ(send(client, record, sizeof(record), 0), 24);
  ASSERT_EQ(binding_.WaitForEither(connectEvent, stopEvent), 0);
  ASSERT_TRUE(binding_.Write(pipe, record, sizeof(record)));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(binding_.Flush(pipe)) << "nothing is lost: the reply waits in the client's queue";
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(platform::kPipeFlushLimitMs / 2));
  EXPECT_TRUE(binding_.Disconnect(pipe));
  char got[24] = {};
  ASSERT_EQ(recv(client, got, sizeof(got), MSG_WAITALL), 24);
  EXPECT_EQ(got[0], 3);
  EXPECT_EQ(recv(client, got, 1, 0), 0);
  close(client);

  // Writing to a client that has gone fails instead of raising SIGPIPE.
  ASSERT_EQ(binding_.Connect(pipe, connectEvent), ConnectState::kPending);
  client = ConnectClient(socketPath_);
  ASSERT_EQ(send(client, record, sizeof(record), 0), 24);
  ASSERT_EQ(binding_.WaitForEither(connectEvent, stopEvent), 0);
  close(client);
  EXPECT_FALSE(binding_.Write(pipe, record, sizeof(record)) &&
               binding_.Write(pipe, record, sizeof(record)));
}

TEST_F(PipeEventsTest, ClientTrustsTheDirectorysOwnerAndNeverSaysSuccess) {
  EXPECT_EQ(platform::posix::ErrorText(0).find("Success"), std::string::npos);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  std::string error;
  // The peer is this process, and this user owns the runtime directory.
  EXPECT_TRUE(platform::posix::CheckServerCredentials(pair[0], dir_.Path(), &error)) << error;
  close(pair[0]);
  close(pair[1]);
  EXPECT_TRUE(platform::posix::CheckRuntimeDir(dir_.Path(), &error)) << error;
}

// A directory others can write would let them put their own socket in the service's place.
TEST_F(PipeEventsTest, ServiceAndClientRefuseARuntimeDirOthersCanWriteOrALinkToOne) {
  std::string error;
  for (mode_t unsafe : {01777, 0777, 0775, 0757}) {
    ASSERT_EQ(chmod(dir_.Path().c_str(), unsafe), 0);
    EXPECT_EQ(binding_.CreatePipe(kSettings, nullptr), nullptr) << std::oct << unsafe;
    EXPECT_FALSE(platform::posix::CheckRuntimeDir(dir_.Path(), &error)) << std::oct << unsafe;
    EXPECT_NE(error.find("writable by others"), std::string::npos) << error;
  }
  ASSERT_EQ(chmod(dir_.Path().c_str(), 0755), 0);
  const std::string link = dir_.Path() + "/link";
  ASSERT_EQ(mkdir((dir_.Path() + "/real").c_str(), 0755), 0);
  ASSERT_EQ(symlink("real", link.c_str()), 0);
  PosixPipeEvents throughLink(link);
  EXPECT_EQ(throughLink.CreatePipe(kSettings, nullptr), nullptr) << "a link is not followed";
  EXPECT_FALSE(platform::posix::CheckRuntimeDir(link, &error));
  EXPECT_NE(MakePipe(), nullptr) << "the directory itself, once safe, serves";
}

TEST_F(PipeEventsTest, ClientRefusesAServerOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to serve as another uid";
  // A server of another uid, in the abstract namespace, which needs no directory.
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string name = "zylcheck-" + std::to_string(getpid());
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const socklen_t length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    const int server = socket(AF_UNIX, SOCK_STREAM, 0);
    const bool ok = setuid(65534) == 0 &&
                    bind(server, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                    listen(server, 1) == 0 && write(ready[1], "r", 1) == 1;
    if (ok) close(accept(server, nullptr, nullptr));
    _exit(ok ? 0 : 1);
  }
  close(ready[1]);  // a child that fails ends the read below instead of leaving it waiting
  char byte;
  const bool listening = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  if (!listening) {
    ChildStatus(child);
    FAIL() << "the other user's server did not start";
  }
  const int fake = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(connect(fake, reinterpret_cast<sockaddr*>(&address), length), 0);
  std::string error;
  EXPECT_FALSE(platform::posix::CheckServerCredentials(fake, dir_.Path(), &error));
  EXPECT_NE(error.find("uid 65534"), std::string::npos) << error;
  close(fake);
  EXPECT_EQ(ChildStatus(child), 0);
}

}  // namespace
