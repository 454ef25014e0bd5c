// The report as one JSON object, for scripts.
#include "client/status_table.h"
#include "common/hex_text.h"
#include "protocol/result_codes.h"
#include "tools/zylclient/report.h"

using zylprotocol::kResultAdapterWorks;

namespace zylclient {
namespace {

// The report's short name of a transport status.
std::string StatusName(int status) {
  const StatusInfo* info = FindStatus(status);
  return info != nullptr ? info->name : "failed";
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out +=
          "\\u" + common::HexText(static_cast<unsigned char>(c), 4, '0', common::HexCase::kLower);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonReport(const CliOptions& options, const Outcome& result) {
  const zyl_record& sent = options.request;
  const zyl_record& reply = result.reply;
  const bool gotReply = result.status == ZYL_STATUS_OK;
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
  if (result.eventsWatched && Exchanged(result)) {
    out += ",\"commandDoneBeforeReply\":" +
           std::string(result.commandDoneBeforeReply ? "true" : "false");
    out += ",\"disconnectedAfterReply\":" +
           std::string(result.disconnectedAfterReply ? "true" : "false");
  }
  if (!result.message.empty()) out += ",\"message\":" + JsonString(result.message);
  return out + "}\n";
}

std::string JsonWait(const WaitOutcome& wait) {
  const bool answered = wait.status == ZYL_STATUS_OK;
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

}  // namespace zylclient
