// Which command runs, whether its reply is out, and whether a stop has closed the door to new
// ones.
#include "service/lifecycle.h"
#include "service/lifecycle_state.h"

namespace zylservice {

CommandState commandState;

void RefuseNewCommands() {
  std::lock_guard lock(commandState.lock);
  commandState.stopRequested = true;
}

bool BeginCommand() {
  std::lock_guard lock(commandState.lock);
  if (commandState.stopRequested) return false;
  commandState.commandRunning = true;
  commandState.replyPending = true;
  return true;
}

void EndCommand() {
  std::lock_guard lock(commandState.lock);
  commandState.commandRunning = false;
  if (commandState.releaseRequested) FreeContextLocked();
}

void EndReply() {
  std::lock_guard lock(commandState.lock);
  commandState.replyPending = false;
  commandState.replyWritten.notify_all();
}

}  // namespace zylservice
