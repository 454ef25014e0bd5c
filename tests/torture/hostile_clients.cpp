#include "tests/torture/hostile_clients.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "client/exchange.h"
#include "platform/posix/ipc_names.h"
#include "protocol/names.h"
#include "protocol/result_codes.h"

using namespace zylprotocol;

extern char** environ;

namespace torture {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kAdapterId = 0x81CE104D;
constexpr uint32_t kAdapterSubsystem = 0x81CE104D;
constexpr uint16_t kAdapterVendor = 0x104D;
constexpr uint16_t kAdapterDevice = 0x81CE;

// What a correct reply to `sent` holds: one of `results`, and every field the command does not
// write as it was sent.
struct Expectation {
  std::vector<int32_t> results;
  std::optional<uint32_t> count;
  std::optional<uint16_t> foundVendor, foundDevice;
};

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

// Empty when `reply` is what `sent` should get, else what differs.
std::string CheckReply(const ZylRequest& sent, const ZylRequest& reply, const Expectation& want) {
  std::string wrong;
  auto field = [&wrong](const char* name, uint32_t got, uint32_t expected) {
    if (got != expected)
      wrong += std::string(" ") + name + "=" + Hex(got) + " not " + Hex(expected);
  };
  field("command", reply.command, sent.command);
  field("matchId", reply.matchId, sent.matchId);
  field("matchSubsys", reply.matchSubsys, sent.matchSubsys);
  field("count", reply.count, want.count.value_or(sent.count));
  field("foundVendor", reply.foundVendor, want.foundVendor.value_or(sent.foundVendor));
  field("foundDevice", reply.foundDevice, want.foundDevice.value_or(sent.foundDevice));
  bool resultKnown = false;
  for (int32_t result : want.results) resultKnown |= reply.result == result;
  if (!resultKnown) wrong += " result=" + std::to_string(reply.result);
  return wrong;
}

// A read-only request of the mix with random values in the fields the service must echo.
struct GoodRequest {
  ZylRequest request{};
  Expectation expectation;
};

GoodRequest MakeGoodRequest(ClientKind kind, std::mt19937& random) {
  GoodRequest good;
  ZylRequest& r = good.request;
  r.result = static_cast<int32_t>(random());  // always overwritten
  r.foundVendor = static_cast<uint16_t>(random());
  r.foundDevice = static_cast<uint16_t>(random());
  switch (kind) {
    case ClientKind::kCountBySubsystem:
      r.command = ZylCmdCountDevices;
      r.matchSubsys = kAdapterSubsystem;
      r.count = random();
      good.expectation = {{kResultDone}, 1, kAdapterVendor, kAdapterDevice};
      break;
    case ClientKind::kQuery:
      r.command = ZylCmdQueryState;
      r.matchId = kAdapterId;
      good.expectation = {{kResultAdapterWorks, kResultAdapterHasProblem}, {}, {}, {}};
      break;
    case ClientKind::kQueryAbsent:
      r.command = ZylCmdQueryState;
      r.matchId = kAdapterId;
      r.count = 1;
      good.expectation = {{kResultCommandRegisterZero}, {}, {}, {}};
      break;
    default:  // a count by ID, the commonest request
      r.command = ZylCmdCountDevices;
      r.matchId = kAdapterId;
      r.count = random();
      good.expectation = {{kResultDone}, 1, {}, {}};
      break;
  }
  return good;
}

ClientKind RandomGoodKind(std::mt19937& random) {
  constexpr ClientKind kinds[] = {ClientKind::kCountById, ClientKind::kCountBySubsystem,
                                  ClientKind::kQuery, ClientKind::kQueryAbsent};
  return kinds[random() % 4];
}

ClientReport Report(Outcome outcome, std::string detail = {}) {
  ClientReport report;
  report.outcome = outcome;
  report.detail = std::move(detail);
  return report;
}

ClientReport RunGood(const GoodRequest& good, bool createEvents, const ClientSettings& settings) {
  auto transport = zylclient::MakeClientTransport({settings.runtimeDir});
  zylclient::ExchangeOptions options;
  options.createEvents = createEvents;
  options.timeoutMs = settings.timeoutMs;
  const auto session =
      zylclient::RunExchange(*transport, zylclient::EncodeRequest(good.request), options);
  switch (session.status) {
    case ZYL_STATUS_OK: {
      const std::string wrong = CheckReply(good.request, session.reply, good.expectation);
      if (wrong.empty()) return Report(Outcome::kServed);
      return Report(Outcome::kWrongReply,
                    "command " + std::to_string(good.request.command) + ":" + wrong);
    }
    case ZYL_STATUS_CLOSED:
      // Without events of its own a client is served only while another holds them.
      if (!createEvents) return Report(Outcome::kRefused);
      return Report(Outcome::kWrongReply, "refused although it had its events");
    case ZYL_STATUS_TIMEOUT:
    case ZYL_STATUS_BUSY:
      return Report(Outcome::kTimeout, session.message);
    default:
      return Report(Outcome::kFailed, session.message);
  }
}

// A plain socket to the service, for what the real client would never send.
class RawConnection {
 public:
  ~RawConnection() {
    if (fd_ >= 0) close(fd_);
  }

