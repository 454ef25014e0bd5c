#pragma once

#include <string>

/// What a client on Linux checks before it trusts the place where it meets the service, and the
/// process it talks to there. Each returns false with a message for the user in `error`.
namespace platform::posix {

/// The runtime directory may be used: it is owned by root or by the caller, and the private
/// fallback in /tmp is the caller's own with mode 0700.
bool CheckRuntimeDir(const std::string& runtimeDir, std::string* error);

/// The caller's own events directory exists and is its own (0700). When it is missing, one
/// empty connection to the service's socket `socketPath` asks the service to make it (it makes
/// one for each user that connects), and the directory is awaited briefly.
bool EnsureOwnEventsDir(const std::string& runtimeDir, const std::string& socketPath,
                        std::string* error);

/// The process serving the connected socket `fd` runs as root or as the owner of the runtime
/// directory (SO_PEERCRED); anyone else may be impersonating the service.
bool CheckServerCredentials(int fd, const std::string& runtimeDir, std::string* error);

/// strerror, but never "Success": a failure that left errno 0 says so.
std::string ErrorText(int error);

}  // namespace platform::posix
