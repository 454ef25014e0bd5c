// Times requests through the real service process on the simulated machine, client and
// service in separate processes as in use, each request one zyl_request of the client library
// (libzylclient.so.1), beside the floor: a bare server process of the same shape, in turns. Prints
// medians and the service's resident memory; asserts nothing.
//
// usage: roundtrip_bench [round-trips (1000)] [command runs (100)]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zyl/zylclient.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/zyl_request.h"

using namespace zylprotocol;

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
    Samples(runs, command, matchId, expected, between, samples);
    return Summarise(samples);
  }

  /// Appends the times of `runs` requests; exits when one is not answered with `expected`.
  void Samples(int runs, uint32_t command, uint32_t matchId, int32_t expected, uint32_t between,
               std::vector<double>& samples) {
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
  }

 private:
  std::string runtime_;
};

void Print(const char* what, int runs, const Timing& t) {
  std::printf("%-52s runs %5d  median %8.1f us  p90 %8.1f us  min %8.1f us\n", what, runs,
              t.medianUs, t.p90Us, t.minUs);
}

/// The process's resident memory (VmRSS of /proc/PID/status), or "?" when unreadable.
std::string ResidentMemory(pid_t process) {
  std::ifstream status("/proc/" + std::to_string(process) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) {
      const std::size_t digits = line.find_first_of("0123456789");
      return digits == std::string::npos ? "?" : line.substr(digits);
    }
  }
  return "?";
}

// The floor: what one round trip of this shape costs with nothing else in it. The server reads
// 24 bytes, starts and joins a thread, writes 24 bytes back and closes; the client connects,
// writes 24 bytes and reads 24, as a client of the service does on Linux.
sockaddr_un SocketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), std::min(path.size(), sizeof(address.sun_path) - 1));
  return address;
}

bool ReadAll(int fd, void* buffer, std::size_t size) {
  auto* bytes = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t got = ::read(fd, bytes, size);
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

[[noreturn]] void ServeFloor(int listener) {
  for (;;) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ZylRequest record{};
    if (ReadAll(client, &record, sizeof record)) {
      std::thread worker([&record] { record.result = -107; });
      worker.join();
      if (::write(client, &record, sizeof record) != sizeof record) std::perror("floor write");
    }
    ::close(client);
  }
}

/// Starts the floor's server process; its pid, or -1.
pid_t StartFloor(const std::string& path) {
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = SocketAddress(path);
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 64) != 0) {
    return -1;
  }
  const pid_t server = ::fork();
  if (server == 0) ServeFloor(listener);
  ::close(listener);
  return server;
}

void FloorSamples(int runs, const std::string& path, std::vector<double>& samples) {
  const sockaddr_un address = SocketAddress(path);
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    const int connection = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ZylRequest record{ZylCmdCountDevices, 0x81CE104D, 0, 0, 0, 0, 0};
    const bool answered =
        ::connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::write(connection, &record, sizeof record) == sizeof record &&
        ReadAll(connection, &record, sizeof record);
    ::close(connection);
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (!answered) {
      std::fprintf(stderr, "the floor server did not answer\n");
      std::exit(1);
    }
  }
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

  const std::string floorSocket = runtime + "/floor.sock";
  const pid_t floor = StartFloor(floorSocket);
  if (floor < 0) {
    std::perror("cannot start the floor server");
    return 1;
  }

  Bench bench(runtime);
  std::printf("service on the simulated machine, pid %d; floor server pid %d\n", service, floor);
  const std::string idleMemory = ResidentMemory(service);
  // Before any load, command 1 answers at once: the socket and the worker alone. Service and
  // floor take turns in blocks, so that both see the same load of the machine.
  std::vector<double> serviceSamples, floorSamples;
  for (int done = 0; done < roundTrips;) {
    const int block = std::min(50, roundTrips - done);
    bench.Samples(block, ZylCmdCountDevices, 0x81CE104D, -107, ~0u, serviceSamples);
    FloorSamples(block, floorSocket, floorSamples);
    done += block;
  }
  const Timing serviceTrip = Summarise(serviceSamples);
  const Timing floorTrip = Summarise(floorSamples);
  Print("zyl_request round trip (command 1 before load: -107)", roundTrips, serviceTrip);
  Print("floor (bare socket, thread per command, 24 bytes)", roundTrips, floorTrip);
  std::printf("round trip / floor: %.2f (medians), %.2f (p90)\n",
              serviceTrip.medianUs / floorTrip.medianUs, serviceTrip.p90Us / floorTrip.p90Us);

  bench.Request(ZylCmdLoadLibrary);
  Print("command 1, count by ID (full scan, 131,072 transfers)", commandRuns,
        bench.Time(commandRuns, ZylCmdCountDevices, 0x81CE104D, 1, ~0u));
  Print("command 3, disable (then enable, untimed)", commandRuns,
        bench.Time(commandRuns, ZylCmdDisable, 0, 1, ZylCmdEnable));
  std::printf("service resident memory: idle %s, after the session %s\n", idleMemory.c_str(),
              ResidentMemory(service).c_str());

  ::kill(floor, SIGTERM);
  ::waitpid(floor, nullptr, 0);
  ::kill(service, SIGTERM);
  ::waitpid(service, nullptr, 0);
  ::unlink(log.c_str());
  ::unlink(floorSocket.c_str());
  ::rmdir(runtime.c_str());
  return 0;
}
