#pragma once

#include "platform/debug_output.h"
#include "platform/device_tree.h"
#include "platform/library_loader.h"
#include "platform/pipe_events.h"
#include "platform/service_control.h"
#include "platform/user_notice.h"

namespace zylservice {

/// The bindings the service runs on. The program entry fills it with the real bindings; test
/// hosts fill it with fakes or simulated machines. Set once, before the dispatcher starts.
struct ServicePlatform {
  platform::ServiceControl* serviceControl = nullptr;
  platform::PipeEvents* pipeEvents = nullptr;
  platform::LibraryLoader* libraryLoader = nullptr;
  platform::UserNotice* userNotice = nullptr;
  platform::DeviceTree* deviceTree = nullptr;
  platform::DebugOutput* debugOutput = nullptr;
};

/// The process-wide bindings. Thread-compatible: written once before any thread starts.
ServicePlatform& CurrentPlatform();
void UsePlatform(const ServicePlatform& bindings);

}  // namespace zylservice
