#include "client/exchange.h"

#include <algorithm>
#include <chrono>
#include <cstddef>

using zylprotocol::ZylRequest;

// The public header spells the record out for C callers; it must stay the protocol's record.
static_assert(sizeof(zyl_record) == sizeof(ZylRequest), "the C record is the wire record");
static_assert(offsetof(zyl_record, command) == offsetof(ZylRequest, command));
static_assert(offsetof(zyl_record, matchId) == offsetof(ZylRequest, matchId));
static_assert(offsetof(zyl_record, matchSubsys) == offsetof(ZylRequest, matchSubsys));
static_assert(offsetof(zyl_record, count) == offsetof(ZylRequest, count));
static_assert(offsetof(zyl_record, result) == offsetof(ZylRequest, result));
static_assert(offsetof(zyl_record, foundVendor) == offsetof(ZylRequest, foundVendor));
static_assert(offsetof(zyl_record, foundDevice) == offsetof(ZylRequest, foundDevice));

namespace zylclient {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long to wait for the disconnected event once the connection has closed.
constexpr int kDisconnectWaitMs = 2000;
constexpr milliseconds kProgressInterval{1000};

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t GetU32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

// The exchange's clock: one deadline for everything, and the progress hook, which is called
// between slices of a wait so that no transport needs to know about it.
class Deadline {
 public:
  explicit Deadline(const ExchangeOptions& options)
      : start_(Clock::now()),
        end_(start_ + milliseconds(options.timeoutMs)),
        nextReport_(start_ + kProgressInterval),
        progress_(options.progress),
        context_(options.progressContext) {}

  int MillisecondsLeft() const { return Until(end_); }
  bool Passed() const { return Clock::now() >= end_; }

  // How long the next slice of a wait may last: to the deadline, or to the next report.
  int NextSlice() const {
    return progress_ == nullptr ? MillisecondsLeft()
                                : std::min(MillisecondsLeft(), Until(nextReport_));
  }

  // After a slice that ended without an outcome: reports, when a report is due.
  void StillWaiting(int waitingFor) {
    if (progress_ == nullptr || Clock::now() < nextReport_) return;
    const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start_);
    progress_(context_, waitingFor, static_cast<uint32_t>(elapsed.count()));
    nextReport_ += kProgressInterval;
  }

