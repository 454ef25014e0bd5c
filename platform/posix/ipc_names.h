#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <string>
#include <string_view>

/// Where the Windows names of the command pipe and the client's global events live on Linux.
/// The service binding and the client both use these rules, so they meet without configuration.
///
/// Runtime directory (`DefaultRuntimeDir`): "/run/vokzyl" when running as root or when that
/// directory exists (the systemd unit creates it), otherwise "$XDG_RUNTIME_DIR/vokzyl", or
/// "/tmp/vokzyl-<uid>" without XDG_RUNTIME_DIR, so that a service and a client started by hand
/// by the same user also meet. The last one is private (0700): in a directory anyone may write,
/// only a directory of one's own can be trusted. Test hosts pass a private directory instead.
///
///   <runtime dir>/                  0755 (0700 in /tmp), owned by the service
///     TAVIK_Zyl_Control_Service     the pipe: a Unix stream socket, mode from the access list
///     TAVIK_Zyl_Control_Service.lock  held (flock) by the one process serving that name
///     events/                       0755, owned by the service
///       <uid>/                      0700, owned by that user, made by the service when the
///                                   user first connects: each user's events are the user's own
///         Global.VokZylRemoveService  one file per named event (see shared_event.h)
namespace platform::posix {

inline constexpr char kSystemRuntimeDir[] = "/run/vokzyl";
inline constexpr char kEventsSubdir[] = "events";

/// The runtime directory by the rule above.
std::string DefaultRuntimeDir();
/// "/tmp/vokzyl-<uid>", the last choice of that rule, for the calling user (effective uid).
std::string TmpFallbackDir();

/// "\\.\pipe\NAME" -> "NAME" (the prefix is matched without regard to case). Characters other
/// than letters, digits, '.', '-' and '_' become '_'. Empty when `pipeName` is not a local
/// pipe name or names nothing.
std::string PipeSocketName(std::u16string_view pipeName);

/// "Global\Name" -> "Global.Name": each backslash becomes '.', characters other than letters,
/// digits, '.', '-' and '_' become '_'. Case is kept (event names are case-sensitive). Empty for
/// an empty name.
std::string EventFileName(std::u16string_view eventName);

/// Full paths by the layout above.
std::string PipeSocketPath(const std::string& runtimeDir, std::u16string_view pipeName);
/// A Unix socket address for `path`; false when the path is too long for one.
bool SocketAddress(const std::string& path, sockaddr_un* address);
std::string EventsDir(const std::string& runtimeDir);
std::string UserEventsDir(const std::string& runtimeDir, uid_t uid);
/// The event's file in the calling user's (effective uid's) events directory.
std::string EventFilePath(const std::string& runtimeDir, std::u16string_view eventName);

/// Creates the runtime directory (0755, or 0700 for the /tmp fallback), its events directory
/// (0755) and the calling user's own events directory when missing. False when one cannot be
/// made or is not a directory.
bool EnsureRuntimeDirs(const std::string& runtimeDir);

/// Makes <events>/<uid> (0700, owned by `uid`) when missing and checks it without following
/// links: a directory, owned by `uid`, closed to everyone else. Only root can make one for
/// another user.
bool EnsureUserEventsDir(const std::string& runtimeDir, uid_t uid);

}  // namespace platform::posix
