#pragma once

#include <cstdint>

/// Every Windows value that the core, the bindings, the fakes and the tools exchange, each
/// defined here once, beside its Windows name. The Linux binding and the fakes speak these
/// values too, so the core reads the same codes on every platform. The Windows build checks
/// each against the SDK's own definition (platform/win32/windows_values_check.cpp).
namespace platform {

// GetLastError codes.
inline constexpr uint32_t kErrorFileNotFound = 2;              // ERROR_FILE_NOT_FOUND
inline constexpr uint32_t kErrorPathNotFound = 3;              // ERROR_PATH_NOT_FOUND
inline constexpr uint32_t kErrorAccessDenied = 5;              // ERROR_ACCESS_DENIED
inline constexpr uint32_t kErrorInvalidHandle = 6;             // ERROR_INVALID_HANDLE
inline constexpr uint32_t kErrorNotEnoughMemory = 8;           // ERROR_NOT_ENOUGH_MEMORY
inline constexpr uint32_t kErrorInvalidData = 13;              // ERROR_INVALID_DATA
inline constexpr uint32_t kErrorGenFailure = 31;               // ERROR_GEN_FAILURE
inline constexpr uint32_t kErrorSharingViolation = 32;         // ERROR_SHARING_VIOLATION
inline constexpr uint32_t kErrorInvalidParameter = 87;         // ERROR_INVALID_PARAMETER
inline constexpr uint32_t kErrorInsufficientBuffer = 122;      // ERROR_INSUFFICIENT_BUFFER
inline constexpr uint32_t kErrorBusy = 170;                    // ERROR_BUSY
inline constexpr uint32_t kErrorNoMoreItems = 259;             // ERROR_NO_MORE_ITEMS
inline constexpr uint32_t kErrorServiceAlreadyRunning = 1056;  // ERROR_SERVICE_ALREADY_RUNNING
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;    // ERROR_SERVICE_DOES_NOT_EXIST
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL
inline constexpr uint32_t kErrorServiceCannotAcceptControl = 1061;
inline constexpr uint32_t kErrorServiceNotActive = 1062;        // ERROR_SERVICE_NOT_ACTIVE
inline constexpr uint32_t kErrorServiceMarkedForDelete = 1072;  // ERROR_SERVICE_MARKED_FOR_DELETE
inline constexpr uint32_t kErrorServiceExists = 1073;           // ERROR_SERVICE_EXISTS
inline constexpr uint32_t kErrorNotFound = 1168;                // ERROR_NOT_FOUND
inline constexpr uint32_t kErrorBadDriver = 2001;               // ERROR_BAD_DRIVER
// SetupAPI's own codes (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | n).
inline constexpr uint32_t kErrorNoSuchDevinst = 0xE000020B;         // ERROR_NO_SUCH_DEVINST
inline constexpr uint32_t kErrorDiDoDefault = 0xE000020E;           // ERROR_DI_DO_DEFAULT
inline constexpr uint32_t kErrorNoClassInstallParams = 0xE0000215;  // ERROR_NO_CLASSINSTALL_PARAMS

// Configuration-manager results.
inline constexpr uint32_t kCrSuccess = 0x0;   // CR_SUCCESS
inline constexpr uint32_t kCrFailure = 0x13;  // CR_FAILURE

// Device properties, state changes and node status.
inline constexpr uint32_t kPropertyDeviceDesc = 0;      // SPDRP_DEVICEDESC
inline constexpr uint32_t kPropertyHardwareId = 1;      // SPDRP_HARDWAREID
inline constexpr uint32_t kPropertyDriver = 9;          // SPDRP_DRIVER
inline constexpr uint32_t kDifPropertyChange = 0x12;    // DIF_PROPERTYCHANGE
inline constexpr uint32_t kDicsEnable = 1;              // DICS_ENABLE
inline constexpr uint32_t kDicsDisable = 2;             // DICS_DISABLE
inline constexpr uint32_t kDicsStart = 4;               // DICS_START
inline constexpr uint32_t kDicsStop = 5;                // DICS_STOP
inline constexpr uint32_t kDicsFlagGlobal = 1;          // DICS_FLAG_GLOBAL
inline constexpr uint32_t kDicsFlagConfigSpecific = 2;  // DICS_FLAG_CONFIGSPECIFIC
inline constexpr uint32_t kDnDriverLoaded = 0x2;        // DN_DRIVER_LOADED
inline constexpr uint32_t kDnStarted = 0x8;             // DN_STARTED
inline constexpr uint32_t kDnHasProblem = 0x400;        // DN_HAS_PROBLEM
inline constexpr uint32_t kProblemFailedStart = 10;     // CM_PROB_FAILED_START
inline constexpr uint32_t kProblemDisabled = 22;        // CM_PROB_DISABLED
inline constexpr uint32_t kProblemFailedInstall = 28;   // CM_PROB_FAILED_INSTALL

// The service manager: access, service types, states, controls and accepted controls.
inline constexpr uint32_t kScManagerAllAccess = 0xF003F;   // SC_MANAGER_ALL_ACCESS
inline constexpr uint32_t kServiceAllAccess = 0xF01FF;     // SERVICE_ALL_ACCESS
inline constexpr uint32_t kServiceKernelDriver = 0x1;      // SERVICE_KERNEL_DRIVER
inline constexpr uint32_t kServiceWin32OwnProcess = 0x10;  // SERVICE_WIN32_OWN_PROCESS
inline constexpr uint32_t kServiceDemandStart = 3;         // SERVICE_DEMAND_START
inline constexpr uint32_t kServiceErrorNormal = 1;         // SERVICE_ERROR_NORMAL
inline constexpr uint32_t kServiceStopped = 1;             // SERVICE_STOPPED
inline constexpr uint32_t kServiceStartPending = 2;        // SERVICE_START_PENDING
inline constexpr uint32_t kServiceStopPending = 3;         // SERVICE_STOP_PENDING
inline constexpr uint32_t kServiceRunning = 4;             // SERVICE_RUNNING
inline constexpr uint32_t kServiceContinuePending = 5;     // SERVICE_CONTINUE_PENDING
inline constexpr uint32_t kServicePausePending = 6;        // SERVICE_PAUSE_PENDING
inline constexpr uint32_t kServicePaused = 7;              // SERVICE_PAUSED
inline constexpr uint32_t kServiceControlStop = 1;         // SERVICE_CONTROL_STOP
inline constexpr uint32_t kServiceControlInterrogate = 4;  // SERVICE_CONTROL_INTERROGATE
inline constexpr uint32_t kServiceControlShutdown = 5;     // SERVICE_CONTROL_SHUTDOWN
inline constexpr uint32_t kServiceAcceptStop = 0x1;        // SERVICE_ACCEPT_STOP
inline constexpr uint32_t kServiceAcceptShutdown = 0x4;    // SERVICE_ACCEPT_SHUTDOWN

// Files, pipes and events.
inline constexpr uint32_t kFileReadData = 0x1;                   // FILE_READ_DATA
inline constexpr uint32_t kFileWriteData = 0x2;                  // FILE_WRITE_DATA
inline constexpr uint32_t kFileAllAccess = 0x1F01FF;             // FILE_ALL_ACCESS
inline constexpr uint32_t kFileGenericRead = 0x120089;           // FILE_GENERIC_READ
inline constexpr uint32_t kFileGenericWrite = 0x120116;          // FILE_GENERIC_WRITE
inline constexpr uint32_t kGenericAll = 0x10000000;              // GENERIC_ALL
inline constexpr uint32_t kGenericWrite = 0x40000000;            // GENERIC_WRITE
inline constexpr uint32_t kGenericRead = 0x80000000;             // GENERIC_READ
inline constexpr uint32_t kCreateAlways = 2;                     // CREATE_ALWAYS
inline constexpr uint32_t kFileAttributeNormal = 0x80;           // FILE_ATTRIBUTE_NORMAL
inline constexpr uint32_t kFileFlagOverlapped = 0x40000000;      // FILE_FLAG_OVERLAPPED
inline constexpr uint32_t kFileFlagFirstPipeInstance = 0x80000;  // FILE_FLAG_FIRST_PIPE_INSTANCE
inline constexpr uint32_t kPipeAccessDuplex = 0x3;               // PIPE_ACCESS_DUPLEX
inline constexpr uint32_t kPipeRejectRemoteClients = 0x8;        // PIPE_REJECT_REMOTE_CLIENTS

// Message-box styles a notice carries.
inline constexpr uint32_t kMbOk = 0x0;                // MB_OK
inline constexpr uint32_t kMbIconHand = 0x10;         // MB_ICONHAND (MB_ICONERROR)
inline constexpr uint32_t kMbIconExclamation = 0x30;  // MB_ICONEXCLAMATION
inline constexpr uint32_t kMbIconMask = 0xF0;         // MB_ICONMASK

// Longest path the classic calls take, terminator included.
inline constexpr uint32_t kMaxPath = 260;  // MAX_PATH

// Processor architectures (SYSTEM_INFO's wProcessorArchitecture).
inline constexpr uint16_t kProcessorArchitectureAmd64 = 9;   // PROCESSOR_ARCHITECTURE_AMD64
inline constexpr uint16_t kProcessorArchitectureArm64 = 12;  // PROCESSOR_ARCHITECTURE_ARM64

}  // namespace platform