 private:
  static int Until(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<milliseconds>(when - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
  }

  const Clock::time_point start_;
  const Clock::time_point end_;
  Clock::time_point nextReport_;
  const zyl_progress_fn progress_;
  void* const context_;
};

ExchangeResult Failure(int status, std::string message) {
  ExchangeResult result;
  result.status = status;
  result.message = std::move(message);
  return result;
}

// The service opens both events once it has read the request, so they exist before it goes out.
bool CreateEvents(ClientTransport& transport, ExchangeResult* failure) {
  std::string error;
  switch (transport.CreateEvents(&error)) {
    case EventsOutcome::kCreated:
      return true;
    case EventsOutcome::kServiceAbsent:
      *failure = Failure(ZYL_STATUS_NO_SERVICE, "the service is not running: " + error);
      return false;
    case EventsOutcome::kFailed:
      break;
  }
  *failure = Failure(ZYL_STATUS_NO_EVENTS, "cannot create the events: " + error);
  return false;
}

bool Connect(ClientTransport& transport, Deadline& deadline, ExchangeResult* failure) {
  std::string error;
  ConnectOutcome outcome;
  while ((outcome = transport.Connect(deadline.NextSlice(), &error)) == ConnectOutcome::kBusy &&
         !deadline.Passed()) {
    deadline.StillWaiting(ZYL_WAITING_FOR_SERVICE);
  }
  switch (outcome) {
    case ConnectOutcome::kConnected:
      return true;
    case ConnectOutcome::kNotRunning:
      *failure = Failure(ZYL_STATUS_NO_SERVICE, "the service is not running: " + error);
      return false;
    case ConnectOutcome::kBusy:
      *failure = Failure(ZYL_STATUS_BUSY, "the service stayed busy with another client: " + error);
      return false;
    case ConnectOutcome::kNotTheService:
      *failure = Failure(ZYL_STATUS_NOT_THE_SERVICE,
                         "the pipe is not served by the service, nothing was sent: " + error);
      return false;
    case ConnectOutcome::kFailed:
      break;
  }
  *failure = Failure(ZYL_STATUS_FAILED, "cannot connect: " + error);
  return false;
}

// Reads until 24 bytes have come or the connection ends; sets status and message.
void ReadReply(ClientTransport& transport, Deadline& deadline, const ExchangeOptions& options,
               ExchangeResult& result) {
  uint8_t reply[sizeof(ZylRequest)] = {};
  std::string error;
  ReceiveOutcome outcome = ReceiveOutcome::kData;
  while (result.replyBytes < sizeof(reply)) {
    std::size_t got = 0;
    outcome = transport.Receive(reply + result.replyBytes, sizeof(reply) - result.replyBytes,
                                deadline.NextSlice(), &got, &error);
    if (outcome == ReceiveOutcome::kData) {
      result.replyBytes += got;
    } else if (outcome == ReceiveOutcome::kTimeout && !deadline.Passed()) {
      deadline.StillWaiting(ZYL_WAITING_FOR_REPLY);
    } else {
      break;
    }
  }
  if (result.replyBytes == sizeof(reply)) {
    result.status = ZYL_STATUS_OK;
    result.reply = DecodeReply(reply, sizeof(reply));
  } else if (outcome == ReceiveOutcome::kClosed && result.replyBytes == 0) {
    result.status = ZYL_STATUS_CLOSED;
    result.message = "no reply: the service closed the connection";
  } else if (outcome == ReceiveOutcome::kClosed) {
    result.status = ZYL_STATUS_SHORT_REPLY;
    result.message = "short reply: the service closed the connection after " +
                     std::to_string(result.replyBytes) + " bytes";
  } else if (outcome == ReceiveOutcome::kTimeout) {
    result.status = ZYL_STATUS_TIMEOUT;
    result.message = "no reply within " + std::to_string(options.timeoutMs) + " ms";
  } else {
    result.status = ZYL_STATUS_FAILED;
    result.message = "cannot read the reply: " + error;
  }
}

// The service sets the first event before it writes the reply and the second once it has
// disconnected, which follows our read of the reply.
void ObserveEvents(ClientTransport& transport, const Deadline& deadline, ExchangeResult& result) {
  result.commandDoneBeforeReply = transport.IsSignalled(ClientEvent::kCommandDone);
  if (result.status == ZYL_STATUS_OK || result.status == ZYL_STATUS_CLOSED ||
      result.status == ZYL_STATUS_SHORT_REPLY) {
    // The service sets it right after its disconnect; a service that ended meanwhile never
    // does, and that must not cost the whole time-out.
    result.disconnectedAfterReply = transport.WaitFor(
        ClientEvent::kDisconnected, std::min(deadline.MillisecondsLeft(), kDisconnectWaitMs));
  }
}

// Without events (Linux): the whole reply means the command is done, and the end of the stream
// that the service closes right after means it let the client go.
void ObserveClose(ClientTransport& transport, const Deadline& deadline, ExchangeResult& result) {
  result.commandDoneBeforeReply = result.replyBytes == sizeof(ZylRequest);
  if (result.status == ZYL_STATUS_CLOSED || result.status == ZYL_STATUS_SHORT_REPLY) {
    result.disconnectedAfterReply = true;
  } else if (result.status == ZYL_STATUS_OK) {
    uint8_t extra = 0;
    std::size_t got = 0;
    std::string ignored;
    result.disconnectedAfterReply =
        transport.Receive(&extra, 1, std::min(deadline.MillisecondsLeft(), kDisconnectWaitMs), &got,
                          &ignored) == ReceiveOutcome::kClosed;
  }
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

ZylRequest ToProtocol(const zyl_record& record) {
  return ZylRequest{record.command, record.matchId,     record.matchSubsys, record.count,
                    record.result,  record.foundVendor, record.foundDevice};
}

zyl_record ToPublic(const ZylRequest& request) {
  return zyl_record{request.command, request.matchId,     request.matchSubsys, request.count,
                    request.result,  request.foundVendor, request.foundDevice};
}

ExchangeResult RunExchange(ClientTransport& transport, const std::vector<uint8_t>& request,
                           const ExchangeOptions& options) {
  Deadline deadline(options);
  ExchangeResult result;
  const bool events = transport.UsesEvents();
  if (events && options.createEvents && !CreateEvents(transport, &result)) return result;
  result.eventsUsed = events;
  if (!Connect(transport, deadline, &result)) return result;

  // A service that refuses the client may close the connection before the request is even
  // written; the read then tells a refusal from any other failure.
  std::string sendError;
  const bool sent = transport.Send(request.data(), request.size(), &sendError);
  ReadReply(transport, deadline, options, result);
  if (!sent && result.status != ZYL_STATUS_OK && result.status != ZYL_STATUS_CLOSED) {
    result.status = ZYL_STATUS_FAILED;
    result.message = "cannot send the request: " + sendError;
  }
  if (options.observeEvents && events) ObserveEvents(transport, deadline, result);
  if (options.observeEvents && !events) ObserveClose(transport, deadline, result);
  return result;
}

}  // namespace zylclient
