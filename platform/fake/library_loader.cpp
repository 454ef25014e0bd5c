#include "platform/fake/library_loader.h"

namespace platform {

namespace {
std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }
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
  auto found = libraries_.find(std::u16string(fileName));
  return found == libraries_.end() ? nullptr : &found->second;
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
