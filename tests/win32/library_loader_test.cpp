// Where the Windows loader binding takes a library from: a "Qvzyl.Dll" that sits only in a
// folder on PATH (one that users might write) is not loaded, though the ordinary search finds it.
#include "platform/library_loader.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring Environment(const wchar_t* name) {
  std::vector<wchar_t> value(32768);
  const DWORD length = GetEnvironmentVariableW(name, value.data(), value.size());
  return std::wstring(value.data(), length < value.size() ? length : 0);
}

TEST(Win32LibraryLoader, LibraryOnlyInAFolderOnPathIsNotLoaded) {
  wchar_t temp[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring folder = temp + (L"zyl_path_" + std::to_wstring(GetCurrentProcessId()));
  const std::wstring planted = folder + L"\\Qvzyl.Dll";
  wchar_t system[MAX_PATH];
  ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  // Any library will do: its name is what the search looks for.
  ASSERT_TRUE(CopyFileW((std::wstring(system) + L"\\version.dll").c_str(), planted.c_str(), FALSE));
  const std::wstring path = Environment(L"PATH");
  SetEnvironmentVariableW(L"PATH", (folder + L";" + path).c_str());

  EXPECT_EQ(platform::SystemLibraryLoader().Load(u"Qvzyl.Dll"), nullptr);
  HMODULE ordinary = LoadLibraryW(L"Qvzyl.Dll");
  EXPECT_NE(ordinary, nullptr) << "the ordinary search does go through PATH";
  if (ordinary != nullptr) FreeLibrary(ordinary);

  SetEnvironmentVariableW(L"PATH", path.c_str());
  DeleteFileW(planted.c_str());
  RemoveDirectoryW(folder.c_str());
}

// The reason comes as "error N (the system's text)", the text's line break left out.
TEST(Win32LibraryLoader, SaysWhyALoadFailed) {
  platform::LibraryLoader& loader = platform::SystemLibraryLoader();
  ASSERT_EQ(loader.Load(u"ZylNoSuchLibrary.Dll"), nullptr);
  const std::string reason = loader.LoadErrorText();
  EXPECT_EQ(reason.rfind("error 126 (", 0), 0u) << reason;
  EXPECT_EQ(reason.back(), ')') << reason;
  EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos) << reason;
}

}  // namespace
