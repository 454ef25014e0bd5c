#include "tests/fakes/library_loader.h"

#include <algorithm>

namespace platform {

namespace {
std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }

// File names are compared as the Windows loader compares them: without regard to case.
bool SameFileName(std::u16string_view a, std::u16string_view b) {
  const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](auto x, auto y) { return lower(x) == lower(y); });
}
}  // namespace

void FakeLibraryLoader::AddLibrary(const std::u16string& fileName,
                                   std::map<std::string, void*> exports) {
  std::lock_guard lock(mutex_);
  libraries_[fileName].exports = std::move(exports);
}

void FakeLibraryLoader::SetProgramFilePath(std::u16string path) {
  std::lock_guard lock(mutex_);
  programPath_ = std::move(path);
}

Handle FakeLibraryLoader::Load(std::u16string_view fileName) {
  if (log_.Record("Load " + Narrow(fileName))) return nullptr;
  std::lock_guard lock(mutex_);
  for (auto& [name, library] : libraries_) {
    if (SameFileName(name, fileName)) return &library;
  }
  return nullptr;
}

bool FakeLibraryLoader::OnlyAdministratorsCanChange(std::u16string_view fileName) {
  return !log_.Record("OnlyAdministratorsCanChange " + Narrow(fileName));
}

void* FakeLibraryLoader::FindExport(Handle module, const char* name) {
  log_.Record(std::string("FindExport ") + name);
  std::lock_guard lock(mutex_);
  for (auto& [fileName, library] : libraries_) {
    if (&library != module) continue;
    auto found = library.exports.find(name);
    return found == library.exports.end() ? nullptr : found->second;
  }
  return nullptr;
}

std::u16string FakeLibraryLoader::ProgramFilePath() {
  std::lock_guard lock(mutex_);
  return programPath_;
}

}  // namespace platform
