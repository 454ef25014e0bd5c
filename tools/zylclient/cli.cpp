// The program: parses the arguments, sends the request (or the restart's steps), prints the
// report and answers the exit status. The arguments, the two forms of the report, the exit
// statuses and the usage text are in files of their own.
#include "tools/zylclient/cli.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "protocol/result_codes.h"
#include "protocol/zyl_request.h"
#include "tools/zylclient/report.h"
#include "zyl_version.h"

using zylprotocol::ZylCmdDisable;
using zylprotocol::ZylCmdEnable;

namespace zylclient {

std::string ResultMeaning(int32_t result) { return zyl_result_text(result); }

std::string FormatReport(const CliOptions& options, const Outcome& result) {
  return options.json ? JsonReport(options, result) : TextReport(options, result);
}

std::string FormatWait(bool json, const WaitOutcome& wait) {
  return json ? JsonWait(wait) : TextWait(wait);
}

std::string WaitingLine(const CliOptions& options, int waitingFor, uint32_t elapsedMs) {
  const std::string name = CommandName(options.request.command);
  const std::string what = options.raw.empty() && !name.empty() ? name : "request";
  const std::string seconds = std::to_string(elapsedMs / 1000) + " s";
  if (waitingFor == ZYL_WAITING_FOR_ADAPTER) {
    return "zylclient: waiting for the adapter to work (" + seconds + ")";
  }
  if (waitingFor == ZYL_WAITING_FOR_SERVICE) {
    return "zylclient: waiting for the service, which serves another client (" + seconds + ")";
  }
  return "zylclient: waiting for the service's reply to " + what + " (" + seconds + ")";
}

namespace {

// On a terminal, a reply that takes long is announced on standard error, one line rewritten
// every second; the report itself, JSON or not, goes to standard output alone.
struct WaitingNotice {
  const CliOptions* options;
  bool shown = false;

  static void Show(void* context, int waitingFor, uint32_t elapsedMs) {
    auto* notice = static_cast<WaitingNotice*>(context);
    const std::string line = WaitingLine(*notice->options, waitingFor, elapsedMs);
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    notice->shown = true;
  }
  void End() {
    if (shown) std::fputs("\n", stderr);
  }
};

// enable --wait, and restart: disable, enable, then query until the adapter works. A step
// that did not do what it was asked ends the run with its own exit status.
ExitCode Restart(const CliOptions& options, zyl_options library, WaitingNotice& notice,
                 SendFn send) {
  std::vector<std::string> reports;
  auto step = [&](uint32_t command) {
    CliOptions one = options;
    one.request.command = command;
    const Outcome outcome = send(one, library);
    std::string report = FormatReport(one, outcome);
    if (options.json) report = report.substr(0, report.size() - 2);  // without "}\n"
    reports.push_back(std::move(report));
    return ExitStatus(outcome);
  };
  // One JSON object: the enable's with the wait in it, or the restart's with its steps.
  auto print = [&](const std::string& wait) {
    notice.End();
    std::string out;
    if (!options.json) {
      for (const std::string& report : reports) out += report;
      out += wait;
    } else if (!options.restart) {
      out = reports.back() + (wait.empty() ? "" : "," + wait) + "}\n";
    } else {
      out = "{\"name\":\"restart\",\"steps\":[";
      for (std::size_t i = 0; i < reports.size(); ++i) out += (i > 0 ? "," : "") + reports[i] + "}";
      out += ']';
      if (!wait.empty()) out += "," + wait;
      out += "}\n";
    }
    std::fputs(out.c_str(), stdout);
  };

  ExitCode exitStatus = ExitCode::kDone;
  if ((options.restart && (exitStatus = step(ZylCmdDisable)) != ExitCode::kDone) ||
      (exitStatus = step(ZylCmdEnable)) != ExitCode::kDone) {
    print("");
    return exitStatus;
  }

  WaitOutcome wait;
  wait.waitMs = options.waitSeconds.value_or(kRestartWaitSeconds) * 1000;
  char message[512];
  library.message = message;
  library.message_size = sizeof(message);
  const auto start = std::chrono::steady_clock::now();
  wait.status = zyl_wait_until_working(options.request.matchId, options.request.matchSubsys,
                                       options.request.count, wait.waitMs, &wait.result, &library);
  wait.waitedMs = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - start)
                                            .count());
  wait.message = message;
  print(FormatWait(options.json, wait));
  return ExitStatusOfWait(wait);
}

}  // namespace

int Main(const std::vector<std::string>& arguments, bool probe, SendFn send) {
  std::string error;
  const auto options = ParseArguments(arguments, &error, probe);
  if (!options) {
    const std::string text = UsageError(arguments, error);
    std::fputs(text.c_str(), text[0] == '{' ? stdout : stderr);
    return static_cast<int>(ExitCode::kBadArguments);
  }
  if (options->help) {
    std::fputs(UsageText().c_str(), stdout);
    if (probe)
      std::fputs("test options: --no-events, --raw HEX (bytes instead of a record)\n", stdout);
    return static_cast<int>(ExitCode::kDone);
  }
  if (options->version) {
    std::printf("zylclient %s\n", ZYL_VERSION_TEXT);
    return static_cast<int>(ExitCode::kDone);
  }

  WaitingNotice notice{&*options};
  zyl_options library{};
  library.size = sizeof(library);
  library.timeout_ms = options->timeoutMs;
  library.runtime_dir = options->runtimeDir.c_str();  // "" is the default
  if (isatty(fileno(stderr))) {
    library.progress = &WaitingNotice::Show;
    library.progress_context = &notice;
  }
  if (options->restart || options->waitSeconds) {
    return static_cast<int>(Restart(*options, library, notice, send));
  }
  const Outcome outcome = send(*options, library);
  notice.End();
  std::fputs(FormatReport(*options, outcome).c_str(), stdout);
  return static_cast<int>(ExitStatus(outcome));
}

}  // namespace zylclient
