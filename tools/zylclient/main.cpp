// zylclient: sends one request to the control service and reports the reply.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/zylclient/cli.h"
#include "tools/zylclient/client_session.h"
#include "tools/zylclient/client_transport.h"
#include "zyl_version.h"

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

  auto transport = zylclient::MakeClientTransport({options->runtimeDir});
  const std::vector<uint8_t> request =
      options->raw.empty() ? zylclient::EncodeRequest(options->request) : options->raw;
  const zylclient::SessionResult result =
      zylclient::RunSession(*transport, request, {options->createEvents, options->timeoutMs});

  std::fputs(zylclient::FormatReport(*options, result).c_str(), stdout);
  return zylclient::ExitStatus(result);
}
