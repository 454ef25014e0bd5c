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

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/posix/ipc_names.h"
#include "platform/posix/shared_event.h"
#include "platform/windows_values.h"
#include "posix/support/scratch_dir.h"

namespace {

using platform::ConnectState;
using platform::Handle;
using platform::PipeAccessEntry;
using platform::PipeSettings;
using platform::PosixPipeEvents;
using platform::posix::SharedEvent;

constexpr char16_t kPipeName[] = u"\\\\.\\pipe\\TAVIK_Zyl_Control_Service";
constexpr char16_t kDoneName[] = u"Global\\VokZylRemoveService";
using platform::kFileAllAccess;
constexpr PipeSettings kSettings{kPipeName, 0x40000003, 0, 1, 512, 512, 1000};
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

TEST(IpcNamesTest, MapsPipeAndEventNamesToFiles) {
  using platform::posix::EventFileName;
  using platform::posix::PipeSocketName;
  EXPECT_EQ(PipeSocketName(kPipeName), "TAVIK_Zyl_Control_Service");
  EXPECT_EQ(PipeSocketName(u"\\\\.\\PIPE\\x y/z"), "x_y_z");
  EXPECT_EQ(PipeSocketName(u"\\\\server\\pipe\\remote"), "");
  EXPECT_EQ(PipeSocketName(u"\\\\.\\pipe\\"), "");
  EXPECT_EQ(PipeSocketName(u"\\\\.\\pipe\\.."), "__");
  EXPECT_EQ(EventFileName(kDoneName), "Global.VokZylRemoveService");
  EXPECT_EQ(EventFileName(u"Local\\a/b\u00e9"), "Local.a_b_");
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
  struct stat events {};
  ASSERT_EQ(stat(platform::posix::EventsDir(dir_.Path()).c_str(), &events), 0);
  EXPECT_EQ(events.st_mode & 07777, 01777u);
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
  ASSERT_TRUE(platform::posix::EnsureRuntimeDirs(dir_.Path()));
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
  ASSERT_TRUE(platform::posix::EnsureRuntimeDirs(dir_.Path()));
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

TEST_F(PipeEventsTest, FlushWaitsUntilTheClientHasReadOrGone) {
  Handle pipe = MakePipe();
  Handle connectEvent = Keep(binding_.CreateEvent(false, false));
  Handle stopEvent = Keep(binding_.CreateEvent(true, false));
  ASSERT_EQ(binding_.Connect(pipe, connectEvent), ConnectState::kPending);
  int client = ConnectClient(socketPath_);
  ASSERT_EQ(binding_.WaitForEither(connectEvent, stopEvent), 0);
  char record[24] = {};
  ASSERT_TRUE(binding_.Write(pipe, record, sizeof(record)));

  std::atomic<bool> flushed{false};
  std::thread flusher([&] {
    EXPECT_TRUE(binding_.Flush(pipe));
    flushed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(flushed.load()) << "flush returned before the client read the reply";
  char got[24];
  ASSERT_EQ(recv(client, got, sizeof(got), MSG_WAITALL), 24);
  flusher.join();
  EXPECT_TRUE(flushed.load());
  binding_.Disconnect(pipe);
  close(client);

  // A client that goes away without reading also ends the flush.
  ASSERT_EQ(binding_.Connect(pipe, connectEvent), ConnectState::kPending);
  client = ConnectClient(socketPath_);
  ASSERT_EQ(binding_.WaitForEither(connectEvent, stopEvent), 0);
  ASSERT_TRUE(binding_.Write(pipe, record, sizeof(record)));
  close(client);
  EXPECT_TRUE(binding_.Flush(pipe));
  // Writing to a client that has gone fails instead of raising SIGPIPE.
  EXPECT_FALSE(binding_.Write(pipe, record, sizeof(record)) &&
               binding_.Write(pipe, record, sizeof(record)));
}

TEST_F(PipeEventsTest, NamedEventIsSetAndResetAcrossProcesses) {
  ASSERT_NE(MakePipe(), nullptr);
  const std::string path = platform::posix::EventFilePath(dir_.Path(), kDoneName);
  auto clientSide = SharedEvent::Create(path, true, false);
  ASSERT_NE(clientSide, nullptr);
  EXPECT_FALSE(clientSide->AlreadyExisted());

  // The service side, in another process, opens it and sets it.
  pid_t child = fork();
  if (child == 0) {
    PosixPipeEvents service(dir_.Path());
    Handle event = service.OpenEvent(kDoneName);
    const bool ok = event != nullptr && service.SetEvent(event);
    service.Close(event);
    _exit(ok ? 0 : 1);
  }
  EXPECT_TRUE(clientSide->Wait(10000));
  EXPECT_EQ(ChildStatus(child), 0);
  EXPECT_TRUE(clientSide->IsSignalled());  // manual reset: stays set

  child = fork();
  if (child == 0) {
    PosixPipeEvents service(dir_.Path());
    Handle event = service.OpenEvent(kDoneName);
    const bool ok = event != nullptr && service.ResetEvent(event);
    service.Close(event);
    _exit(ok ? 0 : 1);
  }
  EXPECT_EQ(ChildStatus(child), 0);
  EXPECT_FALSE(clientSide->IsSignalled());
  EXPECT_FALSE(clientSide->Wait(10));

  // The last handle closed removes the event, as on Windows.
  clientSide.reset();
  EXPECT_EQ(binding_.OpenEvent(kDoneName), nullptr);
}

TEST_F(PipeEventsTest, NamedEventCreatedTwiceIsTheSameEvent) {
  ASSERT_TRUE(platform::posix::EnsureRuntimeDirs(dir_.Path()));
  const std::string path = platform::posix::EventFilePath(dir_.Path(), kDoneName);
  auto first = SharedEvent::Create(path, false, false);
  auto second = SharedEvent::Create(path, true, true);  // exists: settings ignored
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(second->AlreadyExisted());
  EXPECT_FALSE(second->ManualReset());
  EXPECT_FALSE(second->IsSignalled());
  second->Set();
  EXPECT_TRUE(first->Wait(0));
  EXPECT_FALSE(second->IsSignalled());  // auto reset: consumed by the wait
  first.reset();
  Handle opened = Keep(binding_.OpenEvent(kDoneName));
  EXPECT_NE(opened, nullptr);  // still held by `second`
}

TEST_F(PipeEventsTest, NamedEventTruncatedByItsOwnerDoesNotBringTheServiceDown) {
  ASSERT_TRUE(platform::posix::EnsureRuntimeDirs(dir_.Path()));
  const std::string path = platform::posix::EventFilePath(dir_.Path(), kDoneName);
  auto clientSide = SharedEvent::Create(path, true, false);
  ASSERT_NE(clientSide, nullptr);
  Handle opened = Keep(binding_.OpenEvent(kDoneName));
  ASSERT_NE(opened, nullptr);
  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  binding_.SetEvent(opened);  // must return, whatever it answers
  binding_.ResetEvent(opened);
  // A file that is not an event at all is not opened.
  const std::string other = platform::posix::EventFilePath(dir_.Path(), u"Global\\Junk");
  ASSERT_EQ(close(open(other.c_str(), O_CREAT | O_WRONLY, 0666)), 0);
  EXPECT_EQ(binding_.OpenEvent(u"Global\\Junk"), nullptr);
}

}  // namespace
