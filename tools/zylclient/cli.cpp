#include "tools/zylclient/cli.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "protocol/result_codes.h"
#include "protocol/zyl_request.h"
#include "zyl_version.h"

namespace zylclient {
namespace {

constexpr const char* kCommandNames[] = {"load", "count", "query", "disable", "enable"};

std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t maximum) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value > maximum) return std::nullopt;
  return value;
}

std::optional<std::vector<uint8_t>> ParseHex(std::string text) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-') continue;
    digits.push_back(c);
  }
  if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) digits.erase(0, 2);
  if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const auto byte = ParseNumber("0x" + digits.substr(i, 2), 0xFF);
    if (!byte || digits[i] == 'x' || digits[i + 1] == 'x') return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(*byte));
  }
  return bytes;
}

std::string Hex(uint32_t value, int width) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%0*X", width, value);
  return text;
}

// The report's short name of a transport status.
std::string StatusName(int status) {
  switch (status) {
    case ZYL_STATUS_OK:
      return "reply";
    case ZYL_STATUS_CLOSED:
      return "no-reply";
    case ZYL_STATUS_SHORT_REPLY:
      return "short-reply";
    case ZYL_STATUS_TIMEOUT:
      return "timeout";
    case ZYL_STATUS_NO_SERVICE:
      return "not-running";
    case ZYL_STATUS_BUSY:
      return "busy";
    case ZYL_STATUS_NO_EVENTS:
      return "events-failed";
    case ZYL_STATUS_NOT_THE_SERVICE:
      return "not-the-service";
  }
  return "failed";
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string EventLines(const CliOptions& options, const Outcome& result) {
  if (!result.eventsUsed) {
    // Linux: the socket is the whole exchange.
    return std::string("  ") + (result.commandDoneBeforeReply ? "reply received" : "no reply") +
           "\n  " +
           (result.disconnectedAfterReply ? "connection closed" : "connection not closed") + "\n";
  }
  if (!options.createEvents) return "  events: not created\n";
  return std::string("  command-done event: ") +
         (result.commandDoneBeforeReply ? "set" : "not set") + " when the reply came\n" +
         "  disconnected event: " + (result.disconnectedAfterReply ? "set" : "not set") +
         " after the reply\n";
}

// Options that take a number, and where it goes.
struct NumberOption {
  const char* name;
  uint64_t maximum;
  void (*store)(CliOptions& options, uint64_t value);
};

constexpr NumberOption kNumberOptions[] = {
    {"--match-id", 0xFFFFFFFF,
     [](CliOptions& o, uint64_t v) { o.request.matchId = static_cast<uint32_t>(v); }},
    {"--match-subsys", 0xFFFFFFFF,
     [](CliOptions& o, uint64_t v) { o.request.matchSubsys = static_cast<uint32_t>(v); }},
    {"--count", 0xFFFFFFFF,
     [](CliOptions& o, uint64_t v) { o.request.count = static_cast<uint32_t>(v); }},
    {"--found-vendor", 0xFFFF,
     [](CliOptions& o, uint64_t v) { o.request.foundVendor = static_cast<uint16_t>(v); }},
    {"--found-device", 0xFFFF,
     [](CliOptions& o, uint64_t v) { o.request.foundDevice = static_cast<uint16_t>(v); }},
    {"--timeout-ms", 24u * 3600 * 1000,
     [](CliOptions& o, uint64_t v) { o.timeoutMs = static_cast<uint32_t>(v); }},
    {"--wait", 24u * 3600, [](CliOptions& o, uint64_t v) { o.waitSeconds = uint32_t(v); }},
};

// Walks the arguments; an option's value is the argument after it.
class ArgumentReader {
 public:
  ArgumentReader(const std::vector<std::string>& arguments, std::string* error)
      : arguments_(arguments), error_(error) {}

  bool Done() const { return next_ >= arguments_.size(); }
  const std::string& Next() { return arguments_[next_++]; }

  std::optional<std::string> ValueOf(const std::string& option) {
    if (Done()) {
      *error_ = option + " needs a value";
      return std::nullopt;
    }
    return Next();
  }

  void Fail(std::string message) { *error_ = std::move(message); }

 private:
  const std::vector<std::string>& arguments_;
  std::string* error_;
  std::size_t next_ = 0;
};

// "load", "count", ... or a number.
bool ParseCommand(const std::string& argument, CliOptions& options, ArgumentReader& reader) {
  if (argument == "restart") {
    options.request.command = ZylCmdDisable;
    options.restart = true;
    return true;
  }
  for (uint32_t code = 0; code < std::size(kCommandNames); ++code) {
    if (argument == kCommandNames[code]) {
      options.request.command = code;
      return true;
    }
  }
  const auto number = ParseNumber(argument, 0xFFFFFFFF);
  if (!number) {
    reader.Fail("unknown command " + argument);
    return false;
  }
  options.request.command = static_cast<uint32_t>(*number);
  return true;
}

// One option starting with "--" (its value taken from `reader`).
bool ParseOption(const std::string& option, CliOptions& options, ArgumentReader& reader,
                 bool probe) {
  if (option == "--json") {
    options.json = true;
    return true;
  }
  if (!probe && (option == "--no-events" || option == "--raw")) {
    reader.Fail("unknown option " + option + " (a test option of zylprobe)");
    return false;
  }
  if (option == "--no-events") {
    options.createEvents = false;
    return true;
  }
  for (const NumberOption& number : kNumberOptions) {
    if (option != number.name) continue;
    const auto text = reader.ValueOf(option);
    if (!text) return false;
    const auto value = ParseNumber(*text, number.maximum);
    if (!value) {
      reader.Fail("bad value for " + option + ": " + *text);
      return false;
    }
    number.store(options, *value);
    return true;
  }
  if (option == "--runtime-dir") {
    const auto dir = reader.ValueOf(option);
    if (dir) options.runtimeDir = *dir;
    return dir.has_value();
  }
  if (option == "--raw") {
    const auto text = reader.ValueOf(option);
    if (!text) return false;
    auto bytes = ParseHex(*text);
    if (!bytes) {
      reader.Fail("bad hex bytes for --raw: " + *text);
      return false;
    }
    options.raw = std::move(*bytes);
    return true;
  }
  reader.Fail("unknown option " + option);
  return false;
}

}  // namespace

