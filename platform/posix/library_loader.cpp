#include "platform/posix/library_loader.h"

#include <dlfcn.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <vector>

#include "platform/posix/own_program.h"
#include "platform/posix/utf8.h"

namespace platform {

std::string PosixLibraryLoader::SharedObjectName(std::u16string_view fileName) {
  const std::string name = posix::ToUtf8(fileName);
  const std::size_t slash = name.find_last_of('/');
  const std::size_t baseStart = slash == std::string::npos ? 0 : slash + 1;
  std::string base = name.substr(baseStart);
  constexpr std::string_view kDll = ".dll";
  if (base.size() <= kDll.size() ||
      strcasecmp(base.c_str() + base.size() - kDll.size(), kDll.data()) != 0) {
    return name;
  }
  base.resize(base.size() - kDll.size());
  for (char& c : base) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name.substr(0, baseStart) + "lib" + base + ".so";
}

namespace {

// The program's own folder with its closing '/', or empty when it cannot be known.
std::string ProgramFolder() {
  const std::string program = posix::OwnProgramPath();
  const std::size_t slash = program.find_last_of('/');
  return slash == std::string::npos ? std::string() : program.substr(0, slash + 1);
}

// Owned by root or this process's user, and writable by nobody else.
bool OnlyOwnerCanChange(const struct stat& status) {
  const uid_t user = ::geteuid();
  if (status.st_uid != 0 && status.st_uid != user) return false;
  if ((status.st_mode & S_IWOTH) != 0) return false;
  return (status.st_mode & S_IWGRP) == 0 || status.st_gid == 0 ||
         (user != 0 && status.st_gid == ::getegid());
}

}  // namespace

bool PosixLibraryLoader::OnlyAdministratorsCanChange(std::u16string_view fileName) {
  const std::string folder = ProgramFolder();
  if (folder.empty()) return false;
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0 || !OnlyOwnerCanChange(status)) return false;
  const std::string file = folder + SharedObjectName(fileName);
  // Absent here, the library comes from the ordinary search, or nowhere.
  if (::stat(file.c_str(), &status) != 0) return errno == ENOENT;
  return OnlyOwnerCanChange(status);
}

Handle PosixLibraryLoader::Load(std::u16string_view fileName) {
  const std::string name = SharedObjectName(fileName);
  if (name.empty()) return nullptr;
  // dlopen counts references and gives the same handle for a module already loaded, whichever
  // way it was named; nothing here ever calls dlclose.
  if (name.find('/') == std::string::npos) {
    const std::string folder = ProgramFolder();
    const std::string besideProgram = folder + name;
    if (!folder.empty() && ::access(besideProgram.c_str(), F_OK) == 0) {
      return ::dlopen(besideProgram.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
  }
  return ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

std::string PosixLibraryLoader::LoadErrorText() {
  const char* text = ::dlerror();
  return text != nullptr ? text : "";
}

void* PosixLibraryLoader::FindExport(Handle module, const char* name) {
  if (module == nullptr || name == nullptr) return nullptr;
  return dlsym(module, name);
}

std::u16string PosixLibraryLoader::ProgramFilePath() {
  return posix::FromUtf8(posix::OwnProgramPath());
}

// The dynamic loader takes libraries from the program's RUNPATH and the root-owned system
// directories, and the service's unit sets no LD_LIBRARY_PATH: nothing to narrow here.
void RestrictLibrarySearch() {}

LibraryLoader& SystemLibraryLoader() {
  // Never destroyed, like the modules it loads.
  static auto* instance = new PosixLibraryLoader();
  return *instance;
}

}  // namespace platform
