// zyltorture: hostile clients against the real service process on the simulated machine.
//
// Runs thousands of short-lived clients, a few at a time, mixing good requests (whose exact
// replies on the simulated machine are known) with what a careless or hostile local user can
// send: short and oversize records, unknown commands, clients without events, clients that
// vanish or crash mid-request, and floods of empty connections. One sequential owner client
// takes the adapter out of service and puts it back meanwhile. It fails on any wrong reply or
// time-out, on growth of the service's memory or descriptors, on sanitizer reports in the
// service's log, and when the service does not stop cleanly on SIGTERM.
//
// usage: zyltorture [--clients N] [--parallel P] [--warm-up W] [--time-limit SECONDS]
//                   [--seed S] [--service PATH] [--no-crashes] [--keep]
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/transport.h"
#include "platform/posix/own_program.h"
#include "tests/torture/hostile_clients.h"
#include "tests/torture/service_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using torture::ClientKind;
using torture::Outcome;

constexpr long kRssGrowthLimitKiB = 8 * 1024;
constexpr int kDescriptorGrowthLimit = 2;
constexpr int kStopLimitMs = 10000;
constexpr int kServiceStoppedStatus = 1;  // the dispatcher's result after a normal run
constexpr auto kOwnerPause = std::chrono::milliseconds(20);
constexpr auto kSettle = std::chrono::milliseconds(300);
constexpr std::size_t kFailuresShown = 20;

struct Options {
  int clients = 3000;
  int parallel = 8;
  int warmUp = 200;
  int timeLimitS = 120;
  unsigned seed = 1;
  std::string service = ZYL_SIM_SERVICE;
  bool keep = false;
  bool crashes = true;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--keep" || arg == "--no-crashes") {
      (arg == "--keep" ? options->keep : options->crashes) = arg == "--keep";
      continue;
    }
    if (value == nullptr) return false;
    ++i;
    if (arg == "--clients") {
      options->clients = std::atoi(value);
    } else if (arg == "--parallel") {
      options->parallel = std::atoi(value);
    } else if (arg == "--warm-up") {
      options->warmUp = std::atoi(value);
    } else if (arg == "--time-limit") {
      options->timeLimitS = std::atoi(value);
    } else if (arg == "--seed") {
      options->seed = static_cast<unsigned>(std::strtoul(value, nullptr, 0));
    } else if (arg == "--service") {
      options->service = value;
    } else {
      return false;
    }
  }
  return options->clients > 0 && options->parallel >= 2 && options->warmUp >= 0 &&
         options->timeLimitS > 0;
}

// Outcomes of every client, by kind; thread-safe.
class Tally {
 public:
  void Add(ClientKind kind, const torture::ClientReport& report) {
    std::lock_guard lock(mutex_);
    ++byKind_[static_cast<int>(kind)][static_cast<int>(report.outcome)];
    ++byOutcome_[static_cast<int>(report.outcome)];
    connections_ += report.connections;
    if (!report.detail.empty() && failures_.size() < kFailuresShown) {
      failures_.push_back(std::string(torture::KindName(kind)) + ": " + report.detail);
    }
  }
  void AddOwner(int requests, const torture::ClientReport& report) {
    std::lock_guard lock(mutex_);
    ownerRequests_ += requests;
    ++ownerRuns_;
    ++byOutcome_[static_cast<int>(report.outcome)];
    if (!report.detail.empty() && failures_.size() < kFailuresShown) {
      failures_.push_back(report.detail);
    }
  }
  int Count(Outcome outcome) const { return byOutcome_[static_cast<int>(outcome)]; }
  int Passed() const {
    return Count(Outcome::kServed) + Count(Outcome::kRefused) + Count(Outcome::kVanished);
  }
  int Failed() const {
    return Count(Outcome::kWrongReply) + Count(Outcome::kTimeout) + Count(Outcome::kFailed);
  }
  int Clients() const { return Passed() + Failed(); }
  int ClientsOf(ClientKind kind) const {
    int total = 0;
    for (int n : byKind_[static_cast<int>(kind)]) total += n;
    return total;
  }

