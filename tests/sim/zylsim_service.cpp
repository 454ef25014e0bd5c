// zylsim_service: the control service on a simulated machine that carries the adapter.
//
// The service core runs exactly as in VokZylControl on the Linux bindings (systemd-style service
// control, Unix socket pipe, shared-memory events, dlopen). What is simulated: the device tree
// (an in-memory tree holding the adapter's device node, which reacts to stop, disable, enable
// and start) and the PCI bus (the simulated hardware access library beside this program, fed
// with a topology file). Test and demonstration use only; nothing here ships.
//
// usage: zylsim_service --runtime-dir DIR [--topology FILE] [--command-delay-ms MS]
//   --command-delay-ms  each command takes that much longer, after its work (tests of a stop
//                       that comes during a command)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/posix/library_loader.h"
#include "platform/posix/pipe_events.h"
#include "platform/posix/service_control.h"
#include "service/commands.h"
#include "service/lifecycle.h"
#include "service/service_platform.h"
#include "tests/fakes/device_tree.h"

namespace {

using zylprotocol::ZylRequest;
using zylservice::CommandTable;
using zylservice::kZylCommandHandlers;
using zylservice::RunServiceProgram;
using zylservice::ServicePlatform;
using zylservice::SetCommandHandlers;
using zylservice::UsePlatform;

constexpr char kDefaultTopology[] = ZYL_SIM_DEFAULT_TOPOLOGY;

// The machine's device nodes: the adapter between two ordinary nodes.
void BuildDeviceTree(platform::FakeDeviceTree& tree) {
  tree.AddNode({u"PCI\\VEN_8086&DEV_0D57&SUBSYS_00000000&REV_00", u"PCI\\VEN_8086&DEV_0D57"});
  const std::size_t adapter =
      tree.AddNode({u"PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D&REV_00",
                    u"PCI\\VEN_104D&DEV_81CE&SUBSYS_81CE104D", u"PCI\\VEN_104D&DEV_81CE"});
  tree.Node(adapter).description = u"Tavik Zyl adapter (simulated)";
  tree.AddNode({u"PCI\\VEN_1AF4&DEV_1042&SUBSYS_00021AF4&REV_01"});
}

int Usage(const char* program) {
  std::fprintf(stderr, "usage: %s --runtime-dir DIR [--topology FILE] [--command-delay-ms MS]\n",
               program);
  return 2;
}

int commandDelayMs = 0;

template <int Code>
void DelayedCommand(ZylRequest* request) {
  kZylCommandHandlers[Code](request);
  std::this_thread::sleep_for(std::chrono::milliseconds(commandDelayMs));
}

constexpr CommandTable kDelayedHandlers = {DelayedCommand<0>, DelayedCommand<1>, DelayedCommand<2>,
                                           DelayedCommand<3>, DelayedCommand<4>};

}  // namespace

int main(int argc, char** argv) {
  std::string runtimeDir;
  std::string topology = kDefaultTopology;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runtime-dir") == 0 && i + 1 < argc) {
      runtimeDir = argv[++i];
    } else if (std::strcmp(argv[i], "--topology") == 0 && i + 1 < argc) {
      topology = argv[++i];
    } else if (std::strcmp(argv[i], "--command-delay-ms") == 0 && i + 1 < argc) {
      commandDelayMs = std::atoi(argv[++i]);
    } else {
      return Usage(argv[0]);
    }
  }
  if (runtimeDir.empty()) return Usage(argv[0]);
  // The simulated library reads its PCI bus from here at its first call.
  ::setenv("ZYL_SIM_PCI_TOPOLOGY", topology.c_str(), 1);

  // Never destroyed, like the shipped program's bindings: once the dispatcher returns, the
  // service thread may still be closing its pipe, or a worker running a command, while the
  // process exits.
  auto* tree = new platform::FakeDeviceTree();
  tree->KeepNoHistory();  // the service may serve millions of requests
  BuildDeviceTree(*tree);
  auto* serviceControl = new platform::PosixServiceControl();
  auto* pipeEvents = new platform::PosixPipeEvents(runtimeDir);
  auto* libraryLoader = new platform::PosixLibraryLoader();

  ServicePlatform bindings;
  bindings.serviceControl = serviceControl;
  bindings.pipeEvents = pipeEvents;
  bindings.libraryLoader = libraryLoader;
  bindings.userNotice = &platform::SystemUserNotice();
  bindings.deviceTree = tree;
  bindings.debugOutput = &platform::SystemDebugOutput();
  UsePlatform(bindings);
  SetCommandHandlers(commandDelayMs > 0 ? kDelayedHandlers : kZylCommandHandlers);
  return RunServiceProgram();
}
