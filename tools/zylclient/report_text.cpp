// The report in plain words, for people.
#include "common/hex_text.h"
#include "protocol/result_codes.h"
#include "tools/zylclient/report.h"

using zylprotocol::kResultAdapterWorks;

namespace zylclient {
namespace {

std::string Hex(uint32_t value, int width) { return "0x" + common::HexText(value, width); }

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

}  // namespace

std::string TextReport(const CliOptions& options, const Outcome& result) {
  const zyl_record& sent = options.request;
  const zyl_record& reply = result.reply;
  const bool gotReply = result.status == ZYL_STATUS_OK;
  std::string out;
  const std::string name = CommandName(sent.command);
  if (options.raw.empty()) {
    out += "command " + std::to_string(sent.command) + (name.empty() ? "" : " (" + name + ")");
  } else {
    out += "raw request of " + std::to_string(options.raw.size()) + " bytes";
  }
  if (!gotReply) {
    out += ": " + result.message + "\n";
    if (result.eventsWatched && Exchanged(result)) out += EventLines(options, result);
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

std::string TextWait(const WaitOutcome& wait) {
  const bool answered = wait.status == ZYL_STATUS_OK;
  const std::string seconds = std::to_string(wait.waitedMs / 1000) + "." +
                              std::to_string(wait.waitedMs % 1000 / 100) + " s";
  if (!answered) return "waiting for the adapter: " + wait.message + "\n";
  std::string out = "query until the adapter works: result " + std::to_string(wait.result) + " (" +
                    ResultMeaning(wait.result) + ") after " + seconds;
  if (wait.result != kResultAdapterWorks && ExitStatusOfWait(wait) == ExitCode::kNotBack) {
    out += ", not back within " + std::to_string(wait.waitMs / 1000) + " s";
  }
  return out + "\n";
}

}  // namespace zylclient
