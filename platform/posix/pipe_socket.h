#pragma once

#include <sys/types.h>

#include <string>

namespace platform::posix {

/// Owner, group and mode for a pipe's socket file (see pipe_security.h for how an access list
/// becomes one).
struct SocketFileAccess {
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;
};

/// The listening Unix socket that stands for one named pipe, from the moment it is at its
/// name until it is closed.
///
/// Open holds an flock on "<path>.lock" for the socket's life, so a second server of the same
/// name, in this or another process, is refused. A socket file left at the name by a server
/// that died is replaced, but not one that something else is listening on. The socket is made
/// under "<path>.new", gets its owner and mode before it listens, and is renamed into place
/// once it does: a socket file at the name always has a listener behind it, with the rules it
/// will keep. The listener is non-blocking.
class PipeSocket {
 public:
  PipeSocket() = default;
  PipeSocket(const PipeSocket&) = delete;
  PipeSocket& operator=(const PipeSocket&) = delete;
  ~PipeSocket();

  /// False when the name is taken, too long, or a step fails; nothing stays behind then.
  bool Open(const std::string& path, const SocketFileAccess& access, int backlog);
  int Listener() const { return listener_; }

 private:
  std::string path_;  // what to remove at the end; only the holder of the lock may
  int lockFd_ = -1;
  int listener_ = -1;
};

/// How many connections the service may hold open at once: half the descriptors the process
/// can have, at most `most`. The soft descriptor limit is first raised to the hard one, which
/// is the process's to take: the usual 1024 would let a few users use them all up.
int ConnectionCapacity(int most);

}  // namespace platform::posix
