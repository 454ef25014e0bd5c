/*
 * A stand-in setupapi.dll for the Wine end-to-end run. Wine 8 refuses every
 * device state change, so this one, enabled for VokZylControl.exe alone by a
 * DLL override, carries out the calls the service makes on one adapter node
 * kept in memory: it starts enabled and started; a stop clears "started", a
 * disable sets problem 22 (disabled); an enable clears the problem, and the
 * first start after it leaves problem 24 until the tree is re-enumerated,
 * so the service's retry path runs. Every call is written to the debugger
 * output ("setupapi stand-in: ...") so the test can check the order.
 *
 * Only the functions the service imports are exported. The declarations are
 * the system's, written out here: the system header declares them imported.
 */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#define EXPORT __declspec(dllexport)

typedef struct DevInfoData {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
} DevInfoData;

typedef struct PropChangeParams {
  DWORD cbSize;
  DWORD InstallFunction;
  DWORD StateChange;
  DWORD Scope;
  DWORD HwProfile;
} PropChangeParams;

#define kListHandle ((HANDLE)(ULONG_PTR)0x5E7A91)
#define kAdapterDevInst 7
#define kDnStarted 0x8
#define kDnHasProblem 0x400
#define kProblemDisabled 22
#define kProblemNeedsRestart 24
#define kDifPropertyChange 0x12
#define kSpdrpHardwareId 1
#define kSpdrpDriver 9
#define kSpdrpDeviceDesc 0

static const wchar_t kHardwareIds[] =
    L"PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00\0PCI\\VEN_104D&DEV_81CE\0";
static const wchar_t kDriverKey[] = L"{4d36e97d-e325-11ce-bfc1-08002be10318}\\0042";
static const wchar_t kDescription[] = L"Stand-in adapter node";

static BOOL g_started = TRUE;
static DWORD g_problem = 0;
static BOOL g_start_needs_reenumeration = FALSE;
static PropChangeParams g_pending;
static BOOL g_have_pending = FALSE;

static void Log(const char *format, DWORD value) {
  char line[128];
  snprintf(line, sizeof line, format, (unsigned long)value);
  OutputDebugStringA(line);
}

EXPORT HANDLE WINAPI SetupDiGetClassDevsW(const GUID *cls, const wchar_t *enumerator, HWND parent,
                                          DWORD flags) {
  (void)cls, (void)enumerator, (void)parent;
  Log("setupapi stand-in: list (flags %lu)\n", flags);
  return kListHandle;
}

EXPORT BOOL WINAPI SetupDiEnumDeviceInfo(HANDLE list, DWORD index, DevInfoData *data) {
  if (list != kListHandle || index > 0 || data == NULL || data->cbSize != sizeof *data) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  memset(&data->ClassGuid, 0, sizeof data->ClassGuid);
  data->DevInst = kAdapterDevInst;
  data->Reserved = 0;
  return TRUE;
}

EXPORT BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HANDLE list, DevInfoData *data, DWORD property,
                                                     DWORD *type, BYTE *buffer, DWORD size,
                                                     DWORD *required) {
  const void *value;
  DWORD bytes;
  (void)list, (void)data;
  switch (property) {
    case kSpdrpHardwareId:
      value = kHardwareIds, bytes = sizeof kHardwareIds;
      break;
    case kSpdrpDriver:
      value = kDriverKey, bytes = sizeof kDriverKey;
      break;
    case kSpdrpDeviceDesc:
      value = kDescription, bytes = sizeof kDescription;
      break;
    default:
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
  }
  if (type != NULL) *type = property == kSpdrpHardwareId ? REG_MULTI_SZ : REG_SZ;
  if (required != NULL) *required = bytes;
  if (buffer == NULL || size < bytes) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(buffer, value, bytes);
  return TRUE;
}

EXPORT BOOL WINAPI SetupDiSetClassInstallParamsW(HANDLE list, DevInfoData *data,
                                                 PropChangeParams *params, DWORD size) {
  (void)list, (void)data;
  if (params == NULL || size != sizeof *params || params->cbSize != 8 ||
      params->InstallFunction != kDifPropertyChange) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  g_pending = *params;
  g_have_pending = TRUE;
  return TRUE;
}

EXPORT BOOL WINAPI SetupDiCallClassInstaller(DWORD function, HANDLE list, DevInfoData *data) {
  (void)list, (void)data;
  if (function != kDifPropertyChange || !g_have_pending) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  g_have_pending = FALSE;
  Log("setupapi stand-in: state change %lu\n", g_pending.StateChange);
  switch (g_pending.StateChange) {
    case 1: /* DICS_ENABLE */
      g_problem = 0;
      g_start_needs_reenumeration = TRUE;
      break;
    case 2: /* DICS_DISABLE */
      g_started = FALSE;
      g_problem = kProblemDisabled;
      break;
    case 4: /* DICS_START */
      if (g_problem == kProblemDisabled) break;
      if (g_start_needs_reenumeration) {
        g_problem = kProblemNeedsRestart;
      } else {
        g_problem = 0;
        g_started = TRUE;
      }
      break;
    case 5: /* DICS_STOP */
      g_started = FALSE;
      break;
  }
  return TRUE;
}

EXPORT DWORD WINAPI CM_Get_DevNode_Status(ULONG *status, ULONG *problem, DWORD devInst,
                                          ULONG flags) {
  (void)flags;
  if (devInst != kAdapterDevInst) return 0x5; /* CR_INVALID_DEVNODE */
  *status = (g_started ? kDnStarted : 0) | (g_problem ? kDnHasProblem : 0);
  *problem = g_problem;
  return 0;
}

EXPORT DWORD WINAPI CM_Locate_DevNodeW(DWORD *devInst, const wchar_t *id, ULONG flags) {
  (void)id, (void)flags;
  *devInst = 1;
  OutputDebugStringA("setupapi stand-in: locate root\n");
  return 0;
}

EXPORT DWORD WINAPI CM_Reenumerate_DevNode(DWORD devInst, ULONG flags) {
  (void)flags;
  Log("setupapi stand-in: re-enumerate from %lu\n", devInst);
  if (g_problem == kProblemNeedsRestart) g_problem = 0;
  g_start_needs_reenumeration = FALSE;
  return 0;
}

EXPORT BOOL WINAPI SetupDiDestroyDeviceInfoList(HANDLE list) { return list == kListHandle; }
