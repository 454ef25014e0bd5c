#include "tools/zylclient/client_session.h"

#include <algorithm>
#include <chrono>

namespace zylclient {

namespace {

using Clock = std::chrono::steady_clock;

// How long to wait for the disconnected event once the connection has closed.
constexpr int kDisconnectWaitMs = 2000;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<long long>(left, 0));
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t GetU32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

}  // namespace

std::vector<uint8_t> EncodeRequest(const ZylRequest& request) {
  std::vector<uint8_t> out;
  out.reserve(sizeof(ZylRequest));
  PutU32(out, request.command);
  PutU32(out, request.matchId);
  PutU32(out, request.matchSubsys);
  PutU32(out, request.count);
  PutU32(out, static_cast<uint32_t>(request.result));
  PutU32(out, uint32_t{request.foundVendor} | uint32_t{request.foundDevice} << 16);
  return out;
}

ZylRequest DecodeReply(const uint8_t* bytes, std::size_t size) {
  uint8_t padded[sizeof(ZylRequest)] = {};
  std::copy_n(bytes, std::min(size, sizeof(padded)), padded);
  ZylRequest reply{};
  reply.command = GetU32(padded);
  reply.matchId = GetU32(padded + 4);
  reply.matchSubsys = GetU32(padded + 8);
  reply.count = GetU32(padded + 12);
  reply.result = static_cast<int32_t>(GetU32(padded + 16));
  reply.foundVendor = static_cast<uint16_t>(GetU32(padded + 20));
  reply.foundDevice = static_cast<uint16_t>(GetU32(padded + 20) >> 16);
  return reply;
}

SessionResult RunSession(ClientTransport& transport, const std::vector<uint8_t>& request,
                         const SessionOptions& options) {
  SessionResult result;
  const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
  std::string error;

  // The service opens both events as soon as it sees the connection, so they come first.
  if (options.createEvents) {
    const EventsOutcome events = transport.CreateEvents(&error);
    if (events == EventsOutcome::kServiceAbsent) {
      result.status = SessionStatus::kNotRunning;
      result.message = "the service is not running: " + error;
      return result;
    }
    if (events == EventsOutcome::kFailed) {
      result.status = SessionStatus::kEventsFailed;
      result.message = "cannot create the events: " + error;
      return result;
    }
  }

  switch (transport.Connect(MillisecondsLeft(deadline), &error)) {
    case ConnectOutcome::kConnected:
      break;
    case ConnectOutcome::kNotRunning:
      result.status = SessionStatus::kNotRunning;
      result.message = "the service is not running: " + error;
      return result;
    case ConnectOutcome::kBusy:
      result.status = SessionStatus::kBusy;
      result.message = "the service stayed busy with another client: " + error;
      return result;
    case ConnectOutcome::kFailed:
      result.status = SessionStatus::kFailed;
      result.message = "cannot connect: " + error;
      return result;
  }

  // A service that refuses the client may close the connection before the request is even
  // written; the read below then tells a refusal from any other failure.
  std::string sendError;
  const bool sent = transport.Send(request.data(), request.size(), &sendError);

  uint8_t reply[sizeof(ZylRequest)] = {};
  while (result.replyBytes < sizeof(reply)) {
    std::size_t got = 0;
    const ReceiveOutcome outcome =
        transport.Receive(reply + result.replyBytes, sizeof(reply) - result.replyBytes,
                          MillisecondsLeft(deadline), &got, &error);
    if (outcome == ReceiveOutcome::kData) {
      result.replyBytes += got;
      continue;
    }
    if (outcome == ReceiveOutcome::kClosed) {
      result.status = result.replyBytes == 0 ? SessionStatus::kNoReply : SessionStatus::kShortReply;
      result.message = result.replyBytes == 0
                           ? "no reply: the service closed the connection"
                           : "short reply: the service closed the connection after " +
                                 std::to_string(result.replyBytes) + " bytes";
    } else if (outcome == ReceiveOutcome::kTimeout) {
      result.status = SessionStatus::kTimeout;
      result.message = "no reply within " + std::to_string(options.timeoutMs) + " ms";
    } else {
      result.status = SessionStatus::kFailed;
      result.message = "cannot read the reply: " + error;
    }
    if (!sent && result.status != SessionStatus::kNoReply) {
      result.status = SessionStatus::kFailed;
      result.message = "cannot send the request: " + sendError;
    }
    break;
  }
  if (result.replyBytes == sizeof(reply)) {
    result.status = SessionStatus::kReply;
    result.reply = DecodeReply(reply, sizeof(reply));
  }

  // The service sets the first event before it writes the reply and the second once it has
  // disconnected, which follows our read of the reply.
  result.commandDoneBeforeReply = transport.IsSignalled(ClientEvent::kCommandDone);
  if (result.status == SessionStatus::kReply || result.status == SessionStatus::kNoReply ||
      result.status == SessionStatus::kShortReply) {
    // The service sets it right after its disconnect; a service that ended meanwhile never
    // does, and that must not cost the whole time-out.
    result.disconnectedAfterReply = transport.WaitFor(
        ClientEvent::kDisconnected, std::min(MillisecondsLeft(deadline), kDisconnectWaitMs));
  }
  return result;
}

}  // namespace zylclient
