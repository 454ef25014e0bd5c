// Times requests through the real service process on the simulated machine, client and
// service in separate processes as in use, each request one zyl_request of the client library
// (libzylclient.so.1). Prints medians; asserts nothing.
//
// usage: roundtrip_bench [round-trips (1000)] [command runs (100)]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zyl/zylclient.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "service/zyl_request.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Timing {
  double medianUs, p90Us, minUs;
};

Timing Summarise(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 9 / 10], samples.front()};
}

class Bench {
 public:
  explicit Bench(std::string runtimeDir) : runtime_(std::move(runtimeDir)) {}

  // One request; the answer's result, or a large negative number when no reply came.
  int32_t Request(uint32_t command, uint32_t matchId = 0, double* micros = nullptr) {
    zyl_options options{};
    options.size = sizeof(options);
    options.timeout_ms = 30000;
    options.runtime_dir = runtime_.c_str();
    const zyl_record request{command, matchId, 0, 0, 0, 0, 0};
    zyl_record reply{};
    const auto start = Clock::now();
    const int status = zyl_request(&request, &reply, &options);
    if (micros) *micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    return status == ZYL_STATUS_OK ? reply.result : -100000;
  }

  Timing Time(int runs, uint32_t command, uint32_t matchId, int32_t expected, uint32_t between) {
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
      double micros = 0;
      const int32_t result = Request(command, matchId, &micros);
      if (result != expected) {
        std::fprintf(stderr, "command %u answered %d, not %d\n", command, result, expected);
        std::exit(1);
      }
      samples.push_back(micros);
      if (between != ~0u) Request(between);  // undo, so that every timed run does the work
    }
    return Summarise(samples);
  }

 private:
  std::string runtime_;
};

void Print(const char* what, int runs, const Timing& t) {
  std::printf("%-52s runs %5d  median %8.1f us  p90 %8.1f us  min %8.1f us\n", what, runs,
              t.medianUs, t.p90Us, t.minUs);
}

}  // namespace

int main(int argc, char** argv) {
  const int roundTrips = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int commandRuns = argc > 2 ? std::atoi(argv[2]) : 100;

  char dirTemplate[] = "/tmp/zyl-bench-XXXXXX";
  const std::string runtime = ::mkdtemp(dirTemplate);
  const std::string log = runtime + "/service.log";
  const char* args[] = {ZYL_SIM_SERVICE, "--runtime-dir", runtime.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT, 0644);
  pid_t service = 0;
  if (posix_spawn(&service, args[0], &actions, nullptr, const_cast<char**>(args), environ) != 0) {
    std::perror("cannot start the service");
    return 1;
  }
  struct stat info;
  const std::string socket = runtime + "/TAVIK_Zyl_Control_Service";
  for (int i = 0; i < 500 && ::stat(socket.c_str(), &info) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  Bench bench(runtime);
  std::printf("service on the simulated machine, pid %d\n", service);
  // Before any load, command 1 answers at once: the pipe, the events and the worker alone.
  Print("zyl_request round trip (command 1 before load: -107)", roundTrips,
        bench.Time(roundTrips, ZylCmdCountDevices, 0x81CE104D, -107, ~0u));
  bench.Request(ZylCmdLoadLibrary);
  Print("command 1, count by ID (full scan, 131,072 transfers)", commandRuns,
        bench.Time(commandRuns, ZylCmdCountDevices, 0x81CE104D, 1, ~0u));
  Print("command 3, disable (then enable, untimed)", commandRuns,
        bench.Time(commandRuns, ZylCmdDisable, 0, 1, ZylCmdEnable));

  ::kill(service, SIGTERM);
  ::waitpid(service, nullptr, 0);
  ::unlink(log.c_str());
  ::rmdir(runtime.c_str());
  return 0;
}
