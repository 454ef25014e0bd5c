// Port transfers through the port-I/O driver's two control codes.

#include "platform/port_channel.h"

#include <windows.h>

#include <cstring>

#include "platform/win32/scoped_handle.h"

namespace platform {
namespace {

constexpr DWORD kIoctlPortRead = 0x9C402410;   // device 0x9C40, function 0x904, buffered
constexpr DWORD kIoctlPortWrite = 0x9C402414;  // device 0x9C40, function 0x905, buffered
constexpr DWORD kTransferTimeoutMs = 20000;

/// The write request: port at 0, value at 8; the driver reads nothing else.
struct PortWriteRequest {
  uint32_t port;
  uint32_t reserved1;
  uint32_t value;
  uint8_t reserved2[64];
};
static_assert(sizeof(PortWriteRequest) == 76);

/// One transfer, each with its own event; failures leave the zeroed output in place.
uint32_t Transfer(Handle device, DWORD code, void* input, DWORD inputSize) {
  const win32::ScopedKernelHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  // Set at once: a driver that completes synchronously never signals it, and the wait below
  // must not then take its full time.
  ::SetEvent(event.Get());
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.Get();
  uint32_t output = 0;
  DWORD returned = 0;
  ::DeviceIoControl(device, code, input, inputSize, &output, sizeof(output), &returned,
                    &overlapped);
  ::WaitForSingleObject(event.Get(), kTransferTimeoutMs);
  ::ResetEvent(event.Get());
  return output;
}

class Win32PortChannel : public PortChannel {
 public:
  uint32_t ReadPort(Handle device, uint16_t port) override {
    uint16_t request = port;
    return Transfer(device, kIoctlPortRead, &request, sizeof(request));
  }

  uint32_t WritePort(Handle device, uint16_t port, uint32_t value) override {
    PortWriteRequest request;
    std::memset(&request, 0, sizeof(request));
    request.port = port;
    request.value = value;
    return Transfer(device, kIoctlPortWrite, &request, sizeof(request));
  }
};

}  // namespace

PortChannel& SystemPortChannel() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new Win32PortChannel();
  return *instance;
}

}  // namespace platform
