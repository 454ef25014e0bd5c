#include "platform/posix/client_checks.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/posix/ipc_names.h"

namespace platform::posix {
namespace {

constexpr auto kEventsDirWait = std::chrono::milliseconds(1000);

bool IsOwnPrivateDir(const struct stat& info) {
  return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

void PokeService(const std::string& socketPath) {
  sockaddr_un address{};
  if (!SocketAddress(socketPath, &address)) return;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return;
  connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  close(fd);
}

}  // namespace

std::string ErrorText(int error) {
  return error == 0 ? std::string("failed without a reason from the system") : std::strerror(error);
}

bool CheckRuntimeDir(const std::string& runtimeDir, std::string* error) {
  struct stat info {};
  if (lstat(runtimeDir.c_str(), &info) != 0) return true;  // absent: "not running" comes later
  const bool fallback = runtimeDir == TmpFallbackDir();
  if (fallback ? !IsOwnPrivateDir(info)
               : !S_ISDIR(info.st_mode) || (info.st_uid != 0 && info.st_uid != geteuid())) {
    *error = runtimeDir + " is not a directory of root's or yours" +
             (fallback ? " with mode 0700" : "") + " (owner uid " + std::to_string(info.st_uid) +
             "): refusing to look for the service there";
    return false;
  }
  return true;
}

bool EnsureOwnEventsDir(const std::string& runtimeDir, const std::string& socketPath,
                        std::string* error) {
  const std::string dir = UserEventsDir(runtimeDir, geteuid());
  const auto deadline = std::chrono::steady_clock::now() + kEventsDirWait;
  struct stat info {};
  bool asked = false;
  while (lstat(dir.c_str(), &info) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      *error = dir + " was not made by the service";
      return false;
    }
    if (!asked) PokeService(socketPath);
    asked = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (!IsOwnPrivateDir(info)) {
    *error =
        dir + " is not your own private directory (owner uid " + std::to_string(info.st_uid) + ")";
    return false;
  }
  return true;
}

bool CheckServerCredentials(int fd, const std::string& runtimeDir, std::string* error) {
  ucred peer{};
  socklen_t size = sizeof(peer);
  struct stat info {};
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    *error = "cannot learn who serves the socket: " + ErrorText(errno);
    return false;
  }
  if (peer.uid == 0 || (stat(runtimeDir.c_str(), &info) == 0 && info.st_uid == peer.uid)) {
    return true;
  }
  *error = "the socket in " + runtimeDir + " is served by uid " + std::to_string(peer.uid) +
           " (pid " + std::to_string(peer.pid) +
           "), neither root nor the directory's owner: not the service, refusing to send";
  return false;
}

}  // namespace platform::posix
