#include "platform/posix/port_channel.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "common/hex_text.h"

namespace platform {
namespace {

constexpr uint32_t kNoFunction = kPciAbsentFunction;
/// Bus, device, function and dword-aligned register of a latched address.
constexpr uint32_t kAddressBits = 0x00FFFFFCu;
constexpr char kFunctionName[] = "/0000:00:00.0/config";
constexpr size_t kBusAt = 6;  ///< where "BB:DD.F" starts in kFunctionName

}  // namespace

SysfsPortChannel::SysfsPortChannel(std::string root, std::chrono::milliseconds maxAge)
    : root_(std::move(root)), path_(root_ + kFunctionName), maxAge_(maxAge) {}

SysfsPortChannel::~SysfsPortChannel() { CloseAll(); }

void SysfsPortChannel::Release(Present& entry) {
  if (entry.fd < 0) return;
  ::close(entry.fd);
  entry.fd = kNotOpened;
  --keptFiles_;
}

void SysfsPortChannel::CloseAll() {
  for (Present& entry : entries_) Release(entry);
  entries_.clear();
}

void SysfsPortChannel::ListFunctions() {
  listedAt_ = std::chrono::steady_clock::now();
  ++listings_;
  listing_.clear();
  if (DIR* dir = ::opendir(root_.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      unsigned domain = 0, bus = 0, device = 0, function = 0;
      char tail = 0;
      if (std::sscanf(entry->d_name, "%4x:%2x:%2x.%1x%c", &domain, &bus, &device, &function,
                      &tail) != 4) {
        continue;
      }
      if (domain != 0 || bus > 255 || device > 31 || function > 7) continue;
      listing_.push_back(
          {static_cast<uint16_t>(bus << 8 | device << 3 | function), entry->d_ino, kNotOpened});
    }
    ::closedir(dir);
  }
  const auto byFunction = [](const Present& a, const Present& b) {
    return a.function < b.function;
  };
  std::sort(listing_.begin(), listing_.end(), byFunction);
  listing_.erase(
      std::unique(listing_.begin(), listing_.end(),
                  [](const Present& a, const Present& b) { return a.function == b.function; }),
      listing_.end());

  // A file stays open only for the same directory entry; a failed one is tried again.
  auto old = entries_.begin();
  for (Present& entry : listing_) {
    for (; old != entries_.end() && old->function < entry.function; ++old) Release(*old);
    if (old != entries_.end() && old->function == entry.function) {
      if (old->fd >= 0 && old->node == entry.node) {
        entry.fd = old->fd;
      } else {
        Release(*old);
      }
      ++old;
    }
  }
  for (; old != entries_.end(); ++old) Release(*old);
  entries_.swap(listing_);

  present_.fill(0);
  for (const Present& entry : entries_) {
    present_[entry.function >> 6] |= uint64_t{1} << (entry.function & 63);
  }
  uint16_t below = 0;
  for (size_t word = 0; word < present_.size(); ++word) {
    rankBase_[word] = below;
    below = static_cast<uint16_t>(below + std::popcount(present_[word]));
  }
}

uint32_t SysfsPortChannel::ReadPresent(Present& entry, uint32_t reg) {
  if (entry.fd == kUnreadable) return kNoFunction;
  int fd = entry.fd;
  if (fd == kNotOpened) {
    char* const bus = path_.data() + root_.size() + kBusAt;
    common::PutHex(bus, entry.function >> 8, 2, common::HexCase::kLower);
    common::PutHex(bus + 3, (entry.function >> 3) & 31, 2, common::HexCase::kLower);
    common::PutHex(bus + 6, entry.function & 7, 1, common::HexCase::kLower);
    fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      entry.fd = kUnreadable;
      return kNoFunction;
    }
    if (keptFiles_ < kMaxKeptFiles) {
      entry.fd = fd;
      ++keptFiles_;
    }
  }
  uint8_t bytes[4] = {};
  const ssize_t got = ::pread(fd, bytes, sizeof(bytes), reg);
  if (entry.fd != fd) {
    ::close(fd);
  } else if (got < 0) {
    // Sysfs fails reads of a removed function's file: gone until a listing shows it again.
    Release(entry);
    entry.fd = kUnreadable;
  }
  if (got < 0) return kNoFunction;
  if (got != static_cast<ssize_t>(sizeof(bytes))) return 0;
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint32_t SysfsPortChannel::ReadConfig(uint32_t address) {
  // Every scan starts at register 0x00 of 00:00.0. Otherwise the clock is read only when the
  // walk does not go on upwards.
  if (address == 0) {
    ListFunctions();
  } else if (address <= lastAddress_ && std::chrono::steady_clock::now() - listedAt_ > maxAge_) {
    ListFunctions();
  }
  lastAddress_ = address;
  const auto function = static_cast<uint16_t>(address >> 8);
  if (!IsPresent(function)) return kNoFunction;
  return ReadPresent(EntryOf(function), address & 0xFC);
}

uint32_t SysfsPortChannel::ReadPort(Handle device, uint16_t port) {
  if (device == nullptr) return 0;
  if (port != kPciConfigDataPort) return port == kPciConfigAddressPort ? latch_ : 0;
  if ((latch_ & kPciConfigEnable) == 0) return kNoFunction;
  const uint32_t address = latch_ & kAddressBits;
  // The common case of a scan, kept free of calls: an absent function further up the walk.
  if (address > lastAddress_ && !IsPresent(static_cast<uint16_t>(address >> 8))) {
    lastAddress_ = address;
    return kNoFunction;
  }
  return ReadConfig(address);
}

uint32_t SysfsPortChannel::WritePort(Handle device, uint16_t port, uint32_t value) {
  if (device != nullptr && port == kPciConfigAddressPort) latch_ = value;
  return 0;
}

uint32_t SysfsPortChannel::FindFunction(Handle device, uint32_t first, uint32_t end, uint8_t reg,
                                        uint32_t wanted) {
  end = std::min<uint32_t>(end, kFunctions);
  if (device == nullptr || first >= end || wanted == kNoFunction) {
    return PortChannel::FindFunction(device, first, end, reg, wanted);
  }
  reg &= 0xFC;
  const auto addressOf = [reg](uint32_t function) { return function << 8 | reg; };
  // The first read as ReadPort makes it: it may start a scan and list the functions anew.
  // The rest walk upwards, where an absent function is answered from the map, so only the
  // present ones are read, each as its own transfer would read it.
  const auto found = [&](uint32_t function) {
    latch_ = kPciConfigEnable | addressOf(function);
    return function;
  };
  if (ReadConfig(addressOf(first)) == wanted) return found(first);
  for (uint32_t word = (first + 1) / 64; word * 64 < end; ++word) {
    uint64_t bits = present_[word];
    if (word == (first + 1) / 64) bits &= ~uint64_t{0} << ((first + 1) % 64);
    for (; bits != 0; bits &= bits - 1) {
      const uint32_t function = word * 64 + static_cast<uint32_t>(std::countr_zero(bits));
      if (function >= end) break;
      if (ReadConfig(addressOf(function)) == wanted) return found(function);
    }
  }
  // Where the walk would have left the latch and the last address read.
  lastAddress_ = addressOf(end - 1);
  latch_ = kPciConfigEnable | lastAddress_;
  return end;
}

PortChannel& SystemPortChannel() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new SysfsPortChannel();
  return *instance;
}

}  // namespace platform
