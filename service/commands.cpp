#include "service/commands.h"

#include <new>

#include "service/device_nodes.h"
#include "service/lifecycle.h"
#include "service/service_platform.h"

namespace zylservice {

using namespace zylprotocol;

namespace {

constexpr uint32_t kNoticeType = platform::kMbOk | platform::kMbIconExclamation;

// The notice for a missing export: the program's own path as caption, as a message box would
// have it. It returns at once: the command does not wait for anyone to dismiss it.
void NoticeMissingExport(std::u16string_view text) {
  auto& platform = CurrentPlatform();
  platform.userNotice->Show(platform.libraryLoader->ProgramFilePath(), text, kNoticeType);
}

// Exports are looked up on every command: nothing of the library is kept between commands.
template <typename Function>
Function FindExport(const ServiceContext& context, const char* name) {
  return reinterpret_cast<Function>(
      CurrentPlatform().libraryLoader->FindExport(context.library, name));
}

}  // namespace

void ZylLoadLibraryHandler(ZylRequest* request) {
  auto* context = new (std::nothrow) ServiceContext{};
  if (context == nullptr) {
    request->result = kResultNoMemory;
    return;
  }
  // The new context is current before the library is loaded; the one it replaces names the
  // same library, so releasing it loses nothing.
  delete serviceContext;
  serviceContext = context;

  // The library runs with the service's rights: a folder or file that others may change could
  // hand them those rights. Refused as a library that cannot be loaded.
  platform::LibraryLoader& loader = *CurrentPlatform().libraryLoader;
  if (!loader.OnlyAdministratorsCanChange(kLibraryFileName)) {
    CurrentPlatform().debugOutput->Write(
        u"ZYLCTRL:Qvzyl.Dll not loaded: others than administrators can change it or its folder\n");
    request->result = kResultLibraryNotLoaded;
    return;
  }
  context->library = loader.Load(kLibraryFileName);
  if (context->library == nullptr) {
    request->result = kResultLibraryNotLoaded;
    return;
  }
  auto initLibrary = FindExport<QvInitLibraryFunction>(*context, "QV_InitLibrary");
  if (initLibrary == nullptr) {
    NoticeMissingExport(u"関数のポインタが取得できませんでした。QV_InitLibrary");
    request->result = kResultExportMissing;
    return;
  }
  initLibrary();
  request->result = kResultDone;
}

void ZylCountDevicesHandler(ZylRequest* request) {
  ServiceContext* context = serviceContext;
  if (context == nullptr) {
    request->result = kResultNoContext;
    return;
  }
  context->deviceId = 0;
  context->vendorId = 0;
  auto countDevices = FindExport<QvGetPciDeviceCountFunction>(*context, "QV_GetPciDeviceCount");
  if (countDevices == nullptr) {
    NoticeMissingExport(u"Could not get the function from library.(QV_GetPciDeviceCount)");
    request->result = kResultExportMissing;
    return;
  }
  // The found-ID dword lands little-endian over foundVendor and foundDevice.
  uint32_t foundId = request->foundVendor | uint32_t{request->foundDevice} << 16;
  uint32_t count = request->count;
  const int32_t succeeded = countDevices(request->matchId, request->matchSubsys, &count, &foundId);
  request->count = count;
  request->foundVendor = static_cast<uint16_t>(foundId);
  request->foundDevice = static_cast<uint16_t>(foundId >> 16);
  if (!succeeded) {
    request->result = kResultCountFailed;
    return;
  }
  if (request->matchId != 0) {
    context->vendorId = request->matchId & 0xFFFF;
    context->deviceId = request->matchId >> 16;
  } else {
    context->vendorId = request->foundVendor;
    context->deviceId = request->foundDevice;
  }
  request->result = kResultDone;
}

void ZylQueryStateHandler(ZylRequest* request) {
  ServiceContext* context = serviceContext;
  if (context == nullptr) {
    request->result = kResultNoContext;
    return;
  }
  auto commandReg = FindExport<QvGetPciCommandRegFunction>(*context, "QV_GetPciCommandReg");
  if (commandReg == nullptr) {
    NoticeMissingExport(u"Could not get the function from library.(QV_GetPciCommandReg)");
    request->result = kResultExportMissing;
    return;
  }
  uint32_t command = 0;
  commandReg(request->matchId, request->matchSubsys, static_cast<int32_t>(request->count),
             &command);
  if ((command & 0xFFFF) == 0) {
    request->result = kResultCommandRegisterZero;
    return;
  }
  request->result = RunDeviceOperation(*context, DevOpQuery);
}

void ZylDisableHandler(ZylRequest* request) {
  ServiceContext* context = serviceContext;
  request->result =
      context == nullptr ? kResultNoContext : RunDeviceOperation(*context, DevOpDisable);
}

void ZylEnableHandler(ZylRequest* request) {
  ServiceContext* context = serviceContext;
  request->result =
      context == nullptr ? kResultNoContext : RunDeviceOperation(*context, DevOpEnable);
}

}  // namespace zylservice
