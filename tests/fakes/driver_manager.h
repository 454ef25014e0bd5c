#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/driver_manager.h"

namespace platform {

/// An in-memory service manager, host executable and driver device for tests. Every operation
/// can be made to fail with a chosen error; services keep a state and a recorded file path;
/// every call is logged; every handle handed out is booked until it is closed, so a test can
/// prove that none leaks. Thread-compatible.
class FakeDriverManager : public DriverManager {
 public:
  enum class Operation {
    kOpenManager,
    kCreateService,
    kOpenService,
    kStartService,
    kControlService,
    kDeleteService,
    kLoadSystemLibrary,
    kOpenDevice,
    kQueryConfig,
    kChangeConfig,
  };

  enum class ServiceState { kInstalled, kRunning, kStopRequested };

  struct Service {
    ServiceState state = ServiceState::kInstalled;
    std::string binaryPath;
    uint32_t serviceType = kServiceKernelDriver;
    uint32_t startType = kServiceDemandStart;
    bool markedForDelete = false;
    int openHandles = 0;
  };

  /// How the device answers CreateFileA.
  enum class DeviceMode {
    kFollowsService,  ///< present while some service runs, else ERROR_FILE_NOT_FOUND
    kPresent,         ///< always opens
    kMissing,         ///< ERROR_FILE_NOT_FOUND
  };

  FakeDriverManager();
  ~FakeDriverManager() override;

  // --- scripting
  /// Makes every later call of `operation` fail with `error` (until ClearFailure).
  void FailWith(Operation operation, uint32_t error);
  void ClearFailure(Operation operation);
  /// StartServiceA fails with `error` for this service (e.g. ERROR_BAD_DRIVER).
  void FailStartOf(const std::string& name, uint32_t error);
  void SetHostExecutablePath(std::string path) { executablePath_ = std::move(path); }
  /// The architecture GetNativeSystemInfo reports; empty = the function is missing.
  void SetNativeArchitecture(std::optional<uint16_t> architecture) { architecture_ = architecture; }
  void SetDeviceMode(DeviceMode mode) { deviceMode_ = mode; }
  /// Puts a service in place without going through the calls (no log entry).
  void AddService(const std::string& name, ServiceState state, std::string binaryPath,
                  uint32_t serviceType = kServiceKernelDriver);
  /// Makes OnlyAdministratorsCanChange answer false for this exact path (every other path is
  /// administrators' only).
  void LetUsersChange(const std::string& path) { changeableByUsers_.insert(path); }

  // --- inspection
  const std::map<std::string, Service>& services() const { return services_; }
  const Service* FindService(const std::string& name) const;
  const std::vector<std::string>& calls() const { return calls_; }
  void ClearCalls() { calls_.clear(); }
  /// Handles handed out and not yet closed, of every kind.
  int OpenHandleCount() const;
  int OpenDeviceCount() const { return static_cast<int>(devices_.size()); }
  int OpenManagerCount() const { return static_cast<int>(managers_.size()); }
  int OpenServiceCount() const { return static_cast<int>(serviceHandles_.size()); }
  int LoadedLibraryCount() const { return static_cast<int>(libraries_.size()); }
  /// Calls on handles that were not open (closed twice, foreign, wrong kind).
  int BadHandleCount() const { return badHandles_; }

  // --- DriverManager
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
  bool Fails(Operation operation);
  Handle NewHandle();
  void Log(std::string call) { calls_.push_back(std::move(call)); }
  void ReleaseIfDone(const std::string& name);
  Service* ServiceOf(Handle handle);

  std::map<Operation, uint32_t> failures_;
  std::map<std::string, uint32_t> startFailures_;
  std::map<std::string, Service> services_;
  std::set<Handle> managers_;
  std::map<Handle, std::string> serviceHandles_;
  std::set<Handle> libraries_;
  std::set<Handle> devices_;
  std::set<std::string> changeableByUsers_;
  std::vector<std::string> calls_;
  std::string executablePath_ = "C:\\Program Files\\Tavik\\VokZylControl.exe";
  std::optional<uint16_t> architecture_ = kProcessorArchitectureAmd64;
  DeviceMode deviceMode_ = DeviceMode::kFollowsService;
  uint32_t lastError_ = 0;
  uintptr_t nextHandle_ = 0x1000;
  int badHandles_ = 0;
};

}  // namespace platform