  void Print(const char* phase) const {
    std::printf("%s: %d clients (%ld connections), owner: %d requests\n", phase,
                Clients() - ownerRuns_, connections_, ownerRequests_);
    std::printf("  %-24s %7s %7s %8s %6s %7s %6s\n", "kind", "served", "refused", "vanished",
                "wrong", "timeout", "failed");
    for (int k = 0; k < torture::kClientKindCount; ++k) {
      const auto& row = byKind_[k];
      int total = 0;
      for (int n : row) total += n;
      if (total == 0) continue;
      std::printf("  %-24s %7d %7d %8d %6d %7d %6d\n",
                  torture::KindName(static_cast<ClientKind>(k)), row[0], row[1], row[2], row[3],
                  row[4], row[5]);
    }
    for (const std::string& failure : failures_) std::printf("  FAULT %s\n", failure.c_str());
  }

 private:
  static constexpr int kOutcomes = 6;
  mutable std::mutex mutex_;
  std::array<std::array<int, kOutcomes>, torture::kClientKindCount> byKind_{};
  std::array<int, kOutcomes> byOutcome_{};
  long connections_ = 0;
  int ownerRequests_ = 0;
  int ownerRuns_ = 0;  // the set-up and each cycle
  std::vector<std::string> failures_;
};

