// Management of the kernel port-I/O driver: its name, its file, its service and its device.

#include <cstdio>
#include <cstring>

#include "hwaccess/device_path.h"
#include "hwaccess/library_platform.h"
#include "hwaccess/library_state.h"
#include "hwaccess/path_split.h"
#include "hwaccess/qvzyl.h"

using hwaccess::DebugText;
using hwaccess::State;

namespace {

constexpr size_t kDeviceNameSize = 16;
static_assert(sizeof(hwaccess::kDriverDevicePath) <= kDeviceNameSize);

platform::DriverManager& Manager() { return *hwaccess::CurrentHwPlatform().driverManager; }

platform::Handle ToHandle(SC_HANDLE handle) { return reinterpret_cast<platform::Handle>(handle); }
SC_HANDLE ToScHandle(platform::Handle handle) { return reinterpret_cast<SC_HANDLE>(handle); }

// The service manager starts the driver with the kernel's rights from whatever file its
// registration names: the file and its folder must be beyond ordinary users' reach.
bool OnlyAdministratorsCanChange(platform::DriverManager& scm, const char* driverPath) {
  const std::string folder = hwaccess::WindowsFolderOf(driverPath);
  return !folder.empty() && scm.OnlyAdministratorsCanChange(folder.c_str()) &&
         scm.OnlyAdministratorsCanChange(driverPath);
}

// An existing registration of the name is used only once it names this driver file as a kernel
// driver: one left by an earlier install elsewhere, or by another program, may name a file that
// users can write. Otherwise it is pointed at this file, and a driver still running from the
// old one is asked to stop, so that the start that follows loads this file.
bool PointRegistrationAt(platform::DriverManager& scm, platform::Handle manager,
                         const char* serviceName, const char* driverPath) {
  platform::Handle service =
      scm.OpenDriverService(manager, serviceName, platform::kServiceAllAccess);
  if (service == nullptr) return false;
  bool result = false;
  if (const auto config = scm.QueryDriverServiceConfig(service)) {
    result = config->serviceType == platform::kServiceKernelDriver &&
             hwaccess::NamesSameFile(config->binaryPath, driverPath);
    if (!result) {
      result = scm.ChangeDriverServiceConfig(service, platform::kServiceKernelDriver,
                                             platform::kServiceDemandStart,
                                             platform::kServiceErrorNormal, driverPath);
      if (result) scm.ControlDriverService(service, platform::kServiceControlStop);
    }
  }
  scm.CloseServiceHandle(service);
  return result;
}

bool AskIs64Win(CQVACS& object) {
  int is64 = 0;
  object.Is64Win(&is64);
  return is64 != 0;
}

}  // namespace

bool CQVACS::GetSysPath(char* path) {
  if (path == nullptr) return false;
  std::memset(path, 0, hwaccess::kMaxPath);
  const std::string executable = Manager().HostExecutablePath();
  // The executable's path has to fit the 260-character buffer it is fetched into.
  if (executable.empty() || executable.size() >= static_cast<size_t>(hwaccess::kMaxPath)) {
    return false;
  }
  const hwaccess::SplitPath parts = hwaccess::SplitWindowsPath(executable);
  char formatted[2 * hwaccess::kMaxPath];
  const int length =
      std::snprintf(formatted, sizeof(formatted), "%s%s\\%s.sys", parts.drive.c_str(),
                    parts.directory.c_str(), State().driverName);
  if (length < 0 || length >= hwaccess::kMaxPath) return false;
  std::memcpy(path, formatted, static_cast<size_t>(length) + 1);
  return true;
}

int CQVACS::Is64Win(int* is64) {
  DebugText("Is64Win->\n");
  int answer = 0;
  platform::DriverManager& manager = Manager();
  platform::Handle kernel32 = manager.LoadSystemLibrary("kernel32.dll");
  if (kernel32 == nullptr) {
    DebugText("kernel32 err\n");
    if (is64 != nullptr) *is64 = 0;
    return 0;
  }
  const std::optional<uint16_t> architecture = manager.NativeProcessorArchitecture(kernel32);
  if (!architecture) {
    DebugText("GetNativeSystemInfo Err\n");
  } else {
    answer = *architecture == platform::kProcessorArchitectureAmd64 ? 1 : 0;
  }
  manager.FreeSystemLibrary(kernel32);
  if (is64 != nullptr) *is64 = answer;
  return 1;
}

