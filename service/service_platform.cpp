#include "service/service_platform.h"

namespace zylservice {

namespace {
ServicePlatform bindings;
}  // namespace

ServicePlatform& CurrentPlatform() { return bindings; }

void UsePlatform(const ServicePlatform& platform) { bindings = platform; }

}  // namespace zylservice
