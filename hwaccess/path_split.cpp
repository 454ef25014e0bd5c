#include "hwaccess/path_split.h"

#include <algorithm>
#include <cctype>

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

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

}  // namespace

std::string WindowsFolderOf(std::string_view path) {
  const size_t lastSeparator = path.find_last_of("\\/");
  if (lastSeparator == std::string_view::npos) return {};
  std::string folder(path.substr(0, lastSeparator));
  while (!folder.empty() && IsSeparator(folder.back())) folder.pop_back();
  if (folder.size() == 2 && folder[1] == ':') folder += '\\';
  return folder;
}

bool NamesSameFile(std::string_view registered, std::string_view path) {
  constexpr std::string_view kObjectManagerPrefix = "\\??\\";
  if (registered.substr(0, kObjectManagerPrefix.size()) == kObjectManagerPrefix) {
    registered.remove_prefix(kObjectManagerPrefix.size());
  }
  return std::equal(registered.begin(), registered.end(), path.begin(), path.end(),
                    [](char a, char b) { return Lower(a) == Lower(b); });
}

}  // namespace hwaccess
