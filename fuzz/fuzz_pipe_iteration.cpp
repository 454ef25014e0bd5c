// Whole pipe iterations against the in-memory pipe: a few clients whose bytes, lengths, pieces,
// events and early connects come from the fuzzer, served by the real pipe loop and the real
// command handlers over an in-memory library (its answers fuzzed too) and device tree. Checked
// per client: no reply for a short record or a code above 4, otherwise exactly 24 bytes whose
// unwritten fields are as sent and whose result is one the command may give; the events set as
// promised. Checked per input: every handle closed after the stop and every device list
// destroyed; ASan/LSan and UBSan watch the rest. ZYL_FUZZ_TRACE=1 prints what each client got.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "service/commands.h"
#include "service/device_nodes.h"
#include "service/lifecycle.h"
#include "service/pipe_server.h"
#include "service/service_platform.h"
#include "support/byte_reader.h"
#include "support/fuzz_check.h"
#include "support/fuzz_device_tree.h"
#include "tests/fakes/debug_output.h"
#include "tests/fakes/library_loader.h"
#include "tests/fakes/pipe_events.h"
#include "tests/fakes/service_control.h"
#include "tests/fakes/user_notice.h"

namespace {

using namespace zylprotocol;
using zylservice::ClosePipe;
using zylservice::kLibraryFileName;
using zylservice::kZylCommandHandlers;
using zylservice::PipeLoopEnd;
using zylservice::PipeResources;
using zylservice::ResetServiceStateForTesting;
using zylservice::RunPipeLoop;
using zylservice::ServiceContext;
using zylservice::serviceContext;
using zylservice::ServicePlatform;
using zylservice::SetCommandHandlers;
using zylservice::SetUpPipe;
using zylservice::UsePlatform;

constexpr int kMaxClients = 6;
constexpr std::size_t kMaxRequestBytes = 48;
constexpr uint8_t kReadFails = 0xFF;

// What the in-memory library did for one client: the handlers must pass on exactly this.
struct LibraryCall {
  bool storedCount = false;
  uint32_t count = 0;
  bool storedFound = false;
  uint32_t found = 0;
};

// The library's answers are read from the input as it is called. Only the worker of the one
// running command calls it, while the loop waits for that worker, so no lock is needed.
ByteReader* libraryAnswers = nullptr;
std::vector<LibraryCall> libraryCalls;
std::size_t servedClient = 0;

int32_t InitLibrary() { return static_cast<int32_t>(libraryAnswers->U32()); }

int32_t GetPciDeviceCount(uint32_t, uint32_t, uint32_t* count, uint32_t* foundId) {
  LibraryCall& call = libraryCalls.at(servedClient);
  const uint8_t how = libraryAnswers->U8();
  if (how & 0x01) {
    call.storedCount = true;
    call.count = *count = libraryAnswers->U32();
  }
  if (how & 0x02) {
    call.storedFound = true;
    call.found = *foundId = libraryAnswers->U32();
  }
  if (how & 0x04) return 0;
  return (how & 0x08) ? static_cast<int32_t>(libraryAnswers->U32() | 1) : 1;
}

int32_t GetPciCommandReg(uint32_t, uint32_t, int32_t, uint32_t* command) {
  const uint8_t how = libraryAnswers->U8();
  if (how & 0x01) *command = libraryAnswers->U32();
  return how & 0x02;
}

// A client that writes its record in pieces, or vanishes before writing: the service reads
// once, so it sees the first piece only (or a failed read).
class PiecewisePipe : public platform::FakePipeEvents {
 public:
  std::vector<uint8_t> pieces;           // per client: 0 or >= 24 whole, 0xFF failed read
  std::vector<std::ptrdiff_t> received;  // per client: what the read answered

