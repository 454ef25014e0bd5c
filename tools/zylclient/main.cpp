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
    const std::string text = zylclient::UsageError(arguments, error);
    std::fputs(text.c_str(), text[0] == '{' ? stdout : stderr);
    return zylclient::kExitBadArguments;
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
  // 0 is the library's default, as in zyl_options.
  exchange.timeoutMs = options->timeoutMs != 0 ? static_cast<int>(options->timeoutMs) : 60000;
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
