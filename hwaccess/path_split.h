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

}  // namespace hwaccess
