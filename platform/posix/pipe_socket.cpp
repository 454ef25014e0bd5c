#include "platform/posix/pipe_socket.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/ipc_names.h"

namespace platform::posix {
namespace {

// True when a server accepts connections at `address` right now.
bool SomeoneListens(const sockaddr_un& address) {
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool listening =
      connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  close(probe);
  return listening;
}

bool RemoveIfThere(const std::string& path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

}  // namespace

PipeSocket::~PipeSocket() {
  if (listener_ >= 0) close(listener_);
  if (!path_.empty()) unlink(path_.c_str());
  if (lockFd_ >= 0) close(lockFd_);
}

bool PipeSocket::Open(const std::string& path, const SocketFileAccess& access, int backlog) {
  sockaddr_un address{}, newAddress{};
  const std::string newPath = path + ".new";
  if (!SocketAddress(path, &address) || !SocketAddress(newPath, &newAddress)) return false;
  const std::string lockPath = path + ".lock";
  lockFd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lockFd_ < 0 || flock(lockFd_, LOCK_EX | LOCK_NB) != 0) return false;

  // We own the name now. A socket file still there was left by a server that died, unless
  // something that does not take the lock is listening on it.
  if (SomeoneListens(address) || !RemoveIfThere(path) || !RemoveIfThere(newPath)) return false;
  path_ = newPath;
  listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener_ < 0 ||
      bind(listener_, reinterpret_cast<const sockaddr*>(&newAddress), sizeof(newAddress)) != 0) {
    return false;
  }
  // Owner and mode before listen(), so no client can connect under looser rules.
  if (geteuid() == 0 && chown(newPath.c_str(), access.owner, access.group) != 0) return false;
  if (chmod(newPath.c_str(), access.mode) != 0) return false;
  if (listen(listener_, backlog) != 0) return false;
  if (rename(newPath.c_str(), path.c_str()) != 0) return false;
  path_ = path;
  return true;
}

int ConnectionCapacity(int most) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::min(256, most);
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<int>(std::min<rlim_t>(limit.rlim_cur / 2, static_cast<rlim_t>(most)));
}

}  // namespace platform::posix