  std::ptrdiff_t Read(platform::Handle pipe, void* buffer, std::size_t size) override {
    servedClient = Outcomes().size();  // clients are let go in order, one at a time
    const uint8_t piece = pieces.at(servedClient);
    std::ptrdiff_t answer = -1;
    if (piece != kReadFails) {
      const std::size_t cap = piece == 0 || piece >= size ? size : piece;
      answer = FakePipeEvents::Read(pipe, buffer, cap);
    }
    received.at(servedClient) = answer;
    return answer;
  }
};

bool ResultAllowed(uint32_t command, int32_t result) {
  const auto device = [result] {
    return result == kResultNoDeviceList || result == kResultDone ||
           result == kResultStateChangeRefused || result == kResultAdapterNotFound;
  };
  switch (command) {
    case ZylCmdLoadLibrary:
      return result == kResultDone || result == kResultLibraryNotLoaded ||
             result == kResultExportMissing;
    case ZylCmdCountDevices:
      return result == kResultDone || result == kResultExportMissing ||
             result == kResultNoContext || result == kResultCountFailed;
    case ZylCmdQueryState:
      return result == kResultCommandRegisterZero || result == kResultExportMissing ||
             result == kResultNoContext || result == kResultNoDeviceList ||
             result == kResultAdapterWorks || result == kResultAdapterHasProblem ||
             result == kResultAdapterNotFound;
    default:
      return result == kResultNoContext || device();
  }
}

ZylRequest RecordOf(const std::vector<uint8_t>& bytes) {
  ZylRequest record{};
  if (!bytes.empty()) std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof record));
  return record;
}

