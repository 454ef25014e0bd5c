#include "platform/posix/device_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

#include "common/hex_text.h"

namespace platform {
namespace fs = std::filesystem;

namespace {

thread_local uint32_t lastError = 0;

uint32_t FromErrno(int error) {
  switch (error) {
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EINVAL:
      return kErrorInvalidParameter;
    case EBUSY:
      return kErrorBusy;
    case ENODEV:
    case ENXIO:
      return kErrorNoSuchDevinst;
    default:
      return kErrorGenFailure;
  }
}

/// The texts of the codes above, in the system's form (ending in a line break).
const std::map<uint32_t, std::u16string_view>& ErrorTexts() {
  static const std::map<uint32_t, std::u16string_view> texts = {
      {0, u"The operation completed successfully.\r\n"},
      {kErrorFileNotFound, u"The system cannot find the file specified.\r\n"},
      {kErrorPathNotFound, u"The system cannot find the path specified.\r\n"},
      {kErrorAccessDenied, u"Access is denied.\r\n"},
      {kErrorInvalidHandle, u"The handle is invalid.\r\n"},
      {kErrorNotEnoughMemory, u"Not enough memory is available for this operation.\r\n"},
      {kErrorInvalidData, u"The data is invalid.\r\n"},
      {kErrorGenFailure, u"A device attached to the system is not functioning.\r\n"},
      {kErrorInvalidParameter, u"The parameter is incorrect.\r\n"},
      {kErrorInsufficientBuffer, u"The data area passed to a system call is too small.\r\n"},
      {kErrorBusy, u"The requested resource is in use.\r\n"},
      {kErrorNoMoreItems, u"No more data is available.\r\n"},
      {kErrorNoSuchDevinst, u"The device is no longer present.\r\n"},
      {kErrorNoClassInstallParams, u"No state change has been prepared for the device.\r\n"},
  };
  return texts;
}

/// An attribute's first line, or nothing when it cannot be read. Attributes are small and
/// read in one go, as the kernel hands them out.
std::optional<std::string> ReadAttribute(const fs::path& file) {
  const int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return std::nullopt;
  char text[256];
  const ssize_t length = ::read(descriptor, text, sizeof text);
  ::close(descriptor);
  if (length < 0) return std::nullopt;
  std::string line(text, static_cast<std::size_t>(length));
  line.erase(std::min(line.find('\n'), line.size()));
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

/// A hexadecimal attribute ("0x8086"), or nothing.
std::optional<uint32_t> ReadHex(const fs::path& file) {
  const auto text = ReadAttribute(file);
  if (!text) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text->c_str(), &end, 16);
  if (errno != 0 || end == text->c_str()) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::string Hex(uint32_t value, int digits) { return common::HexText(value, digits); }

/// The UTF-16LE bytes of ASCII strings, each NUL-terminated, plus the closing NUL when
/// `multi` is set.
std::vector<std::byte> Utf16Bytes(const std::vector<std::string>& strings, bool multi) {
  std::vector<std::byte> bytes;
  const auto put = [&bytes](char c) {
    bytes.push_back(static_cast<std::byte>(static_cast<unsigned char>(c)));
    bytes.push_back(std::byte{0});
  };
  for (const std::string& text : strings) {
    for (char c : text) put(c);
    put('\0');
  }
  if (multi) put('\0');
  return bytes;
}

std::optional<std::string> BoundDriver(const fs::path& function) {
  std::error_code error;
  const fs::path target = fs::read_symlink(function / "driver", error);
  if (error) return std::nullopt;
  return target.filename().string();
}

bool Blocked(const fs::path& function) {
  const auto value = ReadAttribute(function / "driver_override");
  return value && *value == SysfsDeviceTree::kBlockingOverride;
}

}  // namespace

struct SysfsDeviceTree::List {
  std::vector<uint32_t> devInsts;
  std::map<uint32_t, StateChangeParams> params;
  /// A function's IDs do not change while it is present: built once per list, since every
  /// read is made twice (once for the size).
  std::map<uint32_t, std::vector<std::byte>> hardwareIds;
};

SysfsDeviceTree::SysfsDeviceTree(fs::path root, SysfsWriteHook afterWrite)
    : root_(std::move(root)), afterWrite_(std::move(afterWrite)) {}

SysfsDeviceTree::~SysfsDeviceTree() {
  for (List* list : openLists_) delete list;
}

bool SysfsDeviceTree::Fail(uint32_t error) {
  lastError = error;
  return false;
}

uint32_t SysfsDeviceTree::LastError() { return lastError; }
void SysfsDeviceTree::SetLastError(uint32_t code) { lastError = code; }

fs::path SysfsDeviceTree::FunctionDir(const std::string& address) const {
  return root_ / "bus/pci/devices" / address;
}

uint32_t SysfsDeviceTree::DevInstOf(const std::string& address) {
  std::lock_guard lock(mutex_);
  const auto known = std::find(addresses_.begin(), addresses_.end(), address);
  if (known != addresses_.end()) return static_cast<uint32_t>(known - addresses_.begin()) + 1;
  addresses_.push_back(address);
  return static_cast<uint32_t>(addresses_.size());
}

std::string SysfsDeviceTree::AddressOf(uint32_t devInst) {
  std::lock_guard lock(mutex_);
  if (devInst == 0 || devInst > addresses_.size()) return {};
  return addresses_[devInst - 1];
}

SysfsDeviceTree::List* SysfsDeviceTree::OpenList(DeviceList list) {
  std::lock_guard lock(mutex_);
  const auto open = openLists_.find(static_cast<List*>(list));
  return open == openLists_.end() ? nullptr : *open;
}

bool SysfsDeviceTree::FunctionOf(DeviceList list, const DeviceRecord& record,
                                 std::string& address) {
  List* open = OpenList(list);
  if (open == nullptr) return Fail(kErrorInvalidHandle);
  if (std::find(open->devInsts.begin(), open->devInsts.end(), record.devInst) ==
      open->devInsts.end()) {
    return Fail(kErrorNoSuchDevinst);
  }
  address = AddressOf(record.devInst);
  return true;
}

DeviceList SysfsDeviceTree::GetPresentDevices() {
  std::error_code error;
  std::vector<std::string> addresses;
  for (fs::directory_iterator entry(root_ / "bus/pci/devices", error), end; !error && entry != end;
       entry.increment(error)) {
    addresses.push_back(entry->path().filename().string());
  }
  if (error) {
    Fail(FromErrno(error.value()));
    return nullptr;
  }
  // Fixed-width addresses sort as domain, bus, device, function.
  std::sort(addresses.begin(), addresses.end());
  auto list = std::make_unique<List>();
  for (const std::string& address : addresses) list->devInsts.push_back(DevInstOf(address));
  std::lock_guard lock(mutex_);
  openLists_.insert(list.get());
  return list.release();
}

bool SysfsDeviceTree::EnumDevice(DeviceList list, uint32_t index, DeviceRecord& record) {
  List* open = OpenList(list);
  if (open == nullptr) return Fail(kErrorInvalidHandle);
  if (index >= open->devInsts.size()) return Fail(kErrorNoMoreItems);
  record.devInst = open->devInsts[index];
  record.reserved = reinterpret_cast<uintptr_t>(open);
  return true;
}

bool SysfsDeviceTree::ReadProperty(DeviceList list, const DeviceRecord& record, uint32_t property,
                                   std::span<std::byte> buffer, uint32_t* requiredSize) {
  std::string address;
  if (!FunctionOf(list, record, address)) return false;
  const fs::path function = FunctionDir(address);

  std::vector<std::byte> data;
  switch (property) {
    case kPropertyHardwareId: {
      List* open = OpenList(list);
      if (const auto cached = open->hardwareIds.find(record.devInst);
          cached != open->hardwareIds.end()) {
        data = cached->second;
        break;
      }
      const auto vendor = ReadHex(function / "vendor");
      const auto device = ReadHex(function / "device");
      if (!vendor || !device) return Fail(kErrorNoSuchDevinst);  // the function has gone
      const std::string base = "PCI\\VEN_" + Hex(*vendor, 4) + "&DEV_" + Hex(*device, 4);
      const std::string subsystem = "&SUBSYS_" +
                                    Hex(ReadHex(function / "subsystem_device").value_or(0), 4) +
                                    Hex(ReadHex(function / "subsystem_vendor").value_or(0), 4);
      const std::string revision = "&REV_" + Hex(ReadHex(function / "revision").value_or(0), 2);
      const uint32_t classCode = ReadHex(function / "class").value_or(0);
      data = Utf16Bytes({base + subsystem + revision, base + subsystem, base + revision, base,
                         base + "&CC_" + Hex(classCode, 6), base + "&CC_" + Hex(classCode >> 8, 4)},
                        true);
      open->hardwareIds[record.devInst] = data;
      break;
    }
    case kPropertyDriver: {
      const auto driver = BoundDriver(function);
      if (driver) {
        data = Utf16Bytes({*driver}, false);
      } else if (Blocked(function)) {
        data = Utf16Bytes({std::string(kBlockingOverride)}, false);
      } else {
        return Fail(kErrorInvalidData);
      }
      break;
    }
    case kPropertyDeviceDesc: {
      const auto vendor = ReadHex(function / "vendor");
      const auto device = ReadHex(function / "device");
      if (!vendor || !device) return Fail(kErrorNoSuchDevinst);
      data = Utf16Bytes(
          {"PCI device " + Hex(*vendor, 4) + ":" + Hex(*device, 4) + " at " + address}, false);
      break;
    }
    default:
      return Fail(kErrorInvalidData);
  }

  if (requiredSize != nullptr) *requiredSize = static_cast<uint32_t>(data.size());
  if (buffer.size() < data.size()) return Fail(kErrorInsufficientBuffer);
  std::copy(data.begin(), data.end(), buffer.begin());
  return true;
}

bool SysfsDeviceTree::SetStateChangeParams(DeviceList list, DeviceRecord& record,
                                           const StateChangeParams& params) {
  std::string address;
  if (!FunctionOf(list, record, address)) return false;
  const bool known = params.stateChange == kDicsEnable || params.stateChange == kDicsDisable ||
                     params.stateChange == kDicsStart || params.stateChange == kDicsStop;
  if (params.headerSize != 8 || params.installFunction != kDifPropertyChange || !known) {
    return Fail(kErrorInvalidParameter);
  }
  OpenList(list)->params[record.devInst] = params;
  return true;
}

bool SysfsDeviceTree::CallClassInstaller(uint32_t installFunction, DeviceList list,
                                         DeviceRecord& record) {
  std::string address;
  if (!FunctionOf(list, record, address)) return false;
  List* open = OpenList(list);
  const auto stored = open->params.find(record.devInst);
  if (installFunction != kDifPropertyChange || stored == open->params.end()) {
    return Fail(kErrorNoClassInstallParams);
  }
  const fs::path function = FunctionDir(address);
  switch (stored->second.stateChange) {
    case kDicsStop:
      if (!BoundDriver(function)) return true;  // nothing runs
      return Write(function / "driver/unbind", address);
    case kDicsDisable:
      // Block first, so that nothing binds between the unbind and the block.
      if (!Write(function / "driver_override", kBlockingOverride)) return false;
      if (!BoundDriver(function)) return true;
      return Write(function / "driver/unbind", address);
    case kDicsEnable:
      if (!Blocked(function)) return true;
      return Write(function / "driver_override", "\n");
    case kDicsStart:
      if (BoundDriver(function)) return true;
      return Write(root_ / "bus/pci/drivers_probe", address);
    default:
      return Fail(kErrorInvalidParameter);
  }
}

bool SysfsDeviceTree::Write(const fs::path& attribute, std::string_view value) {
  // Only attributes that exist are written: nothing is ever created under the root.
  const int file = ::open(attribute.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (file < 0) return Fail(FromErrno(errno));
  const ssize_t written = ::write(file, value.data(), value.size());
  const int writeError = errno;
  ::close(file);
  if (afterWrite_) afterWrite_(attribute, value);
  if (written < 0) return Fail(FromErrno(writeError));
  if (static_cast<std::size_t>(written) != value.size()) return Fail(kErrorGenFailure);
  return true;
}

bool SysfsDeviceTree::GetNodeStatus(uint32_t devInst, uint32_t& status, uint32_t& problem) {
  if (devInst == 0) {  // the root is always there and running
    status = kDnDriverLoaded | kDnStarted;
    problem = 0;
    return true;
  }
  const std::string address = AddressOf(devInst);
  std::error_code error;
  if (address.empty() || !fs::exists(FunctionDir(address), error)) return false;
  const fs::path function = FunctionDir(address);
  if (BoundDriver(function)) {
    status = kDnDriverLoaded | kDnStarted;
    problem = 0;
  } else {
    status = kDnHasProblem;
    problem = Blocked(function) ? kProblemDisabled : kProblemFailedInstall;
  }
  return true;
}

uint32_t SysfsDeviceTree::LocateRootNode(uint32_t& rootDevInst) {
  rootDevInst = 0;
  return kCrSuccess;
}

uint32_t SysfsDeviceTree::ReenumerateNode(uint32_t devInst) {
  if (devInst == 0) return Write(root_ / "bus/pci/rescan", "1") ? kCrSuccess : kCrFailure;
  const std::string address = AddressOf(devInst);
  if (address.empty()) return kCrFailure;
  return Write(FunctionDir(address) / "rescan", "1") ? kCrSuccess : kCrFailure;
}

void SysfsDeviceTree::DestroyList(DeviceList list) {
  std::lock_guard lock(mutex_);
  if (openLists_.erase(static_cast<List*>(list)) == 0) {
    lastError = kErrorInvalidHandle;
    return;
  }
  delete static_cast<List*>(list);
}

std::optional<std::u16string> SysfsDeviceTree::SystemErrorText(uint32_t code) {
  const auto& texts = ErrorTexts();
  const auto text = texts.find(code);
  if (text == texts.end()) return std::nullopt;
  return std::u16string(text->second);
}

DeviceTree& SystemDeviceTree() {
  // Never destroyed: the service thread or a worker may still use it while the process exits.
  static auto* instance = new SysfsDeviceTree();
  return *instance;
}

}  // namespace platform