// Runs clients first..first+count-1 on `workers` threads, each client's kind and data drawn
// from its own seeded generator. Returns how many were not started before `deadline`.
int RunClients(int first, int count, int workers, const Options& options,
               Clock::time_point deadline, const torture::ClientSettings& settings, Tally& tally) {
  std::atomic<int> next{first};
  std::atomic<int> skipped{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([&] {
      for (int index; (index = next.fetch_add(1)) < first + count;) {
        if (Clock::now() >= deadline) {
          skipped.fetch_add(1);
          continue;
        }
        std::seed_seq seeds{options.seed, static_cast<unsigned>(index)};
        std::mt19937 random(seeds);
        const ClientKind kind = torture::PickKind(random, options.crashes);
        tally.Add(kind, torture::RunClient(kind, random, settings));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  return skipped.load();
}

bool Check(bool ok, const char* what, std::vector<std::string>* faults) {
  if (!ok) faults->push_back(what);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--crash-client") == 0) {
    torture::RunCrashClient(argv[2], std::atoi(argv[3]));
  }
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: %s [--clients N] [--parallel P] [--warm-up W] [--time-limit SECONDS]\n"
                 "          [--seed S] [--service PATH] [--no-crashes] [--keep]\n",
                 argv[0]);
    return 2;
  }
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(options.timeLimitS);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  std::string error;
  auto service = torture::ServiceProcess::Start(options.service, &error);
  if (service == nullptr) {
    std::printf("torture: cannot start the service: %s\ntorture: 0 passed, 1 failed\n",
                error.c_str());
    return 1;
  }
  if (options.keep) service->Keep();
  std::printf("service %s, pid %d, runtime dir %s\n", options.service.c_str(), service->Pid(),
              service->RuntimeDir().c_str());
  std::printf("clients %d (after %d warm-up), %d at a time (one of them the owner), seed %u\n",
              options.clients, options.warmUp, options.parallel, options.seed);

  const torture::ClientSettings settings{service->RuntimeDir(), platform::posix::OwnProgramPath()};
  std::vector<std::string> faults;
  Tally tally;

  const torture::ClientReport setUp = torture::RunOwnerSetUp(settings);
  tally.AddOwner(3, setUp);
  if (!Check(setUp.outcome == Outcome::kServed, "the owner's load, count and query failed",
             &faults)) {
    std::printf("  %s\n", setUp.detail.c_str());
  }

  // Warm-up: the first clients let the allocator and the kernel reach their steady state.
  const int workers = options.parallel - 1;
  Tally warmUp;
  int skipped = RunClients(0, options.warmUp, workers, options, deadline, settings, warmUp);
  std::this_thread::sleep_for(kSettle);
  const long rssBefore = service->ResidentKiB();
  const int fdsBefore = service->OpenDescriptors();

  // The measured run: the workers, and the owner changing the adapter's state meanwhile.
  const auto runStart = Clock::now();
  std::atomic<bool> workersDone{false};
  int ownerCycles = 0;
  std::thread owner([&] {
    while (!workersDone.load()) {
      int requests = 0;
      const torture::ClientReport cycle = torture::RunOwnerCycle(settings, &requests);
      tally.AddOwner(requests, cycle);
      ++ownerCycles;
      if (cycle.outcome != Outcome::kServed) break;
      std::this_thread::sleep_for(kOwnerPause);
    }
  });
  skipped +=
      RunClients(options.warmUp, options.clients, workers, options, deadline, settings, tally);
  workersDone.store(true);
  owner.join();
  const double runSeconds = std::chrono::duration<double>(Clock::now() - runStart).count();

  std::this_thread::sleep_for(kSettle);
  const long rssAfter = service->ResidentKiB();
  const int fdsAfter = service->OpenDescriptors();
  const std::vector<std::string> strayFiles = service->StrayFiles();

  const auto stopped = service->Stop(kStopLimitMs);
  const std::string log = service->Log();

  warmUp.Print("warm-up");
  tally.Print("measured run");
  std::printf("owner: %d disable/enable cycles\n", ownerCycles);
  std::printf("service memory VmRSS: %ld KiB before, %ld KiB after (%+ld KiB)\n", rssBefore,
              rssAfter, rssAfter - rssBefore);
  std::printf("service descriptors: %d before, %d after (%+d)\n", fdsBefore, fdsAfter,
              fdsAfter - fdsBefore);
  std::string names;
  for (const std::string& name : strayFiles) names += " " + name;
  std::printf("other files in the runtime dir: %zu%s\n", strayFiles.size(), names.c_str());
  std::printf("measured run %.1f s (%.0f clients/s), total %.1f s\n", runSeconds,
              tally.Clients() / runSeconds,
              std::chrono::duration<double>(Clock::now() - start).count());

  Check(skipped == 0, "the time limit was reached before every client ran", &faults);
  Check(rssBefore > 0 && rssAfter - rssBefore <= kRssGrowthLimitKiB,
        "the service's memory grew by more than 8 MiB", &faults);
  Check(fdsBefore > 0 && fdsAfter - fdsBefore <= kDescriptorGrowthLimit,
        "the service's open descriptors grew by more than 2", &faults);
  Check(strayFiles.empty(), "files other than the socket and its lock were made", &faults);
  if (Check(stopped.has_value(), "the service did not exit within 10 s of SIGTERM", &faults)) {
    std::printf("service exit status after SIGTERM: %d\n", *stopped);
    Check(*stopped == kServiceStoppedStatus, "the service's exit status was not 1", &faults);
  }
  Check(log.find("ZYLCTRL:SERVICE_CONTROL_STOP") != std::string::npos,
        "no ZYLCTRL:SERVICE_CONTROL_STOP in the service's log", &faults);
  Check(
      log.find("Sanitizer") == std::string::npos && log.find("runtime error") == std::string::npos,
      "a sanitizer report in the service's log", &faults);

  for (const std::string& fault : faults) std::printf("FAULT %s\n", fault.c_str());
  const int passed = warmUp.Passed() + tally.Passed();
  const int failed = warmUp.Failed() + tally.Failed() + static_cast<int>(faults.size());
  std::printf("torture: %d passed, %d failed\n", passed, failed);
  if (failed > 0) {
    service->Keep();
    std::printf("runtime dir kept: %s\n", service->RuntimeDir().c_str());
  }
  return failed == 0 ? 0 : 1;
}