void CheckClient(const platform::FakeClient& client, const platform::FakeClientOutcome& outcome,
                 std::ptrdiff_t received, const LibraryCall& call) {
  FUZZ_CHECK(outcome.wasDisconnected, "every client is disconnected");
  // Nothing read, so the client's identity cannot be taken (as on Windows): it is dropped like
  // a client without events.
  if (!client.createsEvents || received <= 0) {
    FUZZ_CHECK(outcome.reply.empty(), "a client without its events gets no reply");
    if (outcome.commandDone) {
      FUZZ_CHECK(outcome.commandDone->setCount == 0, "no command done without both events");
    }
    return;
  }
  FUZZ_CHECK(outcome.disconnected->resetCount == 1 && outcome.disconnected->signalled,
             "the disconnected event is reset when taken and set when let go");

  const ZylRequest sent = RecordOf(client.request);
  const bool whole = received == static_cast<std::ptrdiff_t>(sizeof(ZylRequest));
  if (!whole || sent.command >= kZylCommandCount) {
    FUZZ_CHECK(outcome.reply.empty(), "no reply to a short record or an unknown code");
    FUZZ_CHECK(outcome.commandDone->setCount == 0, "no command done without a command");
    return;
  }
  FUZZ_CHECK(outcome.reply.size() == sizeof(ZylRequest), "the reply is exactly one record");
  FUZZ_CHECK(outcome.commandDone->setCount == 1, "command done is set once");
  const ZylRequest reply = RecordOf(outcome.reply);
  FUZZ_CHECK(reply.command == sent.command && reply.matchId == sent.matchId &&
                 reply.matchSubsys == sent.matchSubsys,
             "command, matchId and matchSubsys come back as sent");
  const bool counted = sent.command == ZylCmdCountDevices;
  const uint32_t count = counted && call.storedCount ? call.count : sent.count;
  const uint32_t sentFound = sent.foundVendor | uint32_t{sent.foundDevice} << 16;
  const uint32_t found = counted && call.storedFound ? call.found : sentFound;
  FUZZ_CHECK(reply.count == count, "count changes only through the count command's library");
  FUZZ_CHECK((reply.foundVendor | uint32_t{reply.foundDevice} << 16) == found,
             "foundVendor/foundDevice change only through the count command's library");
  FUZZ_CHECK(ResultAllowed(sent.command, reply.result), "a result the command cannot give");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const uint8_t setup = in.U8();
  const uint32_t hintVendor = in.U16();
  const uint32_t hintDevice = in.U16();

  platform::FakeServiceControl scm;
  PiecewisePipe pipe;
  platform::FakeLibraryLoader loader;
  CheckedDeviceTree tree;
  platform::FakeUserNotice notice;
  platform::FakeDebugOutput debug;

  if (setup & 0x01) {
    std::map<std::string, void*> exports;
    if (setup & 0x02) exports["QV_InitLibrary"] = reinterpret_cast<void*>(InitLibrary);
    if (setup & 0x04) exports["QV_GetPciDeviceCount"] = reinterpret_cast<void*>(GetPciDeviceCount);
    if (setup & 0x08) exports["QV_GetPciCommandReg"] = reinterpret_cast<void*>(GetPciCommandReg);
    loader.AddLibrary(kLibraryFileName, std::move(exports));
  }
  const int nodes = in.U8() % 5;
  for (int node = 0; node < nodes; ++node) {
    tree.AddNode(ReadFuzzedNode(in, hintVendor, hintDevice));
  }
  if (setup & 0x10) tree.FailListCreation(in.U32() | 1);
  if (setup & 0x20) tree.FailEveryClassInstallerCall();
  tree.sizeLies = in.Bytes(in.U8() % 5);
  tree.contextIds = [] {
    const ServiceContext* context = serviceContext;  // read on the worker, inside the command
    return context ? std::pair{context->vendorId, context->deviceId} : std::pair{0u, 0u};
  };

  std::vector<platform::FakeClient> clients(1 + in.U8() % kMaxClients);
  for (auto& client : clients) {
    const uint8_t flags = in.U8();
    client.createsEvents = !(flags & 0x01);
    client.createsFirstEventOnly = flags & 0x02;
    client.connectedBeforeListen = flags & 0x04;
    pipe.pieces.push_back(in.U8());
    client.request = in.Bytes(in.U8() % (kMaxRequestBytes + 1));
  }
  pipe.received.assign(clients.size(), -2);
  libraryCalls.assign(clients.size(), {});
  libraryAnswers = &in;  // whatever is left answers the library

  ResetServiceStateForTesting();
  ServicePlatform bindings;
  bindings.serviceControl = &scm;
  bindings.pipeEvents = &pipe;
  bindings.libraryLoader = &loader;
  bindings.userNotice = &notice;
  bindings.deviceTree = &tree;
  bindings.debugOutput = &debug;
  UsePlatform(bindings);
  SetCommandHandlers(kZylCommandHandlers);

  PipeResources resources;
  FUZZ_CHECK(SetUpPipe(resources) == nullptr, "the pipe is set up");
  platform::Handle stop = pipe.CreateEvent(/*manualReset=*/true, /*initiallySignalled=*/false);
  for (const auto& client : clients) pipe.QueueClient(client);
  // Once every client has been let go the loop finds nothing to do: stop it then.
  pipe.OnIdle([&pipe, stop] { pipe.SetEvent(stop); });
  FUZZ_CHECK(RunPipeLoop(resources, stop) == PipeLoopEnd::kStopped, "the loop ends on the stop");
  ClosePipe(resources);
  pipe.Close(stop);

  const auto outcomes = pipe.Outcomes();
  FUZZ_CHECK(outcomes.size() == clients.size(), "every client is served or dropped");
  static const bool trace = std::getenv("ZYL_FUZZ_TRACE") != nullptr;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    if (trace) {
      std::fprintf(stderr, "client %zu: command %u, read %td, reply %zu bytes, result %d\n", i,
                   RecordOf(clients[i].request).command, pipe.received[i], outcomes[i].reply.size(),
                   RecordOf(outcomes[i].reply).result);
    }
    CheckClient(clients[i], outcomes[i], pipe.received[i], libraryCalls[i]);
  }
  FUZZ_CHECK(pipe.OpenHandles() == 0, "no handle is left open after the stop");
  FUZZ_CHECK(tree.ListsCreated() == tree.ListsDestroyed() && tree.BadDestroys() == 0,
             "every device list is destroyed exactly once");

  libraryAnswers = nullptr;
  ResetServiceStateForTesting();  // releases the context the commands made
  UsePlatform(ServicePlatform{});
  return 0;
}
