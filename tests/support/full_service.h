#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/service_harness.h"
#include "tests/fakes/device_tree.h"
#include "tests/fakes/library_loader.h"
#include "tests/fakes/user_notice.h"

namespace zylservice {

/// The whole service on in-memory bindings with the real command handlers: a library whose
/// exports answer as with one adapter present (count 1, found 0x81CE104D, command register
/// 0x0107) and a device tree holding that adapter's node, started and working.
class FullService {
 public:
  /// The library's exports by name, so tests can leave some out.
  static std::map<std::string, void*> LibraryExports();

  FullService();
  ~FullService();

  /// Queues one client per command code, each with a recognisable record.
  void QueueSession(const std::vector<uint32_t>& commands);
  /// Runs the program entry until the dispatcher returns. The first time the loop is idle a
  /// stop control is posted. Should the dispatcher be gone while the loop still runs (a stop
  /// event that could not be set, or SERVICE_STOPPED reported early), the process would have
  /// ended: the loop is then ended through its stop event, and `cutOffByExit` is set.
  int Run(uint32_t control = platform::kServiceControlStop);
  /// The `occurrence`-th SetStatus (from 1) is scripted to fail; the stop watch needs to know.
  void ExpectFailedStatusReport(int occurrence) { failedStatusReport_ = occurrence; }
  /// A SERVICE_STOPPED report was accepted by the service manager.
  bool StoppedAccepted() const;

  ServiceHarness harness;
  platform::FakeLibraryLoader loader;
  platform::FakeDeviceTree tree;
  platform::FakeUserNotice notice;
  std::size_t adapterNode = 0;
  bool cutOffByExit = false;

 private:
  void WatchForExit();

  int failedStatusReport_ = 0;
  std::atomic<bool> processGone_{false};
  std::atomic<bool> finished_{false};
};

/// The record a session client sends for `command`: matchId 0 (match by subsystem), the
/// adapter's subsystem, index 0, and recognisable found fields.
zylprotocol::ZylRequest SessionRecord(uint32_t command);

}  // namespace zylservice
