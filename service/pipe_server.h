#pragma once

#include <array>
#include <cstdint>

#include "platform/handle.h"
#include "platform/windows_values.h"
#include "protocol/result_codes.h"
#include "protocol/zyl_request.h"

namespace zylservice {

// Pipe settings. Remote clients are refused and the name must be ours alone: a pipe that
// another process created first is never served.
inline constexpr uint32_t kPipeOpenMode = platform::kPipeAccessDuplex |
                                          platform::kFileFlagOverlapped |
                                          platform::kFileFlagFirstPipeInstance;
inline constexpr uint32_t kPipeMode = platform::kPipeRejectRemoteClients;  // byte stream, blocking
inline constexpr uint32_t kPipeMaxInstances = 1;
inline constexpr uint32_t kPipeBufferSize = 512;
inline constexpr uint32_t kPipeDefaultTimeoutMs = 1000;
/// What a client needs, and no WRITE_DAC, WRITE_OWNER or DELETE. It keeps FILE_APPEND_DATA,
/// which on a pipe is FILE_CREATE_PIPE_INSTANCE: without it GENERIC_WRITE, which maps to
/// FILE_GENERIC_WRITE, would be refused.
inline constexpr uint32_t kFileGenericReadWrite =
    platform::kFileGenericRead | platform::kFileGenericWrite;

/// A command handler: fills in its fields of the record, `result` last. Runs on a worker.
using CommandHandler = void (*)(zylprotocol::ZylRequest* request);
using CommandTable = std::array<CommandHandler, zylprotocol::kZylCommandCount>;

/// The handlers for codes 0..4. The program entry installs the real ones; tests their own.
void SetCommandHandlers(const CommandTable& handlers);

/// What the pipe set-up made. The security descriptor lives as long as the process.
struct PipeResources {
  platform::Handle security = nullptr;
  platform::Handle pipe = nullptr;
  platform::Handle connectEvent = nullptr;
};

/// Builds the security descriptor, creates the pipe and its connect event, with the debugger
/// lines of start-up. Returns null on success, else the debugger line that says what failed.
const char16_t* SetUpPipe(PipeResources& resources);

/// Closes the pipe and the connect event (whatever of them exists).
void ClosePipe(PipeResources& resources);

/// Why the pipe loop ended: the stop event, a failed wait, a connect that keeps failing, or a
/// thread that could not take back the service's identity after opening a client's events
/// (the process has been ended then; only a test double returns to see it).
enum class PipeLoopEnd { kStopped, kWaitFailed, kConnectFailed, kIdentityKept };

/// The exit status of a process ended because a thread could not take back the service's own
/// identity (ERROR_CANNOT_IMPERSONATE's value, the closest the system has).
inline constexpr uint32_t kExitIdentityKept = 1368;

/// Serves clients one at a time until `stopEvent` is signalled or the loop cannot go on.
PipeLoopEnd RunPipeLoop(const PipeResources& resources, platform::Handle stopEvent);

/// One connected client, from reading its record to its disconnect. The client's events are
/// opened after the read, with the client's identity. When the thread cannot take back its own
/// identity afterwards, the process is ended at once (EndProcessNow) before anything else is
/// called; should that return (a test double), the answer is false.
bool ServeConnectedClient(platform::Handle pipe);

}  // namespace zylservice
