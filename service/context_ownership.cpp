// The current context: made by command 0, used by the commands after it, released by a stop,
// never under a running command.
#include "service/lifecycle.h"
#include "service/lifecycle_state.h"

namespace zylservice {

ServiceContext* serviceContext = nullptr;

void FreeContextLocked() {
  delete serviceContext;
  serviceContext = nullptr;
  commandState.releaseRequested = false;
}

void ReleaseServiceContext() {
  std::lock_guard lock(commandState.lock);
  if (commandState.commandRunning) {
    commandState.releaseRequested = true;
  } else {
    FreeContextLocked();
  }
}

}  // namespace zylservice
