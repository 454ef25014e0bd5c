#include "platform/posix/ipc_names.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/error_text.h"

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

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
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

bool CheckRuntimeDirInfo(const struct stat& info, std::string* why) {
  if (!S_ISDIR(info.st_mode)) {
    *why = "not a directory";
    return false;
  }
  if (info.st_uid != 0 && info.st_uid != geteuid()) {
    *why = "owned by uid " + std::to_string(info.st_uid) + ", neither root nor uid " +
           std::to_string(geteuid());
    return false;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *why = "writable by others (mode " + ModeText(info.st_mode) + ")";
    return false;
  }
  return true;
}

bool EnsureRuntimeDir(const std::string& runtimeDir, std::string* why) {
  const mode_t mode = runtimeDir == TmpFallbackDir() ? 0700 : 0755;
  const bool made = mkdir(runtimeDir.c_str(), mode) == 0;
  if (!made && errno != EEXIST) {
    *why = std::string("cannot be made: ") + ErrorText(errno);
    return false;
  }
  // Checked on the directory itself: a link at the name is refused, not followed.
  const int dir = open(runtimeDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) {
    *why = errno == ELOOP || errno == ENOTDIR
               ? "not a directory (a link is not followed)"
               : std::string("cannot be opened: ") + ErrorText(errno);
    return false;
  }
  struct stat info {};
  // The umask may have taken bits away from a directory made just now.
  bool fit = (!made || fchmod(dir, mode) == 0) && fstat(dir, &info) == 0;
  if (!fit) *why = std::string("cannot be examined: ") + ErrorText(errno);
  fit = fit && CheckRuntimeDirInfo(info, why);
  close(dir);
  return fit;
}

}  // namespace platform::posix
