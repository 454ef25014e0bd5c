#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/zyl_request.h"
#include "tools/zylclient/client_transport.h"

namespace zylclient {

/// How one request ended.
enum class SessionStatus {
  kReply,       // a full 24-byte reply arrived
  kNoReply,     // the service closed the connection without a reply (unknown command)
  kShortReply,  // the connection closed after part of a reply
  kTimeout,     // no reply within the time-out
  kNotRunning,  // nobody serves the pipe
  kBusy,        // the pipe stayed busy until the time-out
  kEventsFailed,
  kFailed,
};

struct SessionOptions {
  bool createEvents = true;
  int timeoutMs = 60000;  // a full PCI scan takes tens of seconds on slow machines
};

struct SessionResult {
  SessionStatus status = SessionStatus::kFailed;
  ZylRequest reply{};
  std::size_t replyBytes = 0;
  bool commandDoneBeforeReply = false;  // "Global\VokZylRemoveService" set when the reply came
  bool disconnectedAfterReply = false;  // "Global\VokZylRemoveService2" set afterwards
  std::string message;                  // what went wrong, in plain words
};

/// One request: create the events, connect, write `request` in one write, read the reply,
/// and see which events the service set. The time-out covers the whole exchange.
SessionResult RunSession(ClientTransport& transport, const std::vector<uint8_t>& request,
                         const SessionOptions& options);

/// The 24 wire bytes of a record (little-endian).
std::vector<uint8_t> EncodeRequest(const ZylRequest& request);
ZylRequest DecodeReply(const uint8_t* bytes, std::size_t size);

}  // namespace zylclient
