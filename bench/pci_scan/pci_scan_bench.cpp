// Prints transfer rates of the simulated and the sysfs port channel, the time of full scans
// through each, and the time of `lspci -n` on the same machine in the same run.
// Usage: pci_scan_bench [repetitions]   (default 20; the median is reported)

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "hwaccess/library_platform.h"
#include "hwaccess/qvzyl.h"
#include "platform/posix/port_channel.h"
#include "tests/fakes/driver_manager.h"
#include "tests/fakes/port_channel.h"

extern char** environ;

namespace hwaccess {

HwPlatform DefaultHwPlatform() {
  static platform::FakeDriverManager manager;
  static platform::FakePciBus bus;
  return HwPlatform{&manager, &bus, &platform::SystemDebugOutput()};
}

}  // namespace hwaccess

namespace {

using Clock = std::chrono::steady_clock;
void* const kDevice = reinterpret_cast<void*>(0x100);
constexpr QVLONG kNoSuchId = 0x7FFF7FFF;  // no real function carries it
constexpr QVLONG kNoSuchSubsystem = 0x7FFF7FFF;

/// The library's debug lines would interleave with the figures.
class SilentDebugOutput : public platform::DebugOutput {
 public:
  void Write(std::u16string_view) override {}
  void WriteNarrow(std::string_view) override {}
};
SilentDebugOutput silent;

class Scanner : public CQVACS {
 public:
  Scanner() { deviceHandle_ = kDevice; }
};

/// Median wall time of `repetitions` runs, in milliseconds.
double MedianMs(int repetitions, const std::function<void()>& run) {
  std::vector<double> times;
  for (int i = 0; i < repetitions; ++i) {
    const Clock::time_point start = Clock::now();
    run();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void Report(const char* what, double ms, double transfers) {
  std::printf("  %-44s %10.3f ms  %12.0f transfers/s\n", what, ms, transfers / (ms / 1000.0));
}

/// Prints the channel's figures; returns the full ID-mode scan's median.
double Channel(const char* name, platform::PortChannel& channel, int repetitions) {
  platform::FakeDriverManager manager;
  hwaccess::UseHwPlatform({&manager, &channel, &silent});
  Scanner scanner;
  std::printf("%s\n", name);
  // A present function's register: the dearest transfer pair a scan makes.
  const double presentMs = MedianMs(repetitions, [&] {
    for (int i = 0; i < 1000; ++i) {
      channel.WritePort(kDevice, 0xCF8, 0x80000004);
      channel.ReadPort(kDevice, 0xCFC);
    }
  });
  Report("1000 reads of 00:00.0 register 0x04", presentMs, 2000);
  const double idMs =
      MedianMs(repetitions, [&] { scanner.SearchPCIConfig(kNoSuchId, 0, nullptr); });
  Report("full ID-mode scan, no match (131,072)", idMs, 131072);
  QVLONG found = 0;
  const double subsysMs =
      MedianMs(repetitions, [&] { scanner.SearchPCIConfig(0, kNoSuchSubsystem, &found); });
  Report("subsystem-only scan, no match (32,768)", subsysMs, 32768);
  return idMs;
}

/// Runs `lspci -n` itself (no shell), its output discarded; false when it did not succeed.
bool RunLspci() {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const char* args[] = {"lspci", "-n", nullptr};
  pid_t child = 0;
  int status = -1;
  if (posix_spawnp(&child, args[0], &actions, nullptr, const_cast<char**>(args), environ) == 0) {
    ::waitpid(child, &status, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
  return status == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  std::printf("median of %d runs\n", repetitions);

  platform::FakePciBus bus;
  bus.LoadDump(std::string(ZYL_SOURCE_DIR) + "/tests/data/pci/qemu-virtio.txt");
  Channel("simulated bus (fake channel, this machine's dump)", bus, repetitions);

  platform::SysfsPortChannel sysfs;
  const double sysfsMs = Channel("Linux sysfs channel (/sys/bus/pci/devices)", sysfs, repetitions);

  std::printf("lspci -n (its own process, no shell, output discarded)\n");
  const double lspciMs = MedianMs(repetitions, [] {
    if (!RunLspci()) std::printf("  lspci failed\n");
  });
  std::printf("  %-44s %10.3f ms\n", "lspci -n", lspciMs);
  std::printf(
      "summary: full ID-mode scan over sysfs %.3f ms, lspci -n %.3f ms, %.1f times "
      "faster than lspci -n\n",
      sysfsMs, lspciMs, lspciMs / sysfsMs);
  return 0;
}
