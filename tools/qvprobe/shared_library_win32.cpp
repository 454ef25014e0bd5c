#include <windows.h>

#include "shared_library.h"

const char* SharedLibrary::DefaultName() { return "Qvzyl.Dll"; }

SharedLibrary::SharedLibrary(const std::string& name) {
  handle_ = ::LoadLibraryA(name.c_str());
  if (handle_ == nullptr) error_ = "LoadLibraryA failed, error " + std::to_string(::GetLastError());
}

SharedLibrary::~SharedLibrary() {
  if (handle_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(handle_));
}

void* SharedLibrary::Find(const char* name) const {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}
