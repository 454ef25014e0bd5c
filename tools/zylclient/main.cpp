// zylclient: sends one request to the control service and reports the reply.
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client/exchange.h"
#include "client/transport.h"
#include "tools/zylclient/cli.h"
#include "zyl_version.h"

namespace {

// On a terminal, a reply that takes long is announced on standard error, one line rewritten
// every second; the report itself, JSON or not, goes to standard output alone.
struct WaitingNotice {
  const zylclient::CliOptions* options;
  bool shown = false;

  static void Show(void* context, int waitingFor, uint32_t elapsedMs) {
    auto* notice = static_cast<WaitingNotice*>(context);
    const std::string line = zylclient::WaitingLine(*notice->options, waitingFor, elapsedMs);
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    notice->shown = true;
  }
  void End() {
    if (shown) std::fputs("\n", stderr);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string error;
  const auto options = zylclient::ParseArguments(arguments, &error);
  if (!options) {
    std::fprintf(stderr, "zylclient: %s\n%s", error.c_str(), zylclient::UsageText().c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(zylclient::UsageText().c_str(), stdout);
    return 0;
  }
  if (options->version) {
    std::printf("zylclient %s\n", ZYL_VERSION_TEXT);
    return 0;
  }

  WaitingNotice notice{&*options};
  zylclient::ExchangeOptions exchange;
  exchange.createEvents = options->createEvents;
  exchange.timeoutMs = options->timeoutMs;
  if (isatty(fileno(stderr))) {
    exchange.progress = &WaitingNotice::Show;
    exchange.progressContext = &notice;
  }
  auto transport = zylclient::MakeClientTransport({options->runtimeDir});
  const std::vector<uint8_t> request =
      options->raw.empty() ? zylclient::EncodeRequest(options->request) : options->raw;
  const zylclient::ExchangeResult result = zylclient::RunExchange(*transport, request, exchange);
  notice.End();

  std::fputs(zylclient::FormatReport(*options, result).c_str(), stdout);
  return zylclient::ExitStatus(result);
}
