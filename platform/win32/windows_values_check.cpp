// The shared Windows values, checked against the SDK's own definitions: the fakes and the Linux
// binding speak these values, so a wrong one here would pass every test that does not run on
// Windows. Nothing to run; the build is the check.
#include <windows.h>
// windows.h first: the SetupAPI and configuration-manager headers build on its types.
#include <cfgmgr32.h>
#include <setupapi.h>

#include "platform/windows_values.h"

namespace platform {

static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(kErrorInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(kErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(kErrorInvalidData == ERROR_INVALID_DATA);
static_assert(kErrorGenFailure == ERROR_GEN_FAILURE);
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER);
static_assert(kErrorBusy == ERROR_BUSY);
static_assert(kErrorNoMoreItems == ERROR_NO_MORE_ITEMS);
static_assert(kErrorServiceAlreadyRunning == ERROR_SERVICE_ALREADY_RUNNING);
static_assert(kErrorServiceDoesNotExist == ERROR_SERVICE_DOES_NOT_EXIST);
static_assert(kErrorServiceCannotAcceptControl == ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
static_assert(kErrorServiceNotActive == ERROR_SERVICE_NOT_ACTIVE);
static_assert(kErrorServiceMarkedForDelete == ERROR_SERVICE_MARKED_FOR_DELETE);
static_assert(kErrorServiceExists == ERROR_SERVICE_EXISTS);
static_assert(kErrorNotFound == ERROR_NOT_FOUND);
static_assert(kErrorBadDriver == ERROR_BAD_DRIVER);
static_assert(kErrorNoSuchDevinst == static_cast<uint32_t>(ERROR_NO_SUCH_DEVINST));
static_assert(kErrorDiDoDefault == static_cast<uint32_t>(ERROR_DI_DO_DEFAULT));
static_assert(kErrorNoClassInstallParams == static_cast<uint32_t>(ERROR_NO_CLASSINSTALL_PARAMS));

static_assert(kCrSuccess == CR_SUCCESS);
static_assert(kCrFailure == CR_FAILURE);

static_assert(kPropertyDeviceDesc == SPDRP_DEVICEDESC);
static_assert(kPropertyHardwareId == SPDRP_HARDWAREID);
static_assert(kPropertyDriver == SPDRP_DRIVER);
static_assert(kDifPropertyChange == DIF_PROPERTYCHANGE);
static_assert(kDicsEnable == DICS_ENABLE);
static_assert(kDicsDisable == DICS_DISABLE);
static_assert(kDicsStart == DICS_START);
static_assert(kDicsStop == DICS_STOP);
static_assert(kDicsFlagGlobal == DICS_FLAG_GLOBAL);
static_assert(kDicsFlagConfigSpecific == DICS_FLAG_CONFIGSPECIFIC);
static_assert(kDnDriverLoaded == DN_DRIVER_LOADED);
static_assert(kDnStarted == DN_STARTED);
static_assert(kDnHasProblem == DN_HAS_PROBLEM);
static_assert(kProblemFailedStart == CM_PROB_FAILED_START);
static_assert(kProblemDisabled == CM_PROB_DISABLED);
static_assert(kProblemFailedInstall == CM_PROB_FAILED_INSTALL);

static_assert(kScManagerAllAccess == SC_MANAGER_ALL_ACCESS);
static_assert(kServiceAllAccess == SERVICE_ALL_ACCESS);
static_assert(kServiceKernelDriver == SERVICE_KERNEL_DRIVER);
static_assert(kServiceWin32OwnProcess == SERVICE_WIN32_OWN_PROCESS);
static_assert(kServiceDemandStart == SERVICE_DEMAND_START);
static_assert(kServiceErrorNormal == SERVICE_ERROR_NORMAL);
static_assert(kServiceStopped == SERVICE_STOPPED);
static_assert(kServiceStartPending == SERVICE_START_PENDING);
static_assert(kServiceStopPending == SERVICE_STOP_PENDING);
static_assert(kServiceRunning == SERVICE_RUNNING);
static_assert(kServiceContinuePending == SERVICE_CONTINUE_PENDING);
static_assert(kServicePausePending == SERVICE_PAUSE_PENDING);
static_assert(kServicePaused == SERVICE_PAUSED);
static_assert(kServiceControlStop == SERVICE_CONTROL_STOP);
static_assert(kServiceControlInterrogate == SERVICE_CONTROL_INTERROGATE);
static_assert(kServiceControlShutdown == SERVICE_CONTROL_SHUTDOWN);
static_assert(kServiceAcceptStop == SERVICE_ACCEPT_STOP);
static_assert(kServiceAcceptShutdown == SERVICE_ACCEPT_SHUTDOWN);

static_assert(kFileReadData == FILE_READ_DATA);
static_assert(kFileWriteData == FILE_WRITE_DATA);
static_assert(kFileAllAccess == FILE_ALL_ACCESS);
static_assert(kFileGenericRead == FILE_GENERIC_READ);
static_assert(kFileGenericWrite == FILE_GENERIC_WRITE);
static_assert(kGenericAll == GENERIC_ALL);
static_assert(kGenericWrite == GENERIC_WRITE);
static_assert(kGenericRead == GENERIC_READ);
static_assert(kCreateAlways == CREATE_ALWAYS);
static_assert(kFileAttributeNormal == FILE_ATTRIBUTE_NORMAL);
static_assert(kFileFlagOverlapped == FILE_FLAG_OVERLAPPED);
static_assert(kFileFlagFirstPipeInstance == FILE_FLAG_FIRST_PIPE_INSTANCE);
static_assert(kPipeAccessDuplex == PIPE_ACCESS_DUPLEX);
static_assert(kPipeRejectRemoteClients == PIPE_REJECT_REMOTE_CLIENTS);

static_assert(kMbOk == MB_OK);
static_assert(kMbIconHand == MB_ICONHAND);
static_assert(kMbIconExclamation == MB_ICONEXCLAMATION);
static_assert(kMbIconMask == MB_ICONMASK);

static_assert(kMaxPath == MAX_PATH);

static_assert(kProcessorArchitectureAmd64 == PROCESSOR_ARCHITECTURE_AMD64);
static_assert(kProcessorArchitectureArm64 == PROCESSOR_ARCHITECTURE_ARM64);

}  // namespace platform
