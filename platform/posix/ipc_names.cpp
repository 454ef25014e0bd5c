#include "platform/posix/ipc_names.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform::posix {
namespace {

bool IsPlainNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

std::string Sanitised(std::u16string_view name, char backslashAs) {
  std::string out;
  for (char16_t c : name) {
    if (c == u'\\') {
      out.push_back(backslashAs);
    } else if (c < 0x80 && IsPlainNameChar(static_cast<char>(c))) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('_');
    }
  }
  // "." and ".." would name directories.
  if (out == "." || out == "..") out.assign(out.size(), '_');
  return out;
}

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool MakeDirectory(const std::string& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) == 0) {
    // The umask may have taken bits away (the sticky bit above all).
    return chmod(path.c_str(), mode) == 0;
  }
  struct stat info {};
  return errno == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string TmpFallbackDir() { return "/tmp/vokzyl-" + std::to_string(geteuid()); }

std::string DefaultRuntimeDir() {
  struct stat info {};
  if (geteuid() == 0 || (stat(kSystemRuntimeDir, &info) == 0 && S_ISDIR(info.st_mode))) {
    return kSystemRuntimeDir;
  }
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg != nullptr && xdg[0] == '/') {
    return std::string(xdg) + "/vokzyl";
  }
  return TmpFallbackDir();
}

std::string PipeSocketName(std::u16string_view pipeName) {
  constexpr std::u16string_view kPrefix = u"\\\\.\\pipe\\";
  if (pipeName.size() <= kPrefix.size() ||
      !EqualsIgnoringAsciiCase(pipeName.substr(0, kPrefix.size()), kPrefix)) {
    return {};
  }
  // A pipe name may itself contain backslashes; they stay within the one file name.
  return Sanitised(pipeName.substr(kPrefix.size()), '_');
}

std::string EventFileName(std::u16string_view eventName) { return Sanitised(eventName, '.'); }

std::string PipeSocketPath(const std::string& runtimeDir, std::u16string_view pipeName) {
  const std::string name = PipeSocketName(pipeName);
  return name.empty() ? std::string() : runtimeDir + "/" + name;
}

bool SocketAddress(const std::string& path, sockaddr_un* address) {
  *address = {};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::string EventsDir(const std::string& runtimeDir) { return runtimeDir + "/" + kEventsSubdir; }

std::string UserEventsDir(const std::string& runtimeDir, uid_t uid) {
  return EventsDir(runtimeDir) + "/" + std::to_string(uid);
}

std::string EventFilePath(const std::string& runtimeDir, std::u16string_view eventName) {
  const std::string name = EventFileName(eventName);
  return name.empty() ? std::string() : UserEventsDir(runtimeDir, geteuid()) + "/" + name;
}

bool EnsureRuntimeDirs(const std::string& runtimeDir) {
  const mode_t mode = runtimeDir == TmpFallbackDir() ? 0700 : 0755;
  if (!MakeDirectory(runtimeDir, mode)) return false;
  // A directory that someone else made where ours belongs is not ours to serve from.
  struct stat info {};
  if (lstat(runtimeDir.c_str(), &info) != 0 || (info.st_uid != 0 && info.st_uid != geteuid())) {
    return false;
  }
  return MakeDirectory(EventsDir(runtimeDir), 0755) && EnsureUserEventsDir(runtimeDir, geteuid());
}

bool EnsureUserEventsDir(const std::string& runtimeDir, uid_t uid) {
  const std::string path = UserEventsDir(runtimeDir, uid);
  struct stat info {};
  auto fit = [&] {
    return S_ISDIR(info.st_mode) && info.st_uid == uid && (info.st_mode & 077) == 0;
  };
  // Asked at every connection, and there almost always already.
  if (lstat(path.c_str(), &info) == 0) return fit();
  if (mkdir(path.c_str(), 0700) == 0) {
    if (geteuid() != uid && chown(path.c_str(), uid, static_cast<gid_t>(-1)) != 0) {
      rmdir(path.c_str());
      return false;
    }
  } else if (errno != EEXIST) {
    return false;
  }
  return lstat(path.c_str(), &info) == 0 && fit();
}

}  // namespace platform::posix
