// The stop watch: a stop that arrives while a command runs is reported once the command's
// reply is out, or after kStopWaitLimitMs, by a thread of its own.
#include <chrono>

#include "service/lifecycle.h"
#include "service/lifecycle_state.h"
#include "service/service_platform.h"

namespace zylservice {

namespace {

// Both under commandState.lock. The thread that reports the stop once the reply is out (null
// when none was started), and the interval between its check points.
platform::Handle stopWatch = nullptr;
std::chrono::milliseconds stopCheckPointInterval{kStopCheckPointIntervalMs};

// While the running command's reply is pending, advance the stop-pending check point at every
// interval so the service manager sees progress; then report SERVICE_STOPPED, once the reply
// is out or the last interval has passed. The intervals are counted on a fixed schedule, so
// that slow reports do not stretch the wait.
void WatchStop(void*) {
  using Clock = std::chrono::steady_clock;
  constexpr uint32_t kIntervals = kStopWaitLimitMs / kStopCheckPointIntervalMs;
  const Clock::time_point start = Clock::now();
  uint32_t checkPoint = 1;
  bool reported = true;
  std::unique_lock lock(commandState.lock);
  for (uint32_t interval = 1; commandState.replyPending && reported; ++interval) {
    const Clock::time_point next = start + interval * stopCheckPointInterval;
    if (commandState.replyWritten.wait_until(lock, next,
                                             [] { return !commandState.replyPending; })) {
      break;
    }
    if (interval == kIntervals) break;
    lock.unlock();
    reported = SendStatus(platform::kServiceStopPending, ++checkPoint, kStopWaitHintMs);
    lock.lock();
  }
  const bool cutOff = commandState.replyPending;
  lock.unlock();
  if (cutOff) CurrentPlatform().debugOutput->Write(u"ZYLCTRL:Stopped while a command still runs\n");
  EndService();
}

}  // namespace

bool HandOverStopToWatch() {
  std::lock_guard lock(commandState.lock);
  if (!commandState.replyPending) return false;
  if (stopWatch == nullptr) {
    stopWatch = CurrentPlatform().pipeEvents->StartThread(WatchStop, nullptr);
  }
  return stopWatch != nullptr;
}

void JoinStopWatch() {
  platform::Handle watch;
  {
    std::lock_guard lock(commandState.lock);
    watch = stopWatch;
    stopWatch = nullptr;
  }
  if (watch == nullptr) return;
  auto& events = *CurrentPlatform().pipeEvents;
  while (!events.WaitForThread(watch)) {
  }
  events.Close(watch);
}

void ResetStopWatchLocked() {
  stopWatch = nullptr;
  stopCheckPointInterval = std::chrono::milliseconds(kStopCheckPointIntervalMs);
}

void SetStopWaitForTesting(uint32_t checkPointIntervalMs) {
  std::lock_guard lock(commandState.lock);
  stopCheckPointInterval = std::chrono::milliseconds(checkPointIntervalMs);
}

}  // namespace zylservice
