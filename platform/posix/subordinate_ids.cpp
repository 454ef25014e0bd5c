#include "platform/posix/subordinate_ids.h"

#include <pwd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <string_view>

namespace platform::posix {
namespace {

bool ParseNumber(std::string_view text, unsigned long* value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool UserId(std::string_view user, uid_t* uid) {
  unsigned long number = 0;
  if (ParseNumber(user, &number)) {
    *uid = static_cast<uid_t>(number);
    return true;
  }
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  const std::string name(user);
  if (getpwnam_r(name.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
    return false;
  }
  *uid = found->pw_uid;
  return true;
}

}  // namespace

SubordinateIds::SubordinateIds(std::string path) : path_(std::move(path)) {
  const std::size_t slash = path_.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
  watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  // Editors and shadow's tools replace the file by renaming a new one into place, so the folder
  // is watched rather than the file.
  constexpr uint32_t kChanges =
      IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB;
  if (watch_ >= 0 && inotify_add_watch(watch_, folder.c_str(), kChanges) < 0) {
    close(watch_);
    watch_ = -1;
  }
}

SubordinateIds::~SubordinateIds() {
  if (watch_ >= 0) close(watch_);
}

void SubordinateIds::Refresh() {
  alignas(inotify_event) char events[4096];
  while (watch_ >= 0 && read(watch_, events, sizeof events) > 0) {
  }
  stale_ = true;
}

void SubordinateIds::ReadIfChanged() {
  if (!stale_) return;
  stale_ = watch_ < 0;
  struct stat now {};
  const bool present = stat(path_.c_str(), &now) == 0;
  if (read_ && present == (seen_.st_ino != 0) && now.st_ino == seen_.st_ino &&
      now.st_size == seen_.st_size && now.st_mtim.tv_sec == seen_.st_mtim.tv_sec &&
      now.st_mtim.tv_nsec == seen_.st_mtim.tv_nsec) {
    return;
  }
  read_ = true;
  seen_ = {};
  if (present) seen_ = now;
  ranges_.clear();
  std::ifstream file(path_);
  for (std::string line; std::getline(file, line);) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string_view text(line);
    unsigned long start = 0, count = 0;
    uid_t owner = 0;
    if (!UserId(text.substr(0, first), &owner) ||
        !ParseNumber(text.substr(first + 1, second - first - 1), &start) ||
        !ParseNumber(text.substr(second + 1), &count) || count == 0) {
      continue;
    }
    ranges_.push_back({static_cast<uid_t>(start), static_cast<uid_t>(count), owner});
  }
}

uid_t SubordinateIds::OwnerOf(uid_t uid) {
  ReadIfChanged();
  for (const Range& range : ranges_) {
    if (uid >= range.first && uid - range.first < range.count) return range.owner;
  }
  return uid;
}

}  // namespace platform::posix
