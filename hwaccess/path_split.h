#pragma once

#include <string>
#include <string_view>

namespace hwaccess {

/// A Windows path split as the C runtime's _splitpath splits it.
struct SplitPath {
  std::string drive;      ///< "C:" when the path starts with a drive letter, else empty
  std::string directory;  ///< up to and including the last '\' or '/', else empty
  std::string name;       ///< the file name without its extension
  std::string extension;  ///< from the last '.' of the file name on, else empty
};

SplitPath SplitWindowsPath(std::string_view path);

/// The folder that holds `path`: everything before its last '\' or '/', without trailing
/// separators ("C:\dir\\file" -> "C:\dir"), and "C:\" for a file in a drive's root. Empty
/// when the path names no folder.
std::string WindowsFolderOf(std::string_view path);

/// Whether a service registration's binary path names the file `path`: compared without regard
/// to case, and with or without the "\??\" prefix that the service manager may record.
bool NamesSameFile(std::string_view registered, std::string_view path);

}  // namespace hwaccess
