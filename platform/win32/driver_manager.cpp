// The real service manager, executable path, architecture query and device open. Thin: every
// call is passed on as it is; INVALID_HANDLE_VALUE becomes null at this edge.

#include "platform/driver_manager.h"

#include <windows.h>

#include <vector>

#include "platform/win32/admin_only.h"

namespace platform {
namespace {

SC_HANDLE Sc(Handle handle) { return static_cast<SC_HANDLE>(handle); }

class Win32DriverManager : public DriverManager {
 public:
  Handle OpenManager(uint32_t access) override {
    return Keep(::OpenSCManagerA(nullptr, nullptr, access));
  }

  Handle CreateDriverService(Handle manager, const char* name, const char* displayName,
                             uint32_t access, uint32_t serviceType, uint32_t startType,
                             uint32_t errorControl, const char* binaryPath) override {
    return Keep(::CreateServiceA(Sc(manager), name, displayName, access, serviceType, startType,
                                 errorControl, binaryPath, nullptr, nullptr, nullptr, nullptr,
                                 nullptr));
  }

  Handle OpenDriverService(Handle manager, const char* name, uint32_t access) override {
    return Keep(::OpenServiceA(Sc(manager), name, access));
  }

  bool StartDriverService(Handle service) override {
    return Keep(::StartServiceA(Sc(service), 0, nullptr));
  }

  bool ControlDriverService(Handle service, uint32_t control) override {
    SERVICE_STATUS status{};
    return Keep(::ControlService(Sc(service), control, &status));
  }

  bool DeleteDriverService(Handle service) override { return Keep(::DeleteService(Sc(service))); }

  std::optional<DriverServiceConfig> QueryDriverServiceConfig(Handle service) override {
    DWORD needed = 0;
    if (!::QueryServiceConfigA(Sc(service), nullptr, 0, &needed) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      lastError_ = ::GetLastError();
      return std::nullopt;
    }
    // QUERY_SERVICE_CONFIGA holds pointers: keep the buffer aligned for them.
    std::vector<QUERY_SERVICE_CONFIGA> buffer(needed / sizeof(QUERY_SERVICE_CONFIGA) + 1);
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(QUERY_SERVICE_CONFIGA));
    if (!Keep(::QueryServiceConfigA(Sc(service), buffer.data(), size, &needed))) {
      return std::nullopt;
    }
    const QUERY_SERVICE_CONFIGA& config = buffer[0];
    return DriverServiceConfig{config.dwServiceType, config.dwStartType,
                               config.lpBinaryPathName ? config.lpBinaryPathName : ""};
  }

  bool ChangeDriverServiceConfig(Handle service, uint32_t serviceType, uint32_t startType,
                                 uint32_t errorControl, const char* binaryPath) override {
    return Keep(::ChangeServiceConfigA(Sc(service), serviceType, startType, errorControl,
                                       binaryPath, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr));
  }

  bool OnlyAdministratorsCanChange(const char* path) override {
    const int length = ::MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (length <= 0) return false;
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length) - 1);
    return win32::OnlyAdministratorsCanChange(wide);
  }

  bool CloseServiceHandle(Handle handle) override { return Keep(::CloseServiceHandle(Sc(handle))); }

  uint32_t LastError() override { return lastError_; }

  std::string HostExecutablePath() override {
    // Long-path-aware hosts can have paths beyond MAX_PATH; grow until the path fits, and let
    // the caller decide what fits its buffers.
    std::vector<char> buffer(MAX_PATH);
    while (buffer.size() <= 32768) {
      const DWORD length =
          ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (length == 0) return {};
      if (length < buffer.size()) return std::string(buffer.data(), length);
      buffer.resize(buffer.size() * 2);
    }
    return {};
  }

  Handle LoadSystemLibrary(const char* name) override {
    return Keep(reinterpret_cast<Handle>(::LoadLibraryA(name)));
  }

  std::optional<uint16_t> NativeProcessorArchitecture(Handle library) override {
    using GetNativeSystemInfoFunction = void(WINAPI*)(LPSYSTEM_INFO);
    FARPROC address = ::GetProcAddress(static_cast<HMODULE>(library), "GetNativeSystemInfo");
    if (address == nullptr) return std::nullopt;
    auto getNativeSystemInfo =
        reinterpret_cast<GetNativeSystemInfoFunction>(reinterpret_cast<void*>(address));
    SYSTEM_INFO info{};
    getNativeSystemInfo(&info);
    return info.wProcessorArchitecture;
  }

  void FreeSystemLibrary(Handle library) override { ::FreeLibrary(static_cast<HMODULE>(library)); }

  Handle OpenDevice(const char* name, uint32_t access, uint32_t share, uint32_t disposition,
                    uint32_t flags) override {
    HANDLE device = ::CreateFileA(name, access, share, nullptr, disposition, flags, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
      lastError_ = ::GetLastError();
      return nullptr;
    }
    return device;
  }

  void CloseDevice(Handle device) override { ::CloseHandle(device); }

 private:
  template <typename T>
  T Keep(T result) {
    if (!result) lastError_ = ::GetLastError();
    return result;
  }

  uint32_t lastError_ = 0;
};

}  // namespace

DriverManager& SystemDriverManager() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new Win32DriverManager();
  return *instance;
}

}  // namespace platform
