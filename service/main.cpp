// VokZylControl: the service program. It ignores its command line; the service manager starts it.
#include "service/commands.h"
#include "service/lifecycle.h"
#include "service/service_platform.h"

int main() {
  platform::RestrictLibrarySearch();
  zylservice::ServicePlatform bindings;
  bindings.serviceControl = &platform::SystemServiceControl();
  bindings.pipeEvents = &platform::SystemPipeEvents();
  bindings.libraryLoader = &platform::SystemLibraryLoader();
  bindings.userNotice = &platform::SystemUserNotice();
  bindings.deviceTree = &platform::SystemDeviceTree();
  bindings.debugOutput = &platform::SystemDebugOutput();
  zylservice::UsePlatform(bindings);
  zylservice::SetCommandHandlers(zylservice::kZylCommandHandlers);
  return zylservice::RunServiceProgram();
}