  bool Connect(const std::string& runtimeDir, Clock::time_point deadline) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = platform::posix::PipeSocketPath(runtimeDir, kPipeName);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    for (;;) {
      fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd_ < 0) return false;
      if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return true;
      }
      const int failure = errno;
      close(fd_);
      fd_ = -1;
      // A full listen backlog: wait for room, as the real client does.
      if (failure != EAGAIN || Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  bool Send(const std::vector<uint8_t>& bytes) {
    return bytes.empty() || send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                                static_cast<ssize_t>(bytes.size());
  }
  void EndWriting() { shutdown(fd_, SHUT_WR); }

  // Everything the service sends until it closes the connection. Nothing when the deadline
  // passes first.
  std::optional<std::vector<uint8_t>> ReadUntilClosed(Clock::time_point deadline) {
    std::vector<uint8_t> got;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd watched{fd_, POLLIN, 0};
      const int ready = poll(&watched, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return ready == 0 ? std::nullopt : std::optional(got);
      uint8_t buffer[256];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0) {
        got.insert(got.end(), buffer, buffer + n);
      } else if (n == 0 || errno == ECONNRESET) {
        return got;
      } else if (errno != EINTR && errno != EAGAIN) {
        return got;
      }
    }
  }

 private:
  int fd_ = -1;
};

std::vector<uint8_t> RandomBytes(std::mt19937& random, std::size_t size) {
  std::vector<uint8_t> bytes(size);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

// Sends `bytes` on a raw connection, holding the events for the service (usually) or not, and
// reads until the service closes. Nothing when that failed; `failure` then says how.
std::optional<std::vector<uint8_t>> Exchange(const std::vector<uint8_t>& bytes, bool withEvents,
                                             const ClientSettings& settings,
                                             ClientReport& failure) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(settings.timeoutMs);
  auto events = zylclient::MakeClientTransport({settings.runtimeDir});
  std::string error;
  if (withEvents && events->CreateEvents(&error) != zylclient::EventsOutcome::kCreated) {
    failure = Report(Outcome::kFailed, "events: " + error);
    return std::nullopt;
  }
  RawConnection connection;
  if (!connection.Connect(settings.runtimeDir, deadline)) {
    failure = Report(Outcome::kFailed, "cannot connect");
    return std::nullopt;
  }
  // A service that drops the client may already have closed: a failed send is no fault.
  connection.Send(bytes);
  // An empty write is no signal: say "nothing more" so that the service's read ends.
  if (bytes.empty()) connection.EndWriting();
  auto got = connection.ReadUntilClosed(deadline);
  if (!got) failure = Report(Outcome::kTimeout, std::to_string(bytes.size()) + " raw bytes");
  return got;
}

// Checks that the service answers `bytes` with exactly `expected` (empty: no reply).
ClientReport RunRaw(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& expected,
                    bool withEvents, const ClientSettings& settings) {
  ClientReport failure;
  const auto got = Exchange(bytes, withEvents, settings, failure);
  if (!got) return failure;
  if (*got == expected) return Report(expected.empty() ? Outcome::kRefused : Outcome::kServed);
  return Report(Outcome::kWrongReply, std::to_string(bytes.size()) + " raw bytes got " +
                                          std::to_string(got->size()) + " bytes back");
}

