#pragma once

// Owning Windows handles inside the bindings: each kind of handle with the call that releases
// it, so that every early return releases what was acquired. What crosses the interfaces stays
// a plain platform::Handle: a binding hands ownership over with Release().

#include <windows.h>

namespace platform::win32 {

/// Owns one handle of the kind `Traits` describes: Traits::Value, Traits::Invalid(),
/// Traits::IsValid(value), Traits::Close(value). Move-only; no implicit conversions.
template <typename Traits>
class ScopedHandle {
 public:
  using Value = typename Traits::Value;

  ScopedHandle() = default;
  explicit ScopedHandle(Value value) : value_(value) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(ScopedHandle&& other) noexcept : value_(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  bool Valid() const { return Traits::IsValid(value_); }
  Value Get() const { return value_; }
  /// Gives the handle up without closing it.
  Value Release() {
    const Value value = value_;
    value_ = Traits::Invalid();
    return value;
  }
  /// Closes the handle held (if any) and holds `value` instead.
  void Reset(Value value = Traits::Invalid()) {
    if (Traits::IsValid(value_)) Traits::Close(value_);
    value_ = value;
  }

 private:
  Value value_ = Traits::Invalid();
};

/// Events, threads, pipes, files: CloseHandle. Functions answer null or INVALID_HANDLE_VALUE
/// on failure, depending on the function; neither is closed.
struct KernelHandleTraits {
  using Value = HANDLE;
  static Value Invalid() { return nullptr; }
  static bool IsValid(Value value) { return value != nullptr && value != INVALID_HANDLE_VALUE; }
  static void Close(Value value) { ::CloseHandle(value); }
};

/// Service manager and service handles: CloseServiceHandle.
struct ServiceHandleTraits {
  using Value = SC_HANDLE;
  static Value Invalid() { return nullptr; }
  static bool IsValid(Value value) { return value != nullptr; }
  static void Close(Value value) { ::CloseServiceHandle(value); }
};

/// Memory the system allocated for the caller (ACLs, message texts): LocalFree.
struct LocalMemoryTraits {
  using Value = HLOCAL;
  static Value Invalid() { return nullptr; }
  static bool IsValid(Value value) { return value != nullptr; }
  static void Close(Value value) { ::LocalFree(value); }
};

using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
using ScopedServiceHandle = ScopedHandle<ServiceHandleTraits>;
using ScopedLocalMemory = ScopedHandle<LocalMemoryTraits>;

}  // namespace platform::win32
