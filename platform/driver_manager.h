#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/handle.h"
#include "platform/windows_values.h"

namespace platform {

/// What the service manager records of a service, as far as the library checks it.
struct DriverServiceConfig {
  uint32_t serviceType = 0;
  uint32_t startType = 0;
  std::string binaryPath;
};

/// The driver side of the service manager, the host executable's path, the native processor
/// architecture and the driver's device: every operating-system call the library's driver
/// management makes. Shaped after the 8-bit Windows functions; every failing call leaves a code
/// for LastError(). Null handles mean failure. Thread-compatible.
///
/// Windows: the real calls. Linux: there are no driver services, so the manager opens, and
/// install, start, stop, delete and reconfiguration succeed without keeping anything; the device is
/// the PCI configuration space in sysfs (see posix/driver_manager.cpp).
class DriverManager {
 public:
  virtual ~DriverManager() = default;

  /// OpenSCManagerA(NULL, NULL, access).
  virtual Handle OpenManager(uint32_t access) = 0;
  /// CreateServiceA(manager, name, displayName, access, type, start, errorControl, binaryPath,
  /// no group, no tag, no dependencies, no account, no password): the new service's handle.
  virtual Handle CreateDriverService(Handle manager, const char* name, const char* displayName,
                                     uint32_t access, uint32_t serviceType, uint32_t startType,
                                     uint32_t errorControl, const char* binaryPath) = 0;
  /// OpenServiceA(manager, name, access).
  virtual Handle OpenDriverService(Handle manager, const char* name, uint32_t access) = 0;
  /// StartServiceA(service, 0, NULL).
  virtual bool StartDriverService(Handle service) = 0;
  /// ControlService(service, control, &status); the status is not reported.
  virtual bool ControlDriverService(Handle service, uint32_t control) = 0;
  /// DeleteService(service).
  virtual bool DeleteDriverService(Handle service) = 0;
  /// QueryServiceConfigA(service): the registration as it stands (type, start type, binary
  /// path). Empty on failure.
  virtual std::optional<DriverServiceConfig> QueryDriverServiceConfig(Handle service) = 0;
  /// ChangeServiceConfigA(service, type, start, errorControl, binaryPath, and no change to the
  /// group, tag, dependencies, account, password or display name): points an existing
  /// registration at the given file.
  virtual bool ChangeDriverServiceConfig(Handle service, uint32_t serviceType, uint32_t startType,
                                         uint32_t errorControl, const char* binaryPath) = 0;
  /// CloseServiceHandle, for manager and service handles alike.
  virtual bool CloseServiceHandle(Handle handle) = 0;

  /// GetLastError after the latest failing call of this interface.
  virtual uint32_t LastError() = 0;

  /// GetModuleFileNameA(NULL): the full path of the host process's executable, whatever its
  /// length; empty on failure. The caller decides what fits its buffers.
  virtual std::string HostExecutablePath() = 0;

  /// Whether only administrators can change the file or folder at `path`: its access list
  /// grants none of Everyone, Authenticated Users, Users, INTERACTIVE and CREATOR OWNER the
  /// right to write, append, delete a child or change its access list or owner. False when its
  /// security cannot be read. Linux loads no driver from a file, so there it is always true.
  virtual bool OnlyAdministratorsCanChange(const char* path) = 0;

  /// LoadLibraryA(name). Null on failure.
  virtual Handle LoadSystemLibrary(const char* name) = 0;
  /// GetProcAddress(library, "GetNativeSystemInfo") and, when found, its wProcessorArchitecture
  /// on a zeroed SYSTEM_INFO. Empty when the function is missing.
  virtual std::optional<uint16_t> NativeProcessorArchitecture(Handle library) = 0;
  /// FreeLibrary.
  virtual void FreeSystemLibrary(Handle library) = 0;

  /// CreateFileA(name, access, share, NULL, disposition, flags, NULL). Null on failure.
  virtual Handle OpenDevice(const char* name, uint32_t access, uint32_t share, uint32_t disposition,
                            uint32_t flags) = 0;
  /// CloseHandle on a device handle from OpenDevice.
  virtual void CloseDevice(Handle device) = 0;
};

/// The process's real driver manager (defined by the win32 or posix binding).
DriverManager& SystemDriverManager();

}  // namespace platform