ClientReport RunOversize(std::mt19937& random, bool withEvents, const ClientSettings& settings) {
  const std::size_t size = 25 + random() % 576;
  std::vector<uint8_t> bytes = RandomBytes(random, size);
  if (random() % 2 == 0) {
    // A known command up front: the first 24 bytes are served, the rest is ignored. Its reply
    // is not checked field by field here, only that it is the full record and nothing more,
    // since a query may find either state.
    const GoodRequest good = MakeGoodRequest(RandomGoodKind(random), random);
    const auto head = zylclient::EncodeRequest(good.request);
    std::copy(head.begin(), head.end(), bytes.begin());
    ClientReport failure;
    const auto got = Exchange(bytes, withEvents, settings, failure);
    if (!got) return failure;
    if (got->empty()) {
      // Dropped for want of events: possible only without events of its own.
      return withEvents ? Report(Outcome::kWrongReply, "oversize known command refused")
                        : Report(Outcome::kRefused);
    }
    if (got->size() != sizeof(ZylRequest)) {
      return Report(Outcome::kWrongReply,
                    "oversize known command: " + std::to_string(got->size()) + " bytes back");
    }
    const std::string wrong = CheckReply(
        good.request, zylclient::DecodeReply(got->data(), got->size()), good.expectation);
    return wrong.empty() ? Report(Outcome::kServed)
                         : Report(Outcome::kWrongReply, "oversize known command:" + wrong);
  }
  const uint32_t command = 5 + random() % (0xFFFFFFFFu - 4);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(command >> (8 * i));
  return RunRaw(bytes, {}, withEvents, settings);
}

ClientReport RunVanish(std::mt19937& random, const ClientSettings& settings) {
  const GoodRequest good = MakeGoodRequest(RandomGoodKind(random), random);
  auto events = zylclient::MakeClientTransport({settings.runtimeDir});
  std::string error;
  if (events->CreateEvents(&error) != zylclient::EventsOutcome::kCreated) {
    return Report(Outcome::kFailed, "events: " + error);
  }
  RawConnection connection;
  const auto deadline = Clock::now() + std::chrono::milliseconds(settings.timeoutMs);
  if (!connection.Connect(settings.runtimeDir, deadline)) {
    return Report(Outcome::kFailed, "cannot connect");
  }
  connection.Send(zylclient::EncodeRequest(good.request));
  return Report(Outcome::kVanished);  // the connection and the events close here
}

ClientReport RunFlood(std::mt19937& random, const ClientSettings& settings) {
  ClientReport report = Report(Outcome::kRefused);
  report.connections = 0;
  const int connections = 5 + static_cast<int>(random() % 16);
  const auto deadline = Clock::now() + std::chrono::milliseconds(settings.timeoutMs);
  for (int i = 0; i < connections; ++i) {
    RawConnection connection;
    if (!connection.Connect(settings.runtimeDir, deadline)) {
      return Report(Outcome::kFailed, "flood: cannot connect");
    }
    ++report.connections;
  }
  return report;
}

ClientReport RunCrash(std::mt19937& random, const ClientSettings& settings) {
  const std::string stage = std::to_string(random() % 3);
  const char* argv[] = {settings.selfPath.c_str(), "--crash-client", settings.runtimeDir.c_str(),
                        stage.c_str(), nullptr};
  pid_t child = -1;
  if (posix_spawn(&child, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    return Report(Outcome::kFailed, "cannot start a crashing client");
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return Report(Outcome::kFailed, "lost a child");
  if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL) {
    return Report(Outcome::kFailed, "the crashing client did not get as far as its crash");
  }
  return Report(Outcome::kVanished);
}

ClientReport Request(const ClientSettings& settings, const ZylRequest& request,
                     std::vector<int32_t> results, std::optional<uint32_t> count = {}) {
  return RunGood({request, {std::move(results), count, {}, {}}}, true, settings);
}

}  // namespace

const char* KindName(ClientKind kind) {
  switch (kind) {
    case ClientKind::kCountById:
      return "count by ID";
    case ClientKind::kCountBySubsystem:
      return "count by subsystem";
    case ClientKind::kQuery:
      return "query";
    case ClientKind::kQueryAbsent:
      return "query, absent index";
    case ClientKind::kNoEvents:
      return "no events";
    case ClientKind::kShortRecord:
      return "short record";
    case ClientKind::kOversize:
      return "oversize write";
    case ClientKind::kUnknownCommand:
      return "unknown command";
    case ClientKind::kVanish:
      return "vanishes after writing";
    case ClientKind::kFlood:
      return "connection flood";
    case ClientKind::kCrash:
      return "crashing process";
  }
  return "?";
}

