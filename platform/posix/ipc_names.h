#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>

#include <string>
#include <string_view>

/// Where the Windows name of the command pipe lives on Linux. The service binding and the
/// client both use these rules, so they meet without configuration.
///
/// Runtime directory (`DefaultRuntimeDir`): "/run/vokzyl" when running as root or when that
/// directory exists (the systemd unit creates it), otherwise "$XDG_RUNTIME_DIR/vokzyl", or
/// "/tmp/vokzyl-<uid>" without XDG_RUNTIME_DIR, so that a service and a client started by hand
/// by the same user also meet. Test hosts pass a private directory instead.
///
///   <runtime dir>/                    0755 (0700 in /tmp), owned by root or the service's user,
///                                     writable by nobody else (see CheckRuntimeDir)
///     TAVIK_Zyl_Control_Service       the pipe: a Unix stream socket, mode from the access list
///     TAVIK_Zyl_Control_Service.lock  held (flock) by the one process serving that name
///
/// Nothing else lives there: the client's two events of the Windows protocol need no file on
/// Linux (the socket tells all they would), so no user ever has anything made for them.
namespace platform::posix {

inline constexpr char kSystemRuntimeDir[] = "/run/vokzyl";

/// The runtime directory by the rule above.
std::string DefaultRuntimeDir();
/// "/tmp/vokzyl-<uid>", the last choice of that rule, for the calling user (effective uid).
std::string TmpFallbackDir();

/// "\\.\pipe\NAME" -> "NAME" (the prefix is matched without regard to case). Characters other
/// than letters, digits, '.', '-' and '_' become '_'. Empty when `pipeName` is not a local
/// pipe name or names nothing.
std::string PipeSocketName(std::u16string_view pipeName);

/// Full paths by the layout above.
std::string PipeSocketPath(const std::string& runtimeDir, std::u16string_view pipeName);
/// A Unix socket address for `path`; false when the path is too long for one.
bool SocketAddress(const std::string& path, sockaddr_un* address);

/// Whether `info` (of the runtime directory, as opened without following a link) may be used:
/// a directory owned by root or by the caller (effective uid), with neither group nor other
/// write permission. False with the reason in `why`. A directory others can write would let
/// them put their own socket in the service's place or swap a name for a link.
bool CheckRuntimeDirInfo(const struct stat& info, std::string* why);

/// Creates the runtime directory when missing (0755, or 0700 for the /tmp fallback) and checks
/// it by CheckRuntimeDirInfo, on the directory itself, never through a link. False with the
/// reason in `why`.
bool EnsureRuntimeDir(const std::string& runtimeDir, std::string* why);

}  // namespace platform::posix
