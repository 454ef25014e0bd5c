#pragma once

// The interface of the hardware access library: exported functions with unmangled names, two
// exported data items and the exported class CQVACS.
//
// Calling order: QV_InitLibrary first, then QV_GetPciDeviceCount and QV_GetPciCommandReg one
// at a time, QV_ExitLibrary last. QV_GetLastError, QV_SetWindowMessage and fnQVACS may be called
// at any time. The library takes no locks: calls must not overlap.
//
// Without a library object (before QV_InitLibrary, after a successful QV_ExitLibrary, or after
// QV_InitLibrary answered -1) the exports behave as an object without a device would, and touch
// neither the service manager nor the ports:
//   QV_ExitLibrary        -> -101 when CurrentStatus is nonzero, else -1 (no library object)
//   QV_GetPciDeviceCount  -> count 0, found-ID untouched, result 1
//   QV_GetPciCommandReg   -> -11 (no match has any index), command untouched
// A second QV_InitLibrary closes the first object's device handle and releases that object
// before it builds the new one, so no handle leaks (the device is opened without sharing, so a
// handle left open would also make the new open fail).
// When the driver file path would not fit in 260 characters, QV_InitLibrary sends
// "GetSysPath Err", skips installing and starting the service and still opens the device, so a
// driver that is already running is reached, as when the service manager cannot be used.
//
// On Linux the same exports come from libqvzyl.so: the service-manager steps succeed without
// effect and the device is the PCI configuration space in sysfs (platform/posix/).

#include <cstdint>

#include "hwaccess/qvzyl_types.h"

/// Return codes and last-error values.
inline constexpr int32_t kQvSuccess = 1;
inline constexpr int32_t kQvNoObject = -1;
inline constexpr int32_t kQvDeviceMissing = -2;
inline constexpr int32_t kQvDriverFailed = -3;
inline constexpr int32_t kQvServiceNotDeleted = -4;
inline constexpr int32_t kQvDeviceMissing64 = -5;
inline constexpr int32_t kQvDriverFailed64 = -6;
inline constexpr int32_t kQvIndexOutOfRange = -11;
inline constexpr int32_t kQvNoWindow = -12;
inline constexpr int32_t kQvNoMessage = -13;
inline constexpr int32_t kQvExitRefused = -101;

/// The library's single class: the connection to the kernel port-I/O driver.
class QVZYL_API CQVACS {
 public:
  /// Chooses the driver name ("qvzyl64" on 64-bit Windows, else "qvzyl") and reports it.
  CQVACS();
  /// Does nothing; the device handle is closed by QV_ExitLibrary.
  ~CQVACS();
  /// Copies every field, the device handle included.
  CQVACS& operator=(const CQVACS& other);

  /// Builds "<drive><dir>\<driver name>.sys" from the host executable's path into `path`
  /// (at least 260 characters). False for a null buffer, an unknown executable path, or a
  /// driver path that would not fit in 260 characters (the buffer is then left empty).
  bool GetSysPath(char* path);
  /// Asks the system afresh whether it runs on an x64 processor: sets *is64 to 1 or 0. Returns
  /// 1, or 0 when the system library cannot be loaded.
  int Is64Win(int* is64);
  /// Opens the driver's device and keeps its handle. Sets the last-error value to 1, then on
  /// failure to -5/-2 (device missing) or -6/-3 (other failure). `path` is not used.
  void* LoadQVDriver(char* path);
  /// Mode 1: install and start the driver service; mode 2: stop and delete it. False on any
  /// failure, for a null name or path, and for any other mode.
  bool ManageQVDriver(char* serviceName, char* path, int mode);
  /// Scans PCI configuration space and returns the number of matches; see hwaccess/pci_scan.h.
  int SearchPCIConfig(QVLONG id, QVLONG subsystem, QVLONG* foundId);
  /// A 32-bit read of `port` through the device.
  QVDWORD dwReadPort(void* device, unsigned short port);

  /// Nonzero refuses QV_ExitLibrary (-101).
  static int CurrentStatus;

 protected:
  bool InstallService(SC_HANDLE manager, const char* serviceName, const char* path);
  bool StartQVDriver(SC_HANDLE manager, const char* serviceName);
  bool StopQVDriver(SC_HANDLE manager, const char* serviceName);
  bool RemoveQVDriver(SC_HANDLE manager, const char* serviceName);
  /// A 32-bit write of `value` to `port` through the device; returns the driver's answer.
  QVDWORD dwWritePort(void* device, unsigned short port, QVDWORD value);

  void* deviceHandle_;  ///< the open device, or null
  char path_[260];      ///< the driver file path; QV_ExitLibrary hands it to mode 2

  friend struct CQVACSAccess;  // the library's own exports reach the fields through it
};

extern "C" {
QVZYL_API extern int32_t nQVACS;

QVZYL_API int32_t QV_InitLibrary();
QVZYL_API int32_t QV_ExitLibrary();
QVZYL_API int32_t QV_GetLastError();
QVZYL_API int32_t QV_SetWindowMessage(void* window, uint32_t message);
/// Scans for `id` and/or `subsystem`, stores the number of matches in *count and, in
/// subsystem-only mode, the last match's ID dword in *foundId. Always returns 1.
QVZYL_API int32_t QV_GetPciDeviceCount(int32_t id, int32_t subsystem, int32_t* count,
                                       int32_t* foundId);
/// Scans, then stores the command byte (0..255) of match `index` in *command: 1, or -11 for an
/// index below 0 or not below the count (command untouched).
QVZYL_API int32_t QV_GetPciCommandReg(int32_t id, int32_t subsystem, int32_t index,
                                      int32_t* command);
QVZYL_API int32_t fnQVACS();
}
