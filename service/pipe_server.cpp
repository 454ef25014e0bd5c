#include "service/pipe_server.h"

#include <cstring>

#include "protocol/names.h"
#include "service/lifecycle.h"
#include "service/service_platform.h"

namespace zylservice {

using platform::kFileAllAccess;
using namespace zylprotocol;

namespace {

CommandTable commandHandlers{};

// A listening instance that keeps failing to connect is given up after this many tries in a
// row, like a failed wait, rather than spinning.
constexpr int kMaxConnectFailures = 100;

constexpr platform::PipeAccessEntry kPipeAccess[] = {
    {u"SYSTEM", kFileAllAccess},
    {u"Administrators", kFileAllAccess},
    {u"Users", kFileGenericReadWrite},
};

platform::PipeEvents& Events() { return *CurrentPlatform().pipeEvents; }

void DebugText(std::u16string_view text) { CurrentPlatform().debugOutput->Write(text); }

void RunCommandWorker(void* argument) {
  auto* request = static_cast<ZylRequest*>(argument);
  commandHandlers[request->command](request);
}

// Runs the command on a worker of its own and waits for it; BeginCommand has let it start. The
// context guard spans the whole run so that a stop control never frees the context under it.
void RunCommand(ZylRequest& request) {
  auto& events = Events();
  platform::Handle worker = events.StartThread(RunCommandWorker, &request);
  if (worker == nullptr) {
    request.result = kResultWorkerNotStarted;
  } else {
    // The record lives on this thread's stack: never go on while the worker may still use it.
    while (!events.WaitForThread(worker)) {
    }
    events.Close(worker);
  }
  EndCommand();
}

void CloseIfOpen(platform::Handle handle) {
  if (handle != nullptr) Events().Close(handle);
}

struct ClientEvents {
  platform::Handle commandDone = nullptr;
  platform::Handle disconnected = nullptr;
  bool identityKept = false;  // the thread still holds the client's identity
};

// Opens the client's two events with the client's own identity, so that a name the client
// controls (a symbolic link, say) reaches nothing the client could not open itself. Windows
// lets a server take a client's identity only once it has read from the pipe.
ClientEvents OpenClientEvents(platform::Handle pipe) {
  auto& events = Events();
  ClientEvents opened;
  if (!events.ImpersonateClient(pipe)) return opened;
  opened.commandDone = events.OpenEvent(kCommandDoneEventName);
  if (opened.commandDone != nullptr) opened.disconnected = events.OpenEvent(kDisconnectedEventName);
  if (!events.RevertToSelf()) {
    // Whatever this thread did next would be done in the client's name: end here, before
    // anything else is called.
    CurrentPlatform().serviceControl->EndProcessNow(kExitIdentityKept);
    opened.identityKept = true;
  }
  return opened;
}

}  // namespace

void SetCommandHandlers(const CommandTable& handlers) { commandHandlers = handlers; }

const char16_t* SetUpPipe(PipeResources& resources) {
  auto& events = Events();
  DebugText(u"ZYLCTRL:Create Pipe\n");
  resources.security = events.BuildSecurity(kPipeAccess);
  if (resources.security == nullptr) return u"ZYLCTRL:Cannot build the pipe security\n";

  const platform::PipeSettings settings{
      kPipeName,       kPipeOpenMode,        kPipeMode, kPipeMaxInstances, kPipeBufferSize,
      kPipeBufferSize, kPipeDefaultTimeoutMs};
  resources.pipe = events.CreatePipe(settings, resources.security);
  if (resources.pipe == nullptr) {
    return u"ZYLCTRL:Cannot create the pipe (is another process serving its name?)\n";
  }
  DebugText(u"ZYLCTRL:PipedServiceName=");
  DebugText(kPipeName);
  DebugText(u"\n");

  resources.connectEvent = events.CreateEvent(/*manualReset=*/false, /*initiallySignalled=*/false);
  if (resources.connectEvent == nullptr) return u"ZYLCTRL:Cannot create the connect event\n";
  return nullptr;
}

void ClosePipe(PipeResources& resources) {
  auto& events = Events();
  if (resources.pipe != nullptr) events.Close(resources.pipe);
  if (resources.connectEvent != nullptr) events.Close(resources.connectEvent);
  resources.pipe = nullptr;
  resources.connectEvent = nullptr;
}

PipeLoopEnd RunPipeLoop(const PipeResources& resources, platform::Handle stop) {
  auto& events = Events();
  int connectFailures = 0;
  for (;;) {
    switch (events.Connect(resources.pipe, resources.connectEvent)) {
      case platform::ConnectState::kPending:
        connectFailures = 0;
        break;
      case platform::ConnectState::kConnected:
        // A client that connected before the call leaves the event alone; signal it ourselves so
        // it is served like any other, and a stop signalled meanwhile still comes second.
        connectFailures = 0;
        events.SetEvent(resources.connectEvent);
        break;
      case platform::ConnectState::kFailed:
        // For instance a client that connected and left again: drop it and listen anew.
        events.Disconnect(resources.pipe);
        if (++connectFailures >= kMaxConnectFailures) return PipeLoopEnd::kConnectFailed;
        continue;
    }

    switch (events.WaitForEither(resources.connectEvent, stop)) {
      case 0:
        if (!ServeConnectedClient(resources.pipe)) return PipeLoopEnd::kIdentityKept;
        break;
      case 1:
        return PipeLoopEnd::kStopped;
      default:
        return PipeLoopEnd::kWaitFailed;
    }
  }
}

bool ServeConnectedClient(platform::Handle pipe) {
  auto& events = Events();
  ZylRequest request;
  std::memset(&request, 0, sizeof request);
  const std::ptrdiff_t received = events.Read(pipe, &request, sizeof request);

  const ClientEvents client = OpenClientEvents(pipe);
  if (client.identityKept || client.commandDone == nullptr || client.disconnected == nullptr) {
    // A client without its events, or whose identity cannot be taken, gets no reply; it is
    // dropped and the next one is served.
    CloseIfOpen(client.commandDone);
    CloseIfOpen(client.disconnected);
    events.Disconnect(pipe);
    return !client.identityKept;
  }

  events.ResetEvent(client.disconnected);

  // A short or failed read is refused: running a command on a partly zeroed record would act
  // on something the client never asked for. After a stop control no command starts.
  const bool replied = received == static_cast<std::ptrdiff_t>(sizeof request) &&
                       request.command < kZylCommandCount && BeginCommand();
  if (replied) {
    RunCommand(request);
    events.SetEvent(client.commandDone);
    events.Write(pipe, &request, sizeof request);
  }

  events.Flush(pipe);
  events.Disconnect(pipe);
  events.SetEvent(client.disconnected);
  events.Close(client.commandDone);
  events.Close(client.disconnected);
  if (replied) EndReply();
  return true;
}

}  // namespace zylservice