void* CQVACS::LoadQVDriver(char* /*path*/) {
  State().lastError = kQvSuccess;
  const bool is64 = AskIs64Win(*this);
  platform::DriverManager& manager = Manager();
  // The device is opened without sharing: close a handle this object already holds rather
  // than lose it.
  if (deviceHandle_ != nullptr) {
    manager.CloseDevice(deviceHandle_);
    deviceHandle_ = nullptr;
  }
  char deviceName[kDeviceNameSize] = {};
  std::snprintf(deviceName, sizeof(deviceName), "%s", hwaccess::kDriverDevicePath);
  platform::Handle device =
      manager.OpenDevice(deviceName, platform::kFileReadData | platform::kFileWriteData, 0,
                         platform::kCreateAlways, platform::kFileAttributeNormal);
  if (device != nullptr) {
    deviceHandle_ = device;
    return device;
  }
  if (manager.LastError() == platform::kErrorFileNotFound) {
    State().lastError = is64 ? kQvDeviceMissing64 : kQvDeviceMissing;
  } else {
    State().lastError = is64 ? kQvDriverFailed64 : kQvDriverFailed;
  }
  return nullptr;
}

bool CQVACS::ManageQVDriver(char* serviceName, char* path, int mode) {
  if (serviceName == nullptr || path == nullptr) return false;
  platform::DriverManager& manager = Manager();
  platform::Handle scm = manager.OpenManager(platform::kScManagerAllAccess);
  if (scm == nullptr) return false;
  bool result = false;
  if (mode == 1) {
    result = InstallService(ToScHandle(scm), serviceName, path) &&
             StartQVDriver(ToScHandle(scm), serviceName);
  } else if (mode == 2) {
    StopQVDriver(ToScHandle(scm), serviceName);
    result = RemoveQVDriver(ToScHandle(scm), serviceName);
  }
  manager.CloseServiceHandle(scm);
  return result;
}

bool CQVACS::InstallService(SC_HANDLE manager, const char* serviceName, const char* path) {
  if (serviceName == nullptr || path == nullptr) return false;
  char binaryPath[hwaccess::kMaxPath] = {};
  // A path that does not fit would register a driver file that does not exist.
  if (std::strlen(path) >= sizeof(binaryPath)) return false;
  std::strcpy(binaryPath, path);
  platform::DriverManager& scm = Manager();
  if (!OnlyAdministratorsCanChange(scm, binaryPath)) {
    DebugText("InstallService Err: the driver file or its folder can be changed by others\n");
    return false;
  }
  platform::Handle service = scm.CreateDriverService(
      ToHandle(manager), serviceName, serviceName, platform::kServiceAllAccess,
      platform::kServiceKernelDriver, platform::kServiceDemandStart, platform::kServiceErrorNormal,
      binaryPath);
  if (service != nullptr) {
    scm.CloseServiceHandle(service);
    return true;
  }
  if (scm.LastError() != platform::kErrorServiceExists) return false;
  return PointRegistrationAt(scm, ToHandle(manager), serviceName, binaryPath);
}

bool CQVACS::StartQVDriver(SC_HANDLE manager, const char* serviceName) {
  if (serviceName == nullptr) return false;
  platform::DriverManager& scm = Manager();
  platform::Handle service =
      scm.OpenDriverService(ToHandle(manager), serviceName, platform::kServiceAllAccess);
  if (service == nullptr) return false;
  bool result = scm.StartDriverService(service);
  if (!result) {
    const uint32_t error = scm.LastError();
    if (error == platform::kErrorServiceAlreadyRunning) {
      result = true;
    } else if (error == platform::kErrorBadDriver) {
      State().lastError = AskIs64Win(*this) ? kQvDriverFailed64 : kQvDriverFailed;
    }
  }
  scm.CloseServiceHandle(service);
  return result;
}

bool CQVACS::StopQVDriver(SC_HANDLE manager, const char* serviceName) {
  if (serviceName == nullptr) return false;
  platform::DriverManager& scm = Manager();
  platform::Handle service =
      scm.OpenDriverService(ToHandle(manager), serviceName, platform::kServiceAllAccess);
  if (service == nullptr) return false;
  // No wait for the stopped state: the delete that follows only marks the service.
  const bool result = scm.ControlDriverService(service, platform::kServiceControlStop);
  scm.CloseServiceHandle(service);
  return result;
}

bool CQVACS::RemoveQVDriver(SC_HANDLE manager, const char* serviceName) {
  if (serviceName == nullptr) return false;
  platform::DriverManager& scm = Manager();
  platform::Handle service =
      scm.OpenDriverService(ToHandle(manager), serviceName, platform::kServiceAllAccess);
  if (service == nullptr) return false;
  const bool result = scm.DeleteDriverService(service);
  scm.CloseServiceHandle(service);
  return result;
}
