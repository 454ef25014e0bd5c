// The Linux pipe and event binding held to the PipeEvents contract, against real sockets in a
// private runtime directory per test.
#include "contract/pipe_events_contract.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/posix/ipc_names.h"
#include "platform/posix/pipe_events.h"
#include "posix/support/scratch_dir.h"
#include "protocol/names.h"
#include "service/pipe_server.h"

namespace {

using platform::kFileAllAccess;
using zylprotocol::kPipeName;

// Connects at once (a busy pipe keeps it in the listen backlog), writes, then reads on a
// thread of its own until the service lets it go.
class SocketClient : public zyltest::PipeClient {
 public:
  SocketClient(const std::string& socketPath, const std::vector<uint8_t>& request) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    if (!request.empty()) {
      EXPECT_EQ(send(fd_, request.data(), request.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(request.size()));
    }
    reader_ = std::thread([this] {
      uint8_t buffer[256];
      for (ssize_t got; (got = recv(fd_, buffer, sizeof buffer, 0)) > 0;) {
        reply_.insert(reply_.end(), buffer, buffer + got);
      }
    });
  }
  ~SocketClient() override {
    shutdown(fd_, SHUT_RDWR);  // ends the reader's recv
    if (reader_.joinable()) reader_.join();
    close(fd_);
  }
  std::vector<uint8_t> Reply() override {
    reader_.join();
    return reply_;
  }

 private:
  int fd_ = -1;
  std::thread reader_;
  std::vector<uint8_t> reply_;
};

class PosixPipeEventsBinding {
 public:
  static constexpr bool kRealTime = true;

  ~PosixPipeEventsBinding() {
    if (security_ != nullptr) binding_.Close(security_);
  }
  platform::PipeEvents& Events() { return binding_; }
  std::u16string_view PipeName() { return kPipeName; }
  platform::Handle Security() {
    if (security_ == nullptr) {
      const platform::PipeAccessEntry entry{u"Users", kFileAllAccess};
      security_ = binding_.BuildSecurity({&entry, 1});
    }
    return security_;
  }
  std::unique_ptr<zyltest::PipeClient> StartClient(std::vector<uint8_t> request) {
    return std::make_unique<SocketClient>(platform::posix::PipeSocketPath(dir_.Path(), kPipeName),
                                          request);
  }
  // A client's events need no file on Linux: every name opens one that nothing observes.
  static constexpr bool kEventsNeedNoFile = true;
  std::unique_ptr<zyltest::NamedEvent> MakeNamedEvent(const std::u16string&) { return nullptr; }
  std::u16string EventName() { return u"Global\\ZylContractEvent"; }

 private:
  zyltest::ScratchDir dir_;
  platform::PosixPipeEvents binding_{dir_.Path()};
  platform::Handle security_ = nullptr;
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Posix, PipeEventsContract, PosixPipeEventsBinding);
}  // namespace zyltest
