#include <dlfcn.h>
#include <unistd.h>

#include <vector>

#include "shared_library.h"

namespace {

/// The directory of this program, with a trailing '/'; empty when unknown.
std::string ProgramDirectory() {
  std::vector<char> buffer(4096);
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return {};
  const std::string path(buffer.data(), static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1);
}

}  // namespace

const char* SharedLibrary::DefaultName() { return "libqvzyl.so"; }

SharedLibrary::SharedLibrary(const std::string& name) {
  // A bare name is looked for beside the program first, as Windows does; then the usual search.
  if (name.find('/') == std::string::npos) {
    const std::string besideProgram = ProgramDirectory() + name;
    if (::access(besideProgram.c_str(), F_OK) == 0) {
      handle_ = ::dlopen(besideProgram.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
  }
  if (handle_ == nullptr) handle_ = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) error_ = ::dlerror();
}

SharedLibrary::~SharedLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

void* SharedLibrary::Find(const char* name) const { return ::dlsym(handle_, name); }
