#pragma once

#include <string>

#include "platform/driver_manager.h"

namespace platform {

/// The Linux stand-in for the driver service manager. Linux has no driver services and needs
/// no kernel driver for configuration reads, so:
///   - the service manager always opens; creating, opening, starting, stopping, deleting and
///     reconfiguring a service succeed and keep nothing (nothing outlives the process), so
///     there is no registration to read (ERROR_SERVICE_DOES_NOT_EXIST);
///   - no driver is ever loaded from a file, so every path counts as one only administrators
///     can change;
///   - the host executable is /proc/self/exe, the "system library" is the kernel itself, and
///     the native architecture comes from uname (x86_64 -> AMD64 (9), aarch64 -> ARM64 (12),
///     anything else -> 0);
///   - the device "\\.\QVZYLSYS" is the PCI sysfs directory `pciRoot`: opening it succeeds when
///     that directory can be listed, else fails with ERROR_FILE_NOT_FOUND; its handle is what
///     SysfsPortChannel takes as the device. Any other device name is not found.
/// Every handle is a small owned object, released by its close call. Thread-compatible.
class PosixDriverManager : public DriverManager {
 public:
  explicit PosixDriverManager(std::string pciRoot = "/sys/bus/pci/devices");
  ~PosixDriverManager() override;

  Handle OpenManager(uint32_t access) override;
  Handle CreateDriverService(Handle manager, const char* name, const char* displayName,
                             uint32_t access, uint32_t serviceType, uint32_t startType,
                             uint32_t errorControl, const char* binaryPath) override;
  Handle OpenDriverService(Handle manager, const char* name, uint32_t access) override;
  bool StartDriverService(Handle service) override;
  bool ControlDriverService(Handle service, uint32_t control) override;
  bool DeleteDriverService(Handle service) override;
  std::optional<DriverServiceConfig> QueryDriverServiceConfig(Handle service) override;
  bool ChangeDriverServiceConfig(Handle service, uint32_t serviceType, uint32_t startType,
                                 uint32_t errorControl, const char* binaryPath) override;
  bool OnlyAdministratorsCanChange(const char* path) override;
  bool CloseServiceHandle(Handle handle) override;
  uint32_t LastError() override { return lastError_; }
  std::string HostExecutablePath() override;
  Handle LoadSystemLibrary(const char* name) override;
  std::optional<uint16_t> NativeProcessorArchitecture(Handle library) override;
  void FreeSystemLibrary(Handle library) override;
  Handle OpenDevice(const char* name, uint32_t access, uint32_t share, uint32_t disposition,
                    uint32_t flags) override;
  void CloseDevice(Handle device) override;

 private:
  std::string pciRoot_;
  uint32_t lastError_ = 0;
};

}  // namespace platform
