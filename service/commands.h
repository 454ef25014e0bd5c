#pragma once

#include <cstdint>

#include "protocol/result_codes.h"
#include "protocol/zyl_request.h"
#include "service/pipe_server.h"
#include "service/service_context.h"

namespace zylservice {

/// The hardware access library, loaded by bare file name from the program's own folder or the
/// system folder only, and only while administrators alone can change it and that folder.
inline constexpr char16_t kLibraryFileName[] = u"Qvzyl.Dll";

// The library's exports as the handlers call them; every integer is 32 bits wide.
using QvInitLibraryFunction = int32_t (*)();
using QvGetPciDeviceCountFunction = int32_t (*)(uint32_t id, uint32_t subsystem, uint32_t* count,
                                                uint32_t* foundId);
using QvGetPciCommandRegFunction = int32_t (*)(uint32_t id, uint32_t subsystem, int32_t index,
                                               uint32_t* command);

// The handlers of codes 0..4. Each writes `result` last.
void ZylLoadLibraryHandler(zylprotocol::ZylRequest* request);
void ZylCountDevicesHandler(zylprotocol::ZylRequest* request);
void ZylQueryStateHandler(zylprotocol::ZylRequest* request);
void ZylDisableHandler(zylprotocol::ZylRequest* request);
void ZylEnableHandler(zylprotocol::ZylRequest* request);

/// The table the program entry installs.
inline constexpr CommandTable kZylCommandHandlers = {ZylLoadLibraryHandler, ZylCountDevicesHandler,
                                                     ZylQueryStateHandler, ZylDisableHandler,
                                                     ZylEnableHandler};

}  // namespace zylservice
