#pragma once

#include <string>

/// A shared library loaded by name, as the service loads it, closed on destruction.
class SharedLibrary {
 public:
  /// The platform's file name of the hardware access library ("Qvzyl.Dll" / "libqvzyl.so").
  static const char* DefaultName();
  explicit SharedLibrary(const std::string& name);
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  /// Why loading failed, in the platform's words.
  const std::string& error() const { return error_; }
  void* Find(const char* name) const;

 private:
  void* handle_ = nullptr;
  std::string error_;
};
