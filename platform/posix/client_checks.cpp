#include "platform/posix/client_checks.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/error_text.h"
#include "platform/posix/ipc_names.h"

namespace platform::posix {

bool CheckRuntimeDir(const std::string& runtimeDir, std::string* error) {
  struct stat info {};
  if (lstat(runtimeDir.c_str(), &info) != 0) return true;  // absent: "not running" comes later
  std::string why;
  if (CheckRuntimeDirInfo(info, &why)) return true;
  *error =
      runtimeDir + " is not safe to meet the service in: " + why + "; refusing to talk through it";
  return false;
}

bool CheckServerCredentials(int fd, const std::string& runtimeDir, std::string* error) {
  ucred peer{};
  socklen_t size = sizeof(peer);
  struct stat info {};
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    *error = "cannot learn who serves the socket: " + ErrorText(errno);
    return false;
  }
  if (peer.uid == 0 || (lstat(runtimeDir.c_str(), &info) == 0 && info.st_uid == peer.uid)) {
    return true;
  }
  *error = "the socket in " + runtimeDir + " is served by uid " + std::to_string(peer.uid) +
           " (pid " + std::to_string(peer.pid) +
           "), neither root nor the directory's owner: not the service, refusing to send";
  return false;
}

}  // namespace platform::posix
