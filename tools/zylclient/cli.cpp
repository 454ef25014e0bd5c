#include "tools/zylclient/cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "service/result_codes.h"

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

std::string StatusName(SessionStatus status) {
  switch (status) {
    case SessionStatus::kReply:
      return "reply";
    case SessionStatus::kNoReply:
      return "no-reply";
    case SessionStatus::kShortReply:
      return "short-reply";
    case SessionStatus::kTimeout:
      return "timeout";
    case SessionStatus::kNotRunning:
      return "not-running";
    case SessionStatus::kBusy:
      return "busy";
    case SessionStatus::kEventsFailed:
      return "events-failed";
    case SessionStatus::kFailed:
      return "failed";
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

std::string EventLines(const CliOptions& options, const SessionResult& result) {
  if (!options.createEvents) return "  events: not created\n";
  return std::string("  command-done event: ") +
         (result.commandDoneBeforeReply ? "set" : "not set") + " when the reply came\n" +
         "  disconnected event: " + (result.disconnectedAfterReply ? "set" : "not set") +
         " after the reply\n";
}

}  // namespace

std::string CommandName(uint32_t command) {
  return command < std::size(kCommandNames) ? kCommandNames[command] : std::string();
}

std::string ResultMeaning(int32_t result) {
  if (const ResultCodeInfo* info = FindResultCode(result)) return info->name;
  return result < 0 ? "failure" : "unknown";
}

std::optional<CliOptions> ParseArguments(const std::vector<std::string>& arguments,
                                         std::string* error) {
  CliOptions options;
  bool haveCommand = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    auto value = [&](uint64_t maximum) -> std::optional<uint64_t> {
      if (i + 1 >= arguments.size()) {
        *error = argument + " needs a value";
        return std::nullopt;
      }
      auto number = ParseNumber(arguments[++i], maximum);
      if (!number) *error = "bad value for " + argument + ": " + arguments[i];
      return number;
    };
    if (argument == "--help" || argument == "-h") {
      options.help = true;
      return options;
    } else if (argument == "--version") {
      options.version = true;
      return options;
    } else if (argument == "--json") {
      options.json = true;
    } else if (argument == "--no-events") {
      options.createEvents = false;
    } else if (argument == "--match-id") {
      auto v = value(0xFFFFFFFF);
      if (!v) return std::nullopt;
      options.request.matchId = static_cast<uint32_t>(*v);
    } else if (argument == "--match-subsys") {
      auto v = value(0xFFFFFFFF);
      if (!v) return std::nullopt;
      options.request.matchSubsys = static_cast<uint32_t>(*v);
    } else if (argument == "--count") {
      auto v = value(0xFFFFFFFF);
      if (!v) return std::nullopt;
      options.request.count = static_cast<uint32_t>(*v);
    } else if (argument == "--found-vendor") {
      auto v = value(0xFFFF);
      if (!v) return std::nullopt;
      options.request.foundVendor = static_cast<uint16_t>(*v);
    } else if (argument == "--found-device") {
      auto v = value(0xFFFF);
      if (!v) return std::nullopt;
      options.request.foundDevice = static_cast<uint16_t>(*v);
    } else if (argument == "--timeout-ms") {
      auto v = value(24u * 3600 * 1000);
      if (!v) return std::nullopt;
      options.timeoutMs = static_cast<int>(*v);
    } else if (argument == "--runtime-dir") {
      if (i + 1 >= arguments.size()) {
        *error = argument + " needs a value";
        return std::nullopt;
      }
      options.runtimeDir = arguments[++i];
    } else if (argument == "--raw") {
      if (i + 1 >= arguments.size()) {
        *error = argument + " needs a value";
        return std::nullopt;
      }
      auto bytes = ParseHex(arguments[++i]);
      if (!bytes) {
        *error = "bad hex bytes for --raw: " + arguments[i];
        return std::nullopt;
      }
      options.raw = std::move(*bytes);
    } else if (argument.rfind("--", 0) == 0) {
      *error = "unknown option " + argument;
      return std::nullopt;
    } else if (!haveCommand) {
      haveCommand = true;
      bool named = false;
      for (uint32_t code = 0; code < std::size(kCommandNames); ++code) {
        if (argument == kCommandNames[code]) {
          options.request.command = code;
          named = true;
        }
      }
      if (!named) {
        auto number = ParseNumber(argument, 0xFFFFFFFF);
        if (!number) {
          *error = "unknown command " + argument;
          return std::nullopt;
        }
        options.request.command = static_cast<uint32_t>(*number);
      }
    } else {
      *error = "unexpected argument " + argument;
      return std::nullopt;
    }
  }
  if (!haveCommand && options.raw.empty()) {
    *error = "no command given";
    return std::nullopt;
  }
  return options;
}

std::string FormatReport(const CliOptions& options, const SessionResult& result) {
  const ZylRequest& sent = options.request;
  const ZylRequest& reply = result.reply;
  const bool gotReply = result.status == SessionStatus::kReply;
  const bool exchanged = gotReply || result.status == SessionStatus::kNoReply ||
                         result.status == SessionStatus::kShortReply;
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
    if (result.status == SessionStatus::kShortReply) {
      out += ",\"replyBytes\":" + std::to_string(result.replyBytes);
    }
    if (exchanged) {
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
    if (exchanged) out += EventLines(options, result);
    return out;
  }
  out += ": result " + std::to_string(reply.result) + " (" + ResultMeaning(reply.result) + ")\n";
  out += "  matchId      " + Hex(reply.matchId, 8) + "\n";
  out += "  matchSubsys  " + Hex(reply.matchSubsys, 8) + "\n";
  out += "  count        " + std::to_string(reply.count) + "\n";
  out += "  foundVendor  " + Hex(reply.foundVendor, 4) + "\n";
  out += "  foundDevice  " + Hex(reply.foundDevice, 4) + "\n";
  out += EventLines(options, result);
  return out;
}

int ExitStatus(const SessionResult& result) {
  switch (result.status) {
    case SessionStatus::kReply:
      return 0;
    case SessionStatus::kNotRunning:
    case SessionStatus::kBusy:
      return 3;
    case SessionStatus::kNoReply:
    case SessionStatus::kShortReply:
      return 4;
    case SessionStatus::kTimeout:
      return 5;
    case SessionStatus::kEventsFailed:
    case SessionStatus::kFailed:
      return 6;
  }
  return 6;
}

std::string UsageText() {
  return "usage: zylclient <command> [options]\n"
         "       zylclient --version\n"
         "  <command>  load, count, query, disable, enable, or a number (0x.. for hex)\n"
         "options:\n"
         "  --match-id 0xDDDDVVVV      PCI ID dword to match (device<<16 | vendor)\n"
         "  --match-subsys 0xSSSSVVVV  PCI subsystem dword to match\n"
         "  --count N                  index of the function for query\n"
         "  --found-vendor 0xVVVV      foundVendor to send\n"
         "  --found-device 0xDDDD      foundDevice to send\n"
         "  --timeout-ms N             limit for the whole exchange (default 60000)\n"
         "  --json                     report as one JSON object\n"
         "  --runtime-dir DIR          (Linux) where the service keeps its socket and events\n"
         "  --no-events                (test) connect without creating the events\n"
         "  --raw HEX                  (test) send these bytes instead of a record\n"
         "exit status: 0 reply received; 2 bad arguments; 3 service not running or busy;\n"
         "  4 the service closed the connection without a (full) reply; 5 no reply in time;\n"
         "  6 other failure\n";
}

}  // namespace zylclient
