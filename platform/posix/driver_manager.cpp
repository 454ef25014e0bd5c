#include "platform/posix/driver_manager.h"

#include <dirent.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "hwaccess/device_path.h"
#include "platform/posix/own_program.h"

namespace platform {
namespace {

/// What every handle of this binding points at; the kind catches a handle closed by the
/// wrong call.
struct Token {
  enum class Kind { kManager, kService, kLibrary, kDevice } kind;
};

Handle NewToken(Token::Kind kind) { return new Token{kind}; }

bool IsToken(Handle handle, Token::Kind kind) {
  return handle != nullptr && static_cast<Token*>(handle)->kind == kind;
}

}  // namespace

PosixDriverManager::PosixDriverManager(std::string pciRoot) : pciRoot_(std::move(pciRoot)) {}
PosixDriverManager::~PosixDriverManager() = default;

Handle PosixDriverManager::OpenManager(uint32_t /*access*/) {
  return NewToken(Token::Kind::kManager);
}

Handle PosixDriverManager::CreateDriverService(Handle manager, const char* name,
                                               const char* /*displayName*/, uint32_t /*access*/,
                                               uint32_t /*serviceType*/, uint32_t /*startType*/,
                                               uint32_t /*errorControl*/,
                                               const char* /*binaryPath*/) {
  if (!IsToken(manager, Token::Kind::kManager) || name == nullptr) {
    lastError_ = kErrorInvalidHandle;
    return nullptr;
  }
  return NewToken(Token::Kind::kService);
}

Handle PosixDriverManager::OpenDriverService(Handle manager, const char* name,
                                             uint32_t /*access*/) {
  if (!IsToken(manager, Token::Kind::kManager) || name == nullptr) {
    lastError_ = kErrorInvalidHandle;
    return nullptr;
  }
  return NewToken(Token::Kind::kService);
}

bool PosixDriverManager::StartDriverService(Handle service) {
  if (IsToken(service, Token::Kind::kService)) return true;
  lastError_ = kErrorInvalidHandle;
  return false;
}

bool PosixDriverManager::ControlDriverService(Handle service, uint32_t /*control*/) {
  if (IsToken(service, Token::Kind::kService)) return true;
  lastError_ = kErrorInvalidHandle;
  return false;
}

bool PosixDriverManager::DeleteDriverService(Handle service) {
  if (IsToken(service, Token::Kind::kService)) return true;
  lastError_ = kErrorInvalidHandle;
  return false;
}

std::optional<DriverServiceConfig> PosixDriverManager::QueryDriverServiceConfig(Handle service) {
  lastError_ =
      IsToken(service, Token::Kind::kService) ? kErrorServiceDoesNotExist : kErrorInvalidHandle;
  return std::nullopt;
}

bool PosixDriverManager::ChangeDriverServiceConfig(Handle service, uint32_t /*serviceType*/,
                                                   uint32_t /*startType*/,
                                                   uint32_t /*errorControl*/,
                                                   const char* /*binaryPath*/) {
  if (IsToken(service, Token::Kind::kService)) return true;
  lastError_ = kErrorInvalidHandle;
  return false;
}

bool PosixDriverManager::OnlyAdministratorsCanChange(const char* /*path*/) { return true; }

bool PosixDriverManager::CloseServiceHandle(Handle handle) {
  if (!IsToken(handle, Token::Kind::kManager) && !IsToken(handle, Token::Kind::kService)) {
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  delete static_cast<Token*>(handle);
  return true;
}

std::string PosixDriverManager::HostExecutablePath() { return posix::OwnProgramPath(); }

Handle PosixDriverManager::LoadSystemLibrary(const char* /*name*/) {
  return NewToken(Token::Kind::kLibrary);
}

std::optional<uint16_t> PosixDriverManager::NativeProcessorArchitecture(Handle library) {
  if (!IsToken(library, Token::Kind::kLibrary)) return std::nullopt;
  utsname system{};
  if (::uname(&system) != 0) return std::nullopt;
  if (std::strcmp(system.machine, "x86_64") == 0) return kProcessorArchitectureAmd64;
  if (std::strcmp(system.machine, "aarch64") == 0) return kProcessorArchitectureArm64;
  return uint16_t{0};
}

void PosixDriverManager::FreeSystemLibrary(Handle library) {
  if (IsToken(library, Token::Kind::kLibrary)) delete static_cast<Token*>(library);
}

Handle PosixDriverManager::OpenDevice(const char* name, uint32_t /*access*/, uint32_t /*share*/,
                                      uint32_t /*disposition*/, uint32_t /*flags*/) {
  if (name == nullptr || std::strcmp(name, hwaccess::kDriverDevicePath) != 0) {
    lastError_ = kErrorFileNotFound;
    return nullptr;
  }
  DIR* dir = ::opendir(pciRoot_.c_str());
  if (dir == nullptr) {
    lastError_ = kErrorFileNotFound;
    return nullptr;
  }
  ::closedir(dir);
  return NewToken(Token::Kind::kDevice);
}

void PosixDriverManager::CloseDevice(Handle device) {
  if (IsToken(device, Token::Kind::kDevice)) delete static_cast<Token*>(device);
}

DriverManager& SystemDriverManager() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new PosixDriverManager();
  return *instance;
}

}  // namespace platform