std::string CommandName(uint32_t command) {
  return command < std::size(kCommandNames) ? kCommandNames[command] : std::string();
}

std::string ResultMeaning(int32_t result) { return zyl_result_text(result); }

std::optional<CliOptions> ParseArguments(const std::vector<std::string>& arguments,
                                         std::string* error, bool probe) {
  CliOptions options;
  ArgumentReader reader(arguments, error);
  bool haveCommand = false;
  while (!reader.Done()) {
    const std::string& argument = reader.Next();
    if (argument == "--help" || argument == "-h") {
      options.help = true;
      return options;
    } else if (argument == "--version") {
      options.version = true;
      return options;
    }
    bool parsed;
    if (argument.rfind("--", 0) == 0) {
      parsed = ParseOption(argument, options, reader, probe);
    } else if (!haveCommand) {
      parsed = haveCommand = ParseCommand(argument, options, reader);
    } else {
      reader.Fail("unexpected argument " + argument);
      parsed = false;
    }
    if (!parsed) return std::nullopt;
  }
  if (!haveCommand && options.raw.empty()) {
    *error = "no command given";
    return std::nullopt;
  }
  const bool waits = options.restart || options.waitSeconds.has_value();
  if (waits && !options.restart &&
      (options.request.command != ZylCmdEnable || !options.raw.empty())) {
    *error = "--wait goes with enable and restart";
    return std::nullopt;
  }
  if (waits && options.request.matchId == 0 && options.request.matchSubsys == 0) {
    *error = "waiting for the adapter needs --match-id or --match-subsys (and --count) to query it";
    return std::nullopt;
  }
  return options;
}

