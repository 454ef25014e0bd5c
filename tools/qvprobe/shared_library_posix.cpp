#include <dlfcn.h>

#include "platform/posix/own_program.h"
#include "shared_library.h"

const char* SharedLibrary::DefaultName() { return "libqvzyl.so"; }

SharedLibrary::SharedLibrary(const std::string& name) {
  // A bare name is looked for beside the program first, as Windows does; then the usual search.
  handle_ = platform::posix::LoadBesideProgram(name);
  if (handle_ == nullptr) error_ = ::dlerror();
}

SharedLibrary::~SharedLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

void* SharedLibrary::Find(const char* name) const { return ::dlsym(handle_, name); }
