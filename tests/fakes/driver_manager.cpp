#include "tests/fakes/driver_manager.h"

#include "common/hex_text.h"

namespace platform {
namespace {

std::string Hex(uint32_t value) { return "0x" + common::HexText(value); }

std::string Text(const char* text) { return text != nullptr ? text : "(null)"; }

}  // namespace

FakeDriverManager::FakeDriverManager() = default;
FakeDriverManager::~FakeDriverManager() = default;

void FakeDriverManager::FailWith(Operation operation, uint32_t error) {
  failures_[operation] = error;
}

void FakeDriverManager::ClearFailure(Operation operation) { failures_.erase(operation); }

void FakeDriverManager::FailStartOf(const std::string& name, uint32_t error) {
  startFailures_[name] = error;
}

void FakeDriverManager::AddService(const std::string& name, ServiceState state,
                                   std::string binaryPath, uint32_t serviceType) {
  Service& service = services_[name];
  service.state = state;
  service.binaryPath = std::move(binaryPath);
  service.serviceType = serviceType;
}

const FakeDriverManager::Service* FakeDriverManager::FindService(const std::string& name) const {
  auto it = services_.find(name);
  return it == services_.end() ? nullptr : &it->second;
}

int FakeDriverManager::OpenHandleCount() const {
  return static_cast<int>(managers_.size() + serviceHandles_.size() + libraries_.size() +
                          devices_.size());
}

bool FakeDriverManager::Fails(Operation operation) {
  auto it = failures_.find(operation);
  if (it == failures_.end()) return false;
  lastError_ = it->second;
  return true;
}

Handle FakeDriverManager::NewHandle() {
  nextHandle_ += 0x10;
  return reinterpret_cast<Handle>(nextHandle_);
}

FakeDriverManager::Service* FakeDriverManager::ServiceOf(Handle handle) {
  auto it = serviceHandles_.find(handle);
  if (it == serviceHandles_.end()) return nullptr;
  auto service = services_.find(it->second);
  return service == services_.end() ? nullptr : &service->second;
}

void FakeDriverManager::ReleaseIfDone(const std::string& name) {
  auto it = services_.find(name);
  if (it == services_.end()) return;
  Service& service = it->second;
  if (service.openHandles > 0) return;
  // A requested stop completes once nobody holds the service any more.
  if (service.state == ServiceState::kStopRequested) service.state = ServiceState::kInstalled;
  if (service.markedForDelete && service.state == ServiceState::kInstalled) services_.erase(it);
}

Handle FakeDriverManager::OpenManager(uint32_t access) {
  Log("OpenSCManagerA(" + Hex(access) + ")");
  if (Fails(Operation::kOpenManager)) return nullptr;
  Handle handle = NewHandle();
  managers_.insert(handle);
  return handle;
}

Handle FakeDriverManager::CreateDriverService(Handle manager, const char* name,
                                              const char* displayName, uint32_t access,
                                              uint32_t serviceType, uint32_t startType,
                                              uint32_t errorControl, const char* binaryPath) {
  Log("CreateServiceA(" + Text(name) + ", " + Text(displayName) + ", " + Hex(access) + ", " +
      std::to_string(serviceType) + ", " + std::to_string(startType) + ", " +
      std::to_string(errorControl) + ", " + Text(binaryPath) + ")");
  if (managers_.count(manager) == 0) {
    ++badHandles_;
    lastError_ = kErrorInvalidHandle;
    return nullptr;
  }
  if (Fails(Operation::kCreateService)) return nullptr;
  auto it = services_.find(Text(name));
  if (it != services_.end()) {
    lastError_ = it->second.markedForDelete ? kErrorServiceMarkedForDelete : kErrorServiceExists;
    return nullptr;
  }
  Service& service = services_[Text(name)];
  service.binaryPath = Text(binaryPath);
  service.serviceType = serviceType;
  service.startType = startType;
  service.openHandles = 1;
  Handle handle = NewHandle();
  serviceHandles_[handle] = Text(name);
  return handle;
}

Handle FakeDriverManager::OpenDriverService(Handle manager, const char* name, uint32_t access) {
  Log("OpenServiceA(" + Text(name) + ", " + Hex(access) + ")");
  if (managers_.count(manager) == 0) {
    ++badHandles_;
    lastError_ = kErrorInvalidHandle;
    return nullptr;
  }
  if (Fails(Operation::kOpenService)) return nullptr;
  auto it = services_.find(Text(name));
  if (it == services_.end()) {
    lastError_ = kErrorServiceDoesNotExist;
    return nullptr;
  }
  ++it->second.openHandles;
  Handle handle = NewHandle();
  serviceHandles_[handle] = Text(name);
  return handle;
}

bool FakeDriverManager::StartDriverService(Handle handle) {
  Service* service = ServiceOf(handle);
  Log("StartServiceA(" + (service ? serviceHandles_[handle] : std::string("?")) + ")");
  if (service == nullptr) {
    ++badHandles_;
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  if (Fails(Operation::kStartService)) return false;
  auto failure = startFailures_.find(serviceHandles_[handle]);
  if (failure != startFailures_.end()) {
    lastError_ = failure->second;
    return false;
  }
  if (service->markedForDelete) {
    lastError_ = kErrorServiceMarkedForDelete;
    return false;
  }
  if (service->state == ServiceState::kRunning) {
    lastError_ = kErrorServiceAlreadyRunning;
    return false;
  }
  if (service->state == ServiceState::kStopRequested) {
    lastError_ = kErrorServiceCannotAcceptControl;
    return false;
  }
  service->state = ServiceState::kRunning;
  return true;
}

bool FakeDriverManager::ControlDriverService(Handle handle, uint32_t control) {
  Service* service = ServiceOf(handle);
  Log("ControlService(" + (service ? serviceHandles_[handle] : std::string("?")) + ", " +
      std::to_string(control) + ")");
  if (service == nullptr) {
    ++badHandles_;
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  if (Fails(Operation::kControlService)) return false;
  if (control != kServiceControlStop || service->state != ServiceState::kRunning) {
    lastError_ = kErrorServiceNotActive;
    return false;
  }
  service->state = ServiceState::kStopRequested;
  return true;
}

bool FakeDriverManager::DeleteDriverService(Handle handle) {
  Service* service = ServiceOf(handle);
  Log("DeleteService(" + (service ? serviceHandles_[handle] : std::string("?")) + ")");
  if (service == nullptr) {
    ++badHandles_;
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  if (Fails(Operation::kDeleteService)) return false;
  if (service->markedForDelete) {
    lastError_ = kErrorServiceMarkedForDelete;
    return false;
  }
  service->markedForDelete = true;
  return true;
}

std::optional<DriverServiceConfig> FakeDriverManager::QueryDriverServiceConfig(Handle handle) {
  Service* service = ServiceOf(handle);
  Log("QueryServiceConfigA(" + (service ? serviceHandles_[handle] : std::string("?")) + ")");
  if (service == nullptr) {
    ++badHandles_;
    lastError_ = kErrorInvalidHandle;
    return std::nullopt;
  }
  if (Fails(Operation::kQueryConfig)) return std::nullopt;
  return DriverServiceConfig{service->serviceType, service->startType, service->binaryPath};
}

bool FakeDriverManager::ChangeDriverServiceConfig(Handle handle, uint32_t serviceType,
                                                  uint32_t startType, uint32_t errorControl,
                                                  const char* binaryPath) {
  Service* service = ServiceOf(handle);
  Log("ChangeServiceConfigA(" + (service ? serviceHandles_[handle] : std::string("?")) + ", " +
      std::to_string(serviceType) + ", " + std::to_string(startType) + ", " +
      std::to_string(errorControl) + ", " + Text(binaryPath) + ")");
  if (service == nullptr) {
    ++badHandles_;
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  if (Fails(Operation::kChangeConfig)) return false;
  if (service->markedForDelete) {
    lastError_ = kErrorServiceMarkedForDelete;
    return false;
  }
  service->serviceType = serviceType;
  service->startType = startType;
  if (binaryPath != nullptr) service->binaryPath = binaryPath;
  return true;
}

bool FakeDriverManager::OnlyAdministratorsCanChange(const char* path) {
  Log("OnlyAdministratorsCanChange(" + Text(path) + ")");
  return path != nullptr && changeableByUsers_.count(path) == 0;
}

bool FakeDriverManager::CloseServiceHandle(Handle handle) {
  if (managers_.erase(handle) != 0) {
    Log("CloseServiceHandle(manager)");
    return true;
  }
  auto it = serviceHandles_.find(handle);
  if (it == serviceHandles_.end()) {
    Log("CloseServiceHandle(?)");
    ++badHandles_;
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  const std::string name = it->second;
  Log("CloseServiceHandle(" + name + ")");
  serviceHandles_.erase(it);
  auto service = services_.find(name);
  if (service != services_.end()) {
    --service->second.openHandles;
    ReleaseIfDone(name);
  }
  return true;
}

std::string FakeDriverManager::HostExecutablePath() {
  Log("GetModuleFileNameA");
  return executablePath_;
}

Handle FakeDriverManager::LoadSystemLibrary(const char* name) {
  Log("LoadLibraryA(" + Text(name) + ")");
  if (Fails(Operation::kLoadSystemLibrary)) return nullptr;
  Handle handle = NewHandle();
  libraries_.insert(handle);
  return handle;
}

std::optional<uint16_t> FakeDriverManager::NativeProcessorArchitecture(Handle library) {
  Log("GetProcAddress(GetNativeSystemInfo)");
  if (libraries_.count(library) == 0) {
    ++badHandles_;
    return std::nullopt;
  }
  return architecture_;
}

void FakeDriverManager::FreeSystemLibrary(Handle library) {
  Log("FreeLibrary");
  if (libraries_.erase(library) == 0) ++badHandles_;
}

Handle FakeDriverManager::OpenDevice(const char* name, uint32_t access, uint32_t share,
                                     uint32_t disposition, uint32_t flags) {
  Log("CreateFileA(" + Text(name) + ", " + std::to_string(access) + ", " + std::to_string(share) +
      ", " + std::to_string(disposition) + ", " + Hex(flags) + ")");
  if (Fails(Operation::kOpenDevice)) return nullptr;
  bool present = deviceMode_ == DeviceMode::kPresent;
  if (deviceMode_ == DeviceMode::kFollowsService) {
    for (const auto& [serviceName, service] : services_) {
      if (service.state != ServiceState::kInstalled) present = true;
    }
  }
  if (!present) {
    lastError_ = kErrorFileNotFound;
    return nullptr;
  }
  // The driver's device is exclusive: opened without sharing, a second open is refused.
  if (!devices_.empty()) {
    lastError_ = kErrorSharingViolation;
    return nullptr;
  }
  Handle handle = NewHandle();
  devices_.insert(handle);
  return handle;
}

void FakeDriverManager::CloseDevice(Handle device) {
  Log("CloseHandle(device)");
  if (devices_.erase(device) == 0) ++badHandles_;
}

}  // namespace platform
