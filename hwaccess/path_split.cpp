#include "hwaccess/path_split.h"

namespace hwaccess {

SplitPath SplitWindowsPath(std::string_view path) {
  SplitPath parts;
  if (path.size() >= 2 && path[1] == ':') {
    parts.drive = path.substr(0, 2);
    path.remove_prefix(2);
  }
  const size_t lastSeparator = path.find_last_of("\\/");
  if (lastSeparator != std::string_view::npos) {
    parts.directory = path.substr(0, lastSeparator + 1);
    path.remove_prefix(lastSeparator + 1);
  }
  const size_t lastDot = path.rfind('.');
  if (lastDot != std::string_view::npos) {
    parts.extension = path.substr(lastDot);
    path = path.substr(0, lastDot);
  }
  parts.name = path;
  return parts;
}

}  // namespace hwaccess
