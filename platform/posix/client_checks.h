#pragma once

#include <string>

/// What a client on Linux checks before it trusts the place where it meets the service, and the
/// process it talks to there. Each returns false with a message for the user in `error`.
namespace platform::posix {

/// The runtime directory may be used: it is absent (the service is not running; said later),
/// or, looked at without following a link, a directory of root's or the caller's that nobody
/// else can write (CheckRuntimeDirInfo in ipc_names.h).
bool CheckRuntimeDir(const std::string& runtimeDir, std::string* error);

/// The process serving the connected socket `fd` runs as root or as the owner of the runtime
/// directory (SO_PEERCRED); anyone else may be impersonating the service.
bool CheckServerCredentials(int fd, const std::string& runtimeDir, std::string* error);

}  // namespace platform::posix
