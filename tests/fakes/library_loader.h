#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/library_loader.h"
#include "tests/fakes/call_log.h"

namespace platform {

/// Libraries that exist only in memory: a file name and a table of exports. Loading the same
/// name again, in any case, gives the same handle, as the real loader does. Calls are logged as
/// "Load <name>", "FindExport <name>" and "OnlyAdministratorsCanChange <name>"; the folder and
/// every library count as administrators' only unless that call is made to fail.
class FakeLibraryLoader : public LibraryLoader {
 public:
  /// Makes a library loadable by `fileName` with these exports (replacing an earlier one of
  /// that exact name).
  void AddLibrary(const std::u16string& fileName, std::map<std::string, void*> exports);
  void SetProgramFilePath(std::u16string path);

  Handle Load(std::u16string_view fileName) override;
  bool OnlyAdministratorsCanChange(std::u16string_view fileName) override;
  void* FindExport(Handle module, const char* name) override;
  std::u16string ProgramFilePath() override;

  CallLog& Log() { return log_; }

 private:
  struct Library {
    std::map<std::string, void*> exports;
  };
  mutable std::mutex mutex_;
  CallLog log_;
  std::map<std::u16string, Library> libraries_;
  std::u16string programPath_ = u"C:\\Program Files\\Zyl\\VokZylControl.exe";
};

}  // namespace platform
