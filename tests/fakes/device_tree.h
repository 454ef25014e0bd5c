#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/device_tree.h"

namespace platform {

/// One device node of the fake tree, with the behaviour tests script for it.
struct FakeDeviceNode {
  /// The raw SPDRP_HARDWAREID bytes, so malformed lists can be tested. Nothing: no such
  /// property (ERROR_INVALID_DATA).
  std::optional<std::vector<std::byte>> hardwareIds;
  /// SPDRP_DRIVER text; nothing: the node has no driver key.
  std::optional<std::u16string> driverKey = u"{4d36e97d-e325-11ce-bfc1-08002be10318}\\0042";
  /// SPDRP_DEVICEDESC text; nothing: no description.
  std::optional<std::u16string> description;
  uint32_t status = kDnDriverLoaded | kDnStarted;
  uint32_t problem = 0;

  // Scripted behaviour.
  bool stopLeavesStarted = false;              ///< a stop is carried out but the node keeps running
  bool startProblemUntilReenumerated = false;  ///< a start leaves a problem until re-enumeration
  bool startAlwaysLeavesProblem = false;       ///< every start leaves a problem
  bool classInstallerFails = false;            ///< the class installer fails and changes nothing
  std::set<uint32_t> refuseParamsFor;          ///< DICS_ codes whose parameters cannot be stored
  uint32_t hardwareIdReadError = 0;  ///< when not 0, hardware-ID reads fail with this code
  uint32_t driverReadError = 0;      ///< when not 0, driver-key reads fail with this code
  int undersizedReplies = 0;         ///< this many size replies name 2 bytes too few (more retries)
  bool statusFails = false;          ///< CM_Get_DevNode_Status fails
  bool statusUnwritten = false;      ///< CM_Get_DevNode_Status succeeds without writing (as Wine)

  // Kept by the fake.
  bool reenumerated = false;
};

/// An in-memory device tree with scriptable failures and a call log. Lists are books: each
/// one created must be destroyed exactly once. Node i has DevInst i + 1; the root has 0.
class FakeDeviceTree : public DeviceTree {
 public:
  static constexpr uint32_t kRootDevInst = 0;

  /// A well-formed hardware-ID list: each ID NUL-terminated, the list ending in an extra NUL.
  static std::vector<std::byte> MultiSz(std::initializer_list<std::u16string_view> ids);
  /// The UTF-16LE bytes of `units` exactly, with no terminator added.
  static std::vector<std::byte> RawUtf16(std::u16string_view units);

  /// Adds a node and answers its index.
  std::size_t AddNode(FakeDeviceNode node);
  /// Adds a started node with a driver key and the given hardware IDs.
  std::size_t AddNode(std::initializer_list<std::u16string_view> hardwareIds);
  FakeDeviceNode& Node(std::size_t index) { return nodes_.at(index); }

  /// The next list creations fail with `error` (0: they succeed again).
  void FailListCreation(uint32_t error) { listCreationError_ = error; }
  /// Every class-installer call fails.
  void FailEveryClassInstallerCall() { everyClassInstallerFails_ = true; }
  /// The system's text for an error code; codes without one get no text.
  void SetErrorText(uint32_t code, std::u16string text) { errorTexts_[code] = std::move(text); }
  /// For hosts that run for a long time (the simulated machine): the books below are emptied
  /// whenever a list is destroyed, so they hold one operation at most instead of growing for
  /// ever. The counters keep counting.
  void KeepNoHistory() { keepHistory_ = false; }

  /// Every call made, in order, e.g. "ReadProperty(node 0, hardware-id, 0)".
  const std::vector<std::string>& Calls() const { return calls_; }
  /// The state changes carried out by the class installer, e.g. "node 1: stop".
  const std::vector<std::string>& StateChanges() const { return stateChanges_; }
  /// The parameters of every SetStateChangeParams call, refused ones included, in order.
  const std::vector<StateChangeParams>& ParamsGiven() const { return paramsGiven_; }
  /// The buffer sizes of every hardware-ID read, in order.
  const std::vector<std::size_t>& HardwareIdReadSizes() const { return hardwareIdReadSizes_; }
  int ListsCreated() const { return listsCreated_; }
  int ListsDestroyed() const { return listsDestroyed_; }
  int BadDestroys() const { return badDestroys_; }
  std::size_t OpenLists() const { return openLists_.size(); }
  int Reenumerations() const { return reenumerations_; }

  // DeviceTree
  DeviceList GetPresentDevices() override;
  bool EnumDevice(DeviceList list, uint32_t index, DeviceRecord& record) override;
  bool ReadProperty(DeviceList list, const DeviceRecord& record, uint32_t property,
                    std::span<std::byte> buffer, uint32_t* requiredSize) override;
  bool SetStateChangeParams(DeviceList list, DeviceRecord& record,
                            const StateChangeParams& params) override;
  bool CallClassInstaller(uint32_t installFunction, DeviceList list, DeviceRecord& record) override;
  bool GetNodeStatus(uint32_t devInst, uint32_t& status, uint32_t& problem) override;
  uint32_t LocateRootNode(uint32_t& rootDevInst) override;
  uint32_t ReenumerateNode(uint32_t devInst) override;
  void DestroyList(DeviceList list) override;
  uint32_t LastError() override { return lastError_; }
  void SetLastError(uint32_t code) override { lastError_ = code; }
  std::optional<std::u16string> SystemErrorText(uint32_t code) override;

 private:
  FakeDeviceNode* NodeOf(DeviceList list, const DeviceRecord& record);
  bool Fail(uint32_t error);
  void Apply(std::size_t index, uint32_t stateChange);

  std::vector<FakeDeviceNode> nodes_;
  std::set<DeviceList> openLists_;
  std::map<std::pair<DeviceList, uint32_t>, StateChangeParams> storedParams_;
  std::map<uint32_t, std::u16string> errorTexts_;
  std::vector<std::string> calls_;
  std::vector<std::string> stateChanges_;
  std::vector<StateChangeParams> paramsGiven_;
  std::vector<std::size_t> hardwareIdReadSizes_;
  uint32_t listCreationError_ = 0;
  bool everyClassInstallerFails_ = false;
  bool keepHistory_ = true;
  uint32_t lastError_ = 0;
  uintptr_t nextList_ = 0x1000;
  int listsCreated_ = 0;
  int listsDestroyed_ = 0;
  int badDestroys_ = 0;
  int reenumerations_ = 0;
};

}  // namespace platform
