#pragma once

#include <string>
#include <string_view>

#include "platform/handle.h"

namespace platform {

/// Loading a shared library by file name and looking its exports up by name.
class LibraryLoader {
 public:
  virtual ~LibraryLoader() = default;

  /// Loads a library by bare file name from the program's own directory or the system
  /// directory, never from the current directory or a folder on PATH (on Windows
  /// LoadLibraryExW with LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32).
  /// Loading a library that is already loaded gives the same handle. Null on failure.
  /// The Linux binding maps "Name.Dll" to "libname.so" and searches the program's directory
  /// first.
  virtual Handle Load(std::u16string_view fileName) = 0;

  /// GetProcAddress: null when there is no such export, also for a null module.
  virtual void* FindExport(Handle module, const char* name) = 0;

  /// GetModuleFileNameW(NULL): the full path of this program's file.
  virtual std::u16string ProgramFilePath() = 0;
};

/// The real library loader of this platform.
LibraryLoader& SystemLibraryLoader();

/// The first thing the program does: every library the process loads afterwards, by anyone,
/// comes from the system directory unless its caller names another place (on Windows
/// SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)). A folder on PATH that users can
/// write must never give code to a service that runs as LocalSystem.
void RestrictLibrarySearch();

}  // namespace platform
