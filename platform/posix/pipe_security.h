#pragma once

#include <span>

#include "platform/pipe_events.h"
#include "platform/posix/pipe_socket.h"

namespace platform::posix {

/// The socket file's owner, group and mode for a pipe's access list:
///   "SYSTEM"         -> owner root             (uid 0)
///   "Administrators" -> group: the first of "sudo", "wheel", "admin" that exists, else root
///   "Users", "Everyone", "Authenticated Users" -> all other local users
/// Each class gets read permission for FILE_READ_DATA or GENERIC_READ/ALL and write permission
/// (which is what connecting to a socket needs) for FILE_WRITE_DATA or GENERIC_WRITE/ALL;
/// FILE_ALL_ACCESS for SYSTEM and Administrators and FILE_GENERIC_READ | FILE_GENERIC_WRITE for
/// Users, as the service asks, give mode 0666. Names are matched without regard to case; any
/// other name fails, as an unknown account fails on Windows.
bool SocketAccessFor(std::span<const PipeAccessEntry> entries, SocketFileAccess* access);

}  // namespace platform::posix
