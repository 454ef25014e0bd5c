#pragma once

#include <string>
#include <string_view>

#include "platform/library_loader.h"

namespace platform {

/// The Linux binding of LibraryLoader: dlopen and dlsym.
/// Load maps a Windows library file name to a shared-object name ("Qvzyl.Dll" ->
/// "libqvzyl.so", see `SharedObjectName`) and hands it to dlopen as given, so a bare name goes
/// through the ordinary search: the program's RUNPATH ($ORIGIN, its own directory),
/// LD_LIBRARY_PATH, the loader cache and the system directories. Modules are never unloaded,
/// so a handle stays valid for the life of the process.
class PosixLibraryLoader final : public LibraryLoader {
 public:
  /// The last path component "Stem.dll" (".dll" in any case) becomes "libstem.so" with the
  /// stem in lower case; a leading directory part is kept; any other name is left as it is.
  static std::string SharedObjectName(std::u16string_view fileName);

  Handle Load(std::u16string_view fileName) override;
  void* FindExport(Handle module, const char* name) override;
  std::u16string ProgramFilePath() override;
};

}  // namespace platform
