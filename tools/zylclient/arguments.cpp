// The command line's arguments: the command, the options and their values.
#include <cerrno>
#include <cstdlib>

#include "protocol/zyl_request.h"
#include "tools/zylclient/cli.h"

using zylprotocol::ZylCmdDisable;
using zylprotocol::ZylCmdEnable;

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

}  // namespace zylclient