ClientKind PickKind(std::mt19937& random, bool crashes) {
  // Weights per 100: about half good requests, the rest hostile; a crashing process costs a
  // process start, so it is rare.
  struct Weighted {
    ClientKind kind;
    unsigned weight;
  };
  constexpr Weighted kMix[] = {
      {ClientKind::kCountById, 14}, {ClientKind::kCountBySubsystem, 10},
      {ClientKind::kQuery, 14},     {ClientKind::kQueryAbsent, 6},
      {ClientKind::kNoEvents, 7},   {ClientKind::kShortRecord, 10},
      {ClientKind::kOversize, 10},  {ClientKind::kUnknownCommand, 10},
      {ClientKind::kVanish, 10},    {ClientKind::kFlood, 8},
      {ClientKind::kCrash, 1},
  };
  unsigned pick = random() % 100;
  for (const Weighted& entry : kMix) {
    if (pick < entry.weight) {
      return entry.kind == ClientKind::kCrash && !crashes ? ClientKind::kCountById : entry.kind;
    }
    pick -= entry.weight;
  }
  return ClientKind::kCountById;
}

ClientReport RunClient(ClientKind kind, std::mt19937& random, const ClientSettings& settings) {
  const bool withEvents = random() % 4 != 0;
  switch (kind) {
    case ClientKind::kCountById:
    case ClientKind::kCountBySubsystem:
    case ClientKind::kQuery:
    case ClientKind::kQueryAbsent:
      return RunGood(MakeGoodRequest(kind, random), true, settings);
    case ClientKind::kNoEvents:
      return RunGood(MakeGoodRequest(RandomGoodKind(random), random), false, settings);
    case ClientKind::kShortRecord:
      return RunRaw(RandomBytes(random, random() % sizeof(ZylRequest)), {}, withEvents, settings);
    case ClientKind::kOversize:
      return RunOversize(random, withEvents, settings);
    case ClientKind::kUnknownCommand: {
      ZylRequest request{};
      request.command = 5 + random() % (0xFFFFFFFFu - 4);
      if (random() % 8 == 0) request.command = 0xFFFFFFFFu - random() % 2;  // the far edge
      request.matchId = random();
      return RunRaw(zylclient::EncodeRequest(request), {}, withEvents, settings);
    }
    case ClientKind::kVanish:
      return RunVanish(random, settings);
    case ClientKind::kFlood:
      return RunFlood(random, settings);
    case ClientKind::kCrash:
      return RunCrash(random, settings);
  }
  return Report(Outcome::kFailed, "unknown kind");
}

ClientReport RunOwnerSetUp(const ClientSettings& settings) {
  ClientReport report = Request(settings, {ZylCmdLoadLibrary, 0, 0, 0, 0, 0, 0}, {kResultDone});
  if (report.outcome != Outcome::kServed) return report;
  report = Request(settings, {ZylCmdCountDevices, kAdapterId, 0, 0, 0, 0, 0}, {kResultDone}, 1);
  if (report.outcome != Outcome::kServed) return report;
  return Request(settings, {ZylCmdQueryState, kAdapterId, 0, 0, 0, 0, 0}, {kResultAdapterWorks});
}

ClientReport RunOwnerCycle(const ClientSettings& settings, int* requests) {
  const ZylRequest query{ZylCmdQueryState, kAdapterId, 0, 0, 0, 0, 0};
  const struct {
    ZylRequest request;
    int32_t result;
  } steps[] = {
      {{ZylCmdDisable, 0, 0, 0, 0, 0, 0}, kResultDone},
      {query, kResultAdapterHasProblem},
      {{ZylCmdEnable, 0, 0, 0, 0, 0, 0}, kResultDone},
      {query, kResultAdapterWorks},
  };
  for (const auto& step : steps) {
    ++*requests;
    ClientReport report = Request(settings, step.request, {step.result});
    if (report.outcome != Outcome::kServed) {
      report.detail = "owner: " + report.detail;
      return report;
    }
  }
  return Report(Outcome::kServed);
}

void RunCrashClient(const std::string& runtimeDir, int stage) {
  auto transport = zylclient::MakeClientTransport({runtimeDir});
  std::string error;
  if (transport->CreateEvents(&error) == zylclient::EventsOutcome::kCreated && stage > 0 &&
      transport->Connect(10000, &error) == zylclient::ConnectOutcome::kConnected && stage > 1) {
    const ZylRequest request{ZylCmdCountDevices, kAdapterId, 0, 0, 0, 0, 0};
    const auto bytes = zylclient::EncodeRequest(request);
    transport->Send(bytes.data(), bytes.size(), &error);
  }
  // Dies holding its events: their open-handle counts are never taken back.
  raise(SIGKILL);
  _exit(1);
}

}  // namespace torture
