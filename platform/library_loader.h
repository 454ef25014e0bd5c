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

  /// Why the Load just made on this thread answered null, in the system's words (Windows:
  /// "error N (text)"; Linux: dlerror()). Asked right after the failure, before any other call
  /// of the system's; empty where a binding has nothing to say.
  virtual std::string LoadErrorText() { return {}; }

  /// Whether only administrators can change what Load(fileName) would take from the program's
  /// own folder: the folder, and the file in it when it is there. A service that runs as
  /// LocalSystem must not run code that an ordinary user could have put there.
  /// Windows: no entry of their access lists that applies to them grants Everyone,
  /// Authenticated Users, Users, INTERACTIVE or CREATOR OWNER the right to write, append,
  /// delete a child, or change the access list or owner; false when a security descriptor
  /// cannot be read. Linux: each is owned by root or by this process's user and writable by
  /// nobody else (no write bit for others, nor for a group but root's or this process's).
  virtual bool OnlyAdministratorsCanChange(std::u16string_view fileName) = 0;

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
