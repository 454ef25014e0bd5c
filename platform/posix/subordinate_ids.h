#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace platform::posix {

/// Who owns a uid for the service's limits and fairness: the user that /etc/subuid grants it to
/// (each line "user:first:count", the user by name or number), or the uid itself. Inside
/// `unshare --user --map-auto` one person has tens of thousands of distinct uids; they all
/// count as that person. The file is read at the first question and again after it has
/// changed (inode, size or modification time). Its folder is watched with inotify, so that a
/// question costs no system call: the owner polls ChangeDescriptor and calls Refresh when it is
/// readable. Without a watch (inotify refused), every question looks at the file. While it
/// cannot be read, every uid is its own. Not thread-safe: the service's waiting thread alone
/// asks.
class SubordinateIds {
 public:
  explicit SubordinateIds(std::string path);
  ~SubordinateIds();
  SubordinateIds(const SubordinateIds&) = delete;
  SubordinateIds& operator=(const SubordinateIds&) = delete;

  uid_t OwnerOf(uid_t uid);
  /// Readable when the file may have changed; -1 when nothing is watched.
  int ChangeDescriptor() const { return watch_; }
  /// Takes note of what ChangeDescriptor reported: the next question looks at the file.
  void Refresh();

 private:
  struct Range {
    uid_t first;
    uid_t count;
    uid_t owner;
  };
  void ReadIfChanged();

  const std::string path_;
  int watch_ = -1;
  bool stale_ = true;
  bool read_ = false;
  struct stat seen_ {};
  std::vector<Range> ranges_;
};

}  // namespace platform::posix
