// zylprobe: the tests' protocol probe, zylclient's command line on the library's internal
// exchange. It does what no caller of the library can: sends raw bytes (--raw), connects
// without the events (--no-events), and reports which of the service's two events were set.
// Built for the tests only, never installed.
#include <string>
#include <vector>

#include "client/exchange.h"
#include "client/transport.h"
#include "tools/zylclient/cli.h"

namespace {

zylclient::Outcome Send(const zylclient::CliOptions& options, const zyl_options& library) {
  zylclient::ExchangeOptions exchange;
  exchange.createEvents = options.createEvents;
  exchange.timeoutMs = library.timeout_ms != 0 ? static_cast<int>(library.timeout_ms) : 60000;
  exchange.progress = library.progress;
  exchange.progressContext = library.progress_context;
  auto transport = zylclient::MakeClientTransport({options.runtimeDir});
  const zylclient::ExchangeResult result = zylclient::RunExchange(
      *transport,
      options.raw.empty() ? zylclient::EncodeRequest(zylclient::ToProtocol(options.request))
                          : options.raw,
      exchange);

  zylclient::Outcome outcome;
  outcome.status = result.status;
  outcome.reply = zylclient::ToPublic(result.reply);
  outcome.message = result.message;
  outcome.eventsWatched = true;
  outcome.eventsUsed = result.eventsUsed;
  outcome.replyBytes = result.replyBytes;
  outcome.commandDoneBeforeReply = result.commandDoneBeforeReply;
  outcome.disconnectedAfterReply = result.disconnectedAfterReply;
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  return zylclient::Main(std::vector<std::string>(argv + 1, argv + argc), true, &Send);
}
