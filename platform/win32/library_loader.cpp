#include "platform/library_loader.h"

#include <vector>

#include "platform/win32/admin_only.h"
#include "platform/win32/error_text.h"
#include "platform/win32/wide_text.h"

namespace platform {

namespace {

class Win32LibraryLoader : public LibraryLoader {
 public:
  Handle Load(std::u16string_view fileName) override {
    // Beside the program or in System32 only: the ordinary search would go on through the
    // Windows folder and every folder on PATH.
    return LoadLibraryExW(win32::Wide(fileName).c_str(), nullptr,
                          LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  }

  std::string LoadErrorText() override { return win32::ErrorDescription(::GetLastError()); }

  bool OnlyAdministratorsCanChange(std::u16string_view fileName) override {
    const std::wstring program = win32::Wide(ProgramFilePath());
    const std::size_t separator = program.find_last_of(L"\\/");
    if (separator == std::wstring::npos) return false;
    const std::wstring folder = program.substr(0, separator);
    if (!win32::OnlyAdministratorsCanChange(folder)) return false;
    const std::wstring file = folder + L"\\" + win32::Wide(fileName);
    // Absent here, the library comes from System32, or nowhere.
    return GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES ||
           win32::OnlyAdministratorsCanChange(file);
  }

  void* FindExport(Handle module, const char* name) override {
    if (module == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
  }

  std::u16string ProgramFilePath() override {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
      const DWORD length = GetModuleFileNameW(nullptr, path.data(), path.size());
      if (length == 0) return {};
      if (length < path.size()) return win32::FromWide({path.data(), length});
      path.resize(path.size() * 2);  // truncated: a long path
    }
  }
};

}  // namespace

void RestrictLibrarySearch() { SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); }

LibraryLoader& SystemLibraryLoader() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new Win32LibraryLoader();
  return *instance;
}

}  // namespace platform