std::string FormatReport(const CliOptions& options, const Outcome& result) {
  const zyl_record& sent = options.request;
  const zyl_record& reply = result.reply;
  const bool gotReply = result.status == ZYL_STATUS_OK;
  const bool exchanged =
      gotReply || result.status == ZYL_STATUS_CLOSED || result.status == ZYL_STATUS_SHORT_REPLY;
  if (options.json) {
    std::string out = "{\"status\":" + JsonString(StatusName(result.status));
    if (options.raw.empty()) {
      out += ",\"command\":" + std::to_string(sent.command);
      out += ",\"name\":" + JsonString(CommandName(sent.command));
    }
    if (gotReply) {
      out += ",\"reply\":{\"command\":" + std::to_string(reply.command) +
             ",\"matchId\":" + std::to_string(reply.matchId) +
             ",\"matchSubsys\":" + std::to_string(reply.matchSubsys) +
             ",\"count\":" + std::to_string(reply.count) +
             ",\"result\":" + std::to_string(reply.result) +
             ",\"foundVendor\":" + std::to_string(reply.foundVendor) +
             ",\"foundDevice\":" + std::to_string(reply.foundDevice) + "}";
      out += ",\"meaning\":" + JsonString(ResultMeaning(reply.result));
    }
    if (result.eventsWatched && result.status == ZYL_STATUS_SHORT_REPLY) {
      out += ",\"replyBytes\":" + std::to_string(result.replyBytes);
    }
    if (result.eventsWatched && exchanged) {
      out += ",\"commandDoneBeforeReply\":" +
             std::string(result.commandDoneBeforeReply ? "true" : "false");
      out += ",\"disconnectedAfterReply\":" +
             std::string(result.disconnectedAfterReply ? "true" : "false");
    }
    if (!result.message.empty()) out += ",\"message\":" + JsonString(result.message);
    return out + "}\n";
  }

  std::string out;
  const std::string name = CommandName(sent.command);
  if (options.raw.empty()) {
    out += "command " + std::to_string(sent.command) + (name.empty() ? "" : " (" + name + ")");
  } else {
    out += "raw request of " + std::to_string(options.raw.size()) + " bytes";
  }
  if (!gotReply) {
    out += ": " + result.message + "\n";
    if (result.eventsWatched && exchanged) out += EventLines(options, result);
    return out;
  }
  out += ": result " + std::to_string(reply.result) + " (" + ResultMeaning(reply.result) + ")\n";
  out += "  matchId      " + Hex(reply.matchId, 8) + "\n";
  out += "  matchSubsys  " + Hex(reply.matchSubsys, 8) + "\n";
  out += "  count        " + std::to_string(reply.count) + "\n";
  out += "  foundVendor  " + Hex(reply.foundVendor, 4) + "\n";
  out += "  foundDevice  " + Hex(reply.foundDevice, 4) + "\n";
  if (result.eventsWatched) out += EventLines(options, result);
  return out;
}

int ExitStatus(const Outcome& result) {
  switch (result.status) {
    case ZYL_STATUS_OK:
      return ExitStatusOfResult(result.reply.result);
    case ZYL_STATUS_NO_SERVICE:
    case ZYL_STATUS_BUSY:
    case ZYL_STATUS_NOT_THE_SERVICE:
      return kExitNoService;
    case ZYL_STATUS_CLOSED:
    case ZYL_STATUS_SHORT_REPLY:
      return kExitNoReply;
    case ZYL_STATUS_TIMEOUT:
      return kExitTimeout;
  }
  return kExitFailed;
}

int ExitStatusOfResult(int32_t result) {
  switch (result) {
    case kResultDone:
    case kResultAdapterWorks:
      return kExitDone;
    case kResultAdapterHasProblem:
      return kExitAdapterProblem;
    case kResultStateChangeRefused:
      return kExitRefused;
    case kResultNoContext:
      return kExitNoSession;
    case kResultCommandRegisterZero:
    case kResultAdapterNotFound:
      return kExitNotFound;
  }
  return kExitServiceFailed;
}

std::string FormatWait(bool json, const WaitOutcome& wait) {
  const bool answered = wait.status == ZYL_STATUS_OK;
  if (json) {
    std::string out = "\"wait\":{\"status\":" + JsonString(StatusName(wait.status));
    if (answered) {
      out += ",\"result\":" + std::to_string(wait.result) +
             ",\"meaning\":" + JsonString(ResultMeaning(wait.result));
    }
    out += ",\"working\":" +
           std::string(answered && wait.result == kResultAdapterWorks ? "true" : "false");
    out += ",\"waitedMs\":" + std::to_string(wait.waitedMs) +
           ",\"waitMs\":" + std::to_string(wait.waitMs);
    if (!wait.message.empty()) out += ",\"message\":" + JsonString(wait.message);
    return out + "}";
  }
  const std::string seconds = std::to_string(wait.waitedMs / 1000) + "." +
                              std::to_string(wait.waitedMs % 1000 / 100) + " s";
  if (!answered) return "waiting for the adapter: " + wait.message + "\n";
  std::string out = "query until the adapter works: result " + std::to_string(wait.result) + " (" +
                    ResultMeaning(wait.result) + ") after " + seconds;
  if (wait.result != kResultAdapterWorks && ExitStatusOfWait(wait) == kExitNotBack) {
    out += ", not back within " + std::to_string(wait.waitMs / 1000) + " s";
  }
  return out + "\n";
}

