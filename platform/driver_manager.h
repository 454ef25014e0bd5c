#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/handle.h"

namespace platform {

/// Windows values the driver-service code passes and tests for. They are part of the contract
/// of every binding, not only the Windows one.
inline constexpr uint32_t kScManagerAllAccess = 0xF003F;
inline constexpr uint32_t kServiceAllAccess = 0xF01FF;
inline constexpr uint32_t kServiceKernelDriver = 1;
inline constexpr uint32_t kServiceDemandStart = 3;
inline constexpr uint32_t kServiceErrorNormal = 1;
inline constexpr uint32_t kServiceControlStop = 1;
inline constexpr uint32_t kFileReadWriteData = 3;  // FILE_READ_DATA | FILE_WRITE_DATA
inline constexpr uint32_t kCreateAlways = 2;
inline constexpr uint32_t kFileAttributeNormal = 0x80;
inline constexpr uint16_t kProcessorArchitectureAmd64 = 9;

/// GetLastError codes that callers tell apart.
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr uint32_t kErrorServiceNotActive = 1062;
inline constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
inline constexpr uint32_t kErrorServiceExists = 1073;
inline constexpr uint32_t kErrorBadDriver = 2001;

/// The driver side of the service manager, the host executable's path, the native processor
/// architecture and the driver's device: every operating-system call the library's driver
/// management makes. Shaped after the 8-bit Windows functions; every failing call leaves a code
/// for LastError(). Null handles mean failure. Thread-compatible.
///
/// Windows: the real calls. Linux: there are no driver services, so the manager opens, and
/// install, start, stop and delete succeed without keeping anything; the device is the PCI
/// configuration space in sysfs (see posix/driver_manager.cpp).
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
  /// CloseServiceHandle, for manager and service handles alike.
  virtual bool CloseServiceHandle(Handle handle) = 0;

  /// GetLastError after the latest failing call of this interface.
  virtual uint32_t LastError() = 0;

  /// GetModuleFileNameA(NULL): the full path of the host process's executable, whatever its
  /// length; empty on failure. The caller decides what fits its buffers.
  virtual std::string HostExecutablePath() = 0;

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
