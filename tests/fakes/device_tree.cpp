#include "tests/fakes/device_tree.h"

#include <algorithm>
#include <cstring>

namespace platform {
namespace {

const char* PropertyName(uint32_t property) {
  switch (property) {
    case kPropertyHardwareId:
      return "hardware-id";
    case kPropertyDriver:
      return "driver";
    case kPropertyDeviceDesc:
      return "description";
    default:
      return "other";
  }
}

const char* StateChangeName(uint32_t stateChange) {
  switch (stateChange) {
    case kDicsEnable:
      return "enable";
    case kDicsDisable:
      return "disable";
    case kDicsStart:
      return "start";
    case kDicsStop:
      return "stop";
    default:
      return "unknown";
  }
}

std::string NodeName(std::size_t index) { return "node " + std::to_string(index); }

std::vector<std::byte> TextBytes(std::u16string_view text) {
  std::u16string terminated(text);
  terminated.push_back(u'\0');
  return FakeDeviceTree::RawUtf16(terminated);
}

}  // namespace

std::vector<std::byte> FakeDeviceTree::MultiSz(std::initializer_list<std::u16string_view> ids) {
  std::u16string units;
  for (std::u16string_view id : ids) {
    units += id;
    units.push_back(u'\0');
  }
  units.push_back(u'\0');
  return RawUtf16(units);
}

std::vector<std::byte> FakeDeviceTree::RawUtf16(std::u16string_view units) {
  std::vector<std::byte> bytes;
  bytes.reserve(units.size() * 2);
  for (char16_t unit : units) {
    bytes.push_back(static_cast<std::byte>(unit & 0xFF));
    bytes.push_back(static_cast<std::byte>(unit >> 8));
  }
  return bytes;
}

std::size_t FakeDeviceTree::AddNode(FakeDeviceNode node) {
  nodes_.push_back(std::move(node));
  return nodes_.size() - 1;
}

std::size_t FakeDeviceTree::AddNode(std::initializer_list<std::u16string_view> hardwareIds) {
  FakeDeviceNode node;
  node.hardwareIds = MultiSz(hardwareIds);
  return AddNode(std::move(node));
}

bool FakeDeviceTree::Fail(uint32_t error) {
  lastError_ = error;
  return false;
}

FakeDeviceNode* FakeDeviceTree::NodeOf(DeviceList list, const DeviceRecord& record) {
  if (!openLists_.contains(list) || record.devInst == kRootDevInst ||
      record.devInst > nodes_.size()) {
    return nullptr;
  }
  return &nodes_[record.devInst - 1];
}

DeviceList FakeDeviceTree::GetPresentDevices() {
  calls_.push_back("GetPresentDevices");
  if (listCreationError_ != 0) {
    Fail(listCreationError_);
    return nullptr;
  }
  auto list = reinterpret_cast<DeviceList>(nextList_);
  nextList_ += 0x10;
  openLists_.insert(list);
  ++listsCreated_;
  return list;
}

bool FakeDeviceTree::EnumDevice(DeviceList list, uint32_t index, DeviceRecord& record) {
  calls_.push_back("EnumDevice(" + std::to_string(index) + ")");
  if (!openLists_.contains(list)) return Fail(kErrorInvalidHandle);
  if (index >= nodes_.size()) return Fail(kErrorNoMoreItems);
  record.devInst = index + 1;
  record.reserved = reinterpret_cast<uintptr_t>(list);
  return true;
}

bool FakeDeviceTree::ReadProperty(DeviceList list, const DeviceRecord& record, uint32_t property,
                                  std::span<std::byte> buffer, uint32_t* requiredSize) {
  calls_.push_back("ReadProperty(" + NodeName(record.devInst - 1) + ", " + PropertyName(property) +
                   ", " + std::to_string(buffer.size()) + ")");
  FakeDeviceNode* node = NodeOf(list, record);
  if (node == nullptr) return Fail(kErrorNoSuchDevinst);

  std::vector<std::byte> data;
  bool undersize = false;
  switch (property) {
    case kPropertyHardwareId:
      hardwareIdReadSizes_.push_back(buffer.size());
      if (node->hardwareIdReadError != 0) return Fail(node->hardwareIdReadError);
      if (!node->hardwareIds) return Fail(kErrorInvalidData);
      data = *node->hardwareIds;
      undersize = node->undersizedReplies > 0;
      break;
    case kPropertyDriver:
      if (node->driverReadError != 0) return Fail(node->driverReadError);
      if (!node->driverKey) return Fail(kErrorInvalidData);
      data = TextBytes(*node->driverKey);
      break;
    case kPropertyDeviceDesc:
      if (!node->description) return Fail(kErrorInvalidData);
      data = TextBytes(*node->description);
      break;
    default:
      return Fail(kErrorInvalidData);
  }

  if (buffer.size() < data.size()) {
    std::size_t reported = data.size();
    if (undersize) {
      --node->undersizedReplies;
      reported = data.size() >= 2 ? data.size() - 2 : 0;
    }
    if (requiredSize != nullptr) *requiredSize = static_cast<uint32_t>(reported);
    return Fail(kErrorInsufficientBuffer);
  }
  if (!data.empty()) std::memcpy(buffer.data(), data.data(), data.size());
  if (requiredSize != nullptr) *requiredSize = static_cast<uint32_t>(data.size());
  return true;
}

bool FakeDeviceTree::SetStateChangeParams(DeviceList list, DeviceRecord& record,
                                          const StateChangeParams& params) {
  calls_.push_back("SetStateChangeParams(" + NodeName(record.devInst - 1) + ", " +
                   StateChangeName(params.stateChange) + ")");
  paramsGiven_.push_back(params);
  FakeDeviceNode* node = NodeOf(list, record);
  if (node == nullptr) return Fail(kErrorNoSuchDevinst);
  if (params.headerSize != 8 || params.installFunction != kDifPropertyChange ||
      params.scope != kDicsFlagConfigSpecific || params.hwProfile != 0) {
    return Fail(kErrorInvalidParameter);
  }
  if (node->refuseParamsFor.contains(params.stateChange)) return Fail(kErrorNoClassInstallParams);
  storedParams_[{list, record.devInst}] = params;
  return true;
}

bool FakeDeviceTree::CallClassInstaller(uint32_t installFunction, DeviceList list,
                                        DeviceRecord& record) {
  calls_.push_back("CallClassInstaller(" + NodeName(record.devInst - 1) + ")");
  FakeDeviceNode* node = NodeOf(list, record);
  if (node == nullptr) return Fail(kErrorNoSuchDevinst);
  const auto stored = storedParams_.find({list, record.devInst});
  if (installFunction != kDifPropertyChange || stored == storedParams_.end()) {
    return Fail(kErrorNoClassInstallParams);
  }
  if (everyClassInstallerFails_ || node->classInstallerFails) {
    return Fail(kErrorDiDoDefault);
  }
  Apply(record.devInst - 1, stored->second.stateChange);
  return true;
}

void FakeDeviceTree::Apply(std::size_t index, uint32_t stateChange) {
  FakeDeviceNode& node = nodes_[index];
  stateChanges_.push_back(NodeName(index) + ": " + StateChangeName(stateChange));
  const auto setProblem = [&node](uint32_t problem) {
    node.status &= ~(kDnStarted | kDnDriverLoaded);
    node.status |= kDnHasProblem;
    node.problem = problem;
  };
  switch (stateChange) {
    case kDicsStop:
      if (!node.stopLeavesStarted) node.status &= ~kDnStarted;
      break;
    case kDicsDisable:
      setProblem(kProblemDisabled);
      break;
    case kDicsEnable:
      if (node.problem == kProblemDisabled) {
        node.problem = 0;
        node.status &= ~kDnHasProblem;
      }
      break;
    case kDicsStart:
      if (node.problem == kProblemDisabled) break;
      if (node.startAlwaysLeavesProblem ||
          (node.startProblemUntilReenumerated && !node.reenumerated)) {
        setProblem(kProblemFailedStart);
      } else {
        node.status = (node.status & ~kDnHasProblem) | kDnStarted | kDnDriverLoaded;
        node.problem = 0;
      }
      break;
    default:
      break;
  }
}

bool FakeDeviceTree::GetNodeStatus(uint32_t devInst, uint32_t& status, uint32_t& problem) {
  calls_.push_back("GetNodeStatus(" + NodeName(devInst - 1) + ")");
  if (devInst == kRootDevInst || devInst > nodes_.size()) return false;
  const FakeDeviceNode& node = nodes_[devInst - 1];
  if (node.statusFails) return false;
  if (node.statusUnwritten) return true;
  status = node.status;
  problem = node.problem;
  return true;
}

uint32_t FakeDeviceTree::LocateRootNode(uint32_t& rootDevInst) {
  calls_.push_back("LocateRootNode");
  rootDevInst = kRootDevInst;
  return 0;
}

uint32_t FakeDeviceTree::ReenumerateNode(uint32_t devInst) {
  calls_.push_back(devInst == kRootDevInst ? std::string("ReenumerateNode(root)")
                                           : "ReenumerateNode(" + NodeName(devInst - 1) + ")");
  if (devInst == kRootDevInst) {
    ++reenumerations_;
    for (FakeDeviceNode& node : nodes_) node.reenumerated = true;
  }
  return 0;
}

void FakeDeviceTree::DestroyList(DeviceList list) {
  calls_.push_back("DestroyList");
  if (openLists_.erase(list) == 0) {
    ++badDestroys_;
    Fail(kErrorInvalidHandle);
    return;
  }
  ++listsDestroyed_;
  std::erase_if(storedParams_, [list](const auto& entry) { return entry.first.first == list; });
  lastError_ = 0;  // a successful system call may reset the last error
  if (!keepHistory_) {
    calls_.clear();
    stateChanges_.clear();
    paramsGiven_.clear();
    hardwareIdReadSizes_.clear();
  }
}

std::optional<std::u16string> FakeDeviceTree::SystemErrorText(uint32_t code) {
  calls_.push_back("SystemErrorText(" + std::to_string(code) + ")");
  const auto text = errorTexts_.find(code);
  if (text == errorTexts_.end()) return std::nullopt;
  return text->second;
}

}  // namespace platform