int ExitStatusOfWait(const WaitOutcome& wait) {
  if (wait.status != ZYL_STATUS_OK) {
    Outcome failed;
    failed.status = wait.status;
    return ExitStatus(failed);
  }
  switch (wait.result) {
    case kResultAdapterHasProblem:
    case kResultCommandRegisterZero:
    case kResultAdapterNotFound:
      return kExitNotBack;
  }
  return ExitStatusOfResult(wait.result);
}

std::string UsageError(const std::vector<std::string>& arguments, const std::string& error) {
  if (std::find(arguments.begin(), arguments.end(), "--json") != arguments.end()) {
    return "{\"status\":\"bad-arguments\",\"message\":" + JsonString(error) + "}\n";
  }
  return "zylclient: " + error + "\n" + UsageText();
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

std::string UsageText() {
  return "usage: zylclient <command> [options]\n"
         "       zylclient --version\n"
         "  <command>  load, count, query, disable, enable, or a number (0x.. for hex);\n"
         "             restart: disable, enable, then query until the adapter works\n"
         "options:\n"
         "  --match-id 0xDDDDVVVV      PCI ID dword to match (device<<16 | vendor)\n"
         "  --match-subsys 0xSSSSVVVV  PCI subsystem dword to match\n"
         "  --count N                  index of the function for query\n"
         "  --found-vendor 0xVVVV      foundVendor to send\n"
         "  --found-device 0xDDDD      foundDevice to send\n"
         "  --timeout-ms N             limit for the whole exchange; 0 or none: 60000\n"
         "  --wait SECONDS             enable, restart: then query (--match-id or\n"
         "                             --match-subsys, --count) until the adapter works;\n"
         "                             restart waits 30 s without it\n"
         "  --json                     report as one JSON object\n"
         "  --runtime-dir DIR          (Linux) the service's runtime directory (default\n"
         "                             /run/vokzyl)\n"
         "exit status:\n"
         "  0   the command did what it was asked (result 1, or 2 from query: the adapter works)\n"
         "  1   the service answered another failure (result 0, -105, -106, -108, -200, -300)\n"
         "  2   bad arguments (with --json, reported as JSON on standard output)\n"
         "  3   the service is not running, stayed busy, or the pipe is not the service's\n"
         "  4   the service closed the connection without a (whole) reply\n"
         "  5   no reply within the time-out: the command may or may not have run; query\n"
         "  6   other failure\n"
         "  7   the adapter has a problem, for example it is disabled (query: 3)\n"
         "  8   the state change was refused (-101)\n"
         "  9   no library session yet: run load first (-107)\n"
         "  10  not found: no adapter node (-102), or no working function at that index (4)\n"
         "  11  --wait, restart: the adapter did not work within the wait\n";
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
int Restart(const CliOptions& options, zyl_options library, WaitingNotice& notice, SendFn send) {
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
      out += "]" + (wait.empty() ? "" : "," + wait) + "}\n";
    }
    std::fputs(out.c_str(), stdout);
  };

  int exitStatus = kExitDone;
  if ((options.restart && (exitStatus = step(ZylCmdDisable)) != kExitDone) ||
      (exitStatus = step(ZylCmdEnable)) != kExitDone) {
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
    return kExitBadArguments;
  }
  if (options->help) {
    std::fputs(UsageText().c_str(), stdout);
    if (probe)
      std::fputs("test options: --no-events, --raw HEX (bytes instead of a record)\n", stdout);
    return kExitDone;
  }
  if (options->version) {
    std::printf("zylclient %s\n", ZYL_VERSION_TEXT);
    return kExitDone;
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
  if (options->restart || options->waitSeconds) return Restart(*options, library, notice, send);
  const Outcome outcome = send(*options, library);
  notice.End();
  std::fputs(FormatReport(*options, outcome).c_str(), stdout);
  return ExitStatus(outcome);
}

}  // namespace zylclient
