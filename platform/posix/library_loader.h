#pragma once

#include <string>
#include <string_view>

#include "platform/library_loader.h"

namespace platform {

/// The Linux binding of LibraryLoader: dlopen(RTLD_NOW | RTLD_LOCAL) and dlsym.
/// Load maps a Windows library file name to a shared-object name ("Qvzyl.Dll" ->
/// "libqvzyl.so", see `SharedObjectName`). A bare name is looked for in the program's own
/// directory first, as Windows searches it first, and then goes to dlopen as given, through the
/// ordinary search (LD_LIBRARY_PATH, RUNPATH, the loader cache, the system directories); a name
/// with a '/' is opened as given. The program's directory is looked at here rather than left to
/// an $ORIGIN RUNPATH: dlopen applies the RUNPATH of its caller, and an interposed dlopen (the
/// sanitizers have one) is not the program. Modules are never unloaded, so a handle stays valid
/// for the life of the process.
class PosixLibraryLoader final : public LibraryLoader {
 public:
  /// The last path component "Stem.dll" (".dll" in any case) becomes "libstem.so" with the
  /// stem in lower case; a leading directory part is kept; any other name is left as it is.
  static std::string SharedObjectName(std::u16string_view fileName);

  Handle Load(std::u16string_view fileName) override;
  std::string LoadErrorText() override;
  bool OnlyAdministratorsCanChange(std::u16string_view fileName) override;
  void* FindExport(Handle module, const char* name) override;
  std::u16string ProgramFilePath() override;
};

}  // namespace platform
