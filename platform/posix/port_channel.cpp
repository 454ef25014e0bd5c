#include "platform/posix/port_channel.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace platform {
namespace {

constexpr uint32_t kEnableBit = 0x80000000u;
constexpr uint32_t kNoFunction = 0xFFFFFFFFu;

}  // namespace

SysfsPortChannel::SysfsPortChannel(std::string root, std::chrono::milliseconds maxAge)
    : root_(std::move(root)), maxAge_(maxAge), present_(65536 / 64, 0) {}

SysfsPortChannel::~SysfsPortChannel() = default;

void SysfsPortChannel::ListFunctions() {
  std::fill(present_.begin(), present_.end(), 0);
  listedAt_ = std::chrono::steady_clock::now();
  ++listings_;
  DIR* dir = ::opendir(root_.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    unsigned domain = 0, bus = 0, device = 0, function = 0;
    char tail = 0;
    if (std::sscanf(entry->d_name, "%4x:%2x:%2x.%1x%c", &domain, &bus, &device, &function, &tail) !=
        4) {
      continue;
    }
    if (domain != 0 || bus > 255 || device > 31 || function > 7) continue;
    const unsigned key = bus << 8 | device << 3 | function;
    present_[key >> 6] |= uint64_t{1} << (key & 63);
  }
  ::closedir(dir);
}

uint32_t SysfsPortChannel::ReadConfig(uint16_t function, uint32_t reg) {
  if (function == 0 && reg == 0) {
    ListFunctions();
  } else if (std::chrono::steady_clock::now() - listedAt_ > maxAge_) {
    ListFunctions();
  }
  if (!Present(function)) return kNoFunction;
  // Opened for each read: only present functions get here (a few dozen reads per scan), and a
  // function removed since the listing then answers as an absent one.
  char name[32];
  std::snprintf(name, sizeof(name), "/0000:%02x:%02x.%x/config", function >> 8,
                (function >> 3) & 31, function & 7);
  const int fd = ::open((root_ + name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kNoFunction;
  uint8_t bytes[4] = {};
  const ssize_t got = ::pread(fd, bytes, sizeof(bytes), reg);
  ::close(fd);
  if (got < 0) return kNoFunction;
  if (got != static_cast<ssize_t>(sizeof(bytes))) return 0;
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint32_t SysfsPortChannel::ReadPort(Handle device, uint16_t port) {
  if (device == nullptr) return 0;
  if (port == kPciConfigAddressPort) return latch_;
  if (port != kPciConfigDataPort) return 0;
  if ((latch_ & kEnableBit) == 0) return kNoFunction;
  return ReadConfig(static_cast<uint16_t>((latch_ >> 8) & 0xFFFF), latch_ & 0xFC);
}

uint32_t SysfsPortChannel::WritePort(Handle device, uint16_t port, uint32_t value) {
  if (device != nullptr && port == kPciConfigAddressPort) latch_ = value;
  return 0;
}

PortChannel& SystemPortChannel() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new SysfsPortChannel();
  return *instance;
}

}  // namespace platform
