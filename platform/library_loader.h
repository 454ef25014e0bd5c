#pragma once

#include <string>
#include <string_view>

#include "platform/handle.h"

namespace platform {

/// Loading a shared library by file name and looking its exports up by name.
class LibraryLoader {
 public:
  virtual ~LibraryLoader() = default;

  /// LoadLibraryW with a bare file name, so the platform's ordinary search applies. Loading a
  /// library that is already loaded gives the same handle. Null on failure.
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

}  // namespace platform
