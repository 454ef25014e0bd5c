#include "support/full_service.h"

#include <chrono>

#include "service/commands.h"

namespace zylservice {

namespace {

using platform::kServiceStopped;
using zylprotocol::ZylRequest;

constexpr uint32_t kAdapterSubsystem = 0x81CE104D;
constexpr uint32_t kAdapterIdDword = 0x81CE104D;  // vendor 0x104D, device 0x81CE

int32_t InitLibrary() { return 1; }

int32_t GetPciDeviceCount(uint32_t, uint32_t subsystem, uint32_t* count, uint32_t* foundId) {
  *count = subsystem == kAdapterSubsystem ? 1 : 0;
  if (*count != 0) *foundId = kAdapterIdDword;
  return 1;
}

int32_t GetPciCommandReg(uint32_t, uint32_t, int32_t index, uint32_t* command) {
  if (index != 0) return 0;
  *command = 0x0107;
  return 1;
}

}  // namespace

std::map<std::string, void*> FullService::LibraryExports() {
  return {{"QV_InitLibrary", reinterpret_cast<void*>(InitLibrary)},
          {"QV_GetPciDeviceCount", reinterpret_cast<void*>(GetPciDeviceCount)},
          {"QV_GetPciCommandReg", reinterpret_cast<void*>(GetPciCommandReg)}};
}

ZylRequest SessionRecord(uint32_t command) {
  return ZylRequest{command, 0, kAdapterSubsystem, 0, -77, 0x5555, 0x6666};
}

FullService::FullService() {
  loader.AddLibrary(u"Qvzyl.Dll", LibraryExports());
  platform::FakeDeviceNode adapter;
  adapter.hardwareIds = platform::FakeDeviceTree::MultiSz(
      {u"PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00", u"PCI\\VEN_104D&DEV_81CE"});
  adapter.description = u"Adapter";
  tree.AddNode({u"ACPI\\PNP0A08"});
  adapterNode = tree.AddNode(adapter);
  harness.bindings.libraryLoader = &loader;
  harness.bindings.deviceTree = &tree;
  harness.bindings.userNotice = &notice;
  UsePlatform(harness.bindings);
  SetCommandHandlers(kZylCommandHandlers);
  harness.scm.ReturnWhenMainEnds(true);
}

FullService::~FullService() { SetCommandHandlers({}); }

void FullService::QueueSession(const std::vector<uint32_t>& commands) {
  for (uint32_t command : commands) harness.pipe.QueueClient({Bytes(SessionRecord(command))});
}

bool FullService::StoppedAccepted() const {
  const auto reports = harness.scm.Reports();
  for (std::size_t i = 0; i < reports.size(); ++i) {
    if (reports[i].currentState == kServiceStopped &&
        static_cast<int>(i) + 1 != failedStatusReport_) {
      return true;
    }
  }
  return false;
}

void FullService::WatchForExit() {
  using namespace std::chrono_literals;
  // A grace period in which a loop that was told to stop ends by itself.
  int stoppedFor = 0;
  while (!finished_ && !harness.scm.MainReturned()) {
    std::this_thread::sleep_for(1ms);
    stoppedFor = StoppedAccepted() ? stoppedFor + 1 : 0;
    if (stoppedFor == 200 && !processGone_) {
      processGone_ = true;
      // Wakes the loop (a client without events is dropped at once); its idle hook, on the
      // service thread, then ends it.
      platform::FakeClient wakeUp;
      wakeUp.createsEvents = false;
      harness.pipe.QueueClient(wakeUp);
    }
  }
}

int FullService::Run(uint32_t control) {
  harness.pipe.OnIdle([this, control, posted = false]() mutable {
    if (processGone_) {
      cutOffByExit = true;
      if (stopEvent != nullptr) harness.pipe.SetEvent(stopEvent);
      return;
    }
    if (!posted) harness.scm.PostControl(control);
    posted = true;
  });
  std::thread watch([this] { WatchForExit(); });
  const int result = harness.Run();
  finished_ = true;
  watch.join();
  return result;
}

}  // namespace zylservice
