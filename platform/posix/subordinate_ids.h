#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace platform::posix {

/// Who owns a uid for the service's limits and fairness: the user that /etc/subuid grants it to
/// (each line "user:first:count", the user by name or number), or the uid itself. Inside
/// `unshare --user --map-auto` one person has tens of thousands of distinct uids; they all
/// count as that person. The file is read at the first question and again whenever it has
/// changed (inode, size or modification time); while it cannot be read, every uid is its own.
/// Not thread-safe: the service's waiting thread alone asks.
class SubordinateIds {
 public:
  explicit SubordinateIds(std::string path) : path_(std::move(path)) {}

  uid_t OwnerOf(uid_t uid);

 private:
  struct Range {
    uid_t first;
    uid_t count;
    uid_t owner;
  };
  void ReadIfChanged();

  const std::string path_;
  bool read_ = false;
  struct stat seen_ {};
  std::vector<Range> ranges_;
};

}  // namespace platform::posix
