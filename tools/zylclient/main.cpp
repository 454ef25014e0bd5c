// zylclient: sends one request to the control service and reports the reply, through the
// client library's public interface alone: it knows nothing that a caller of the library
// cannot know.
#include <string>
#include <vector>

#include "tools/zylclient/cli.h"

namespace {

zylclient::Outcome Send(const zylclient::CliOptions& options, const zyl_options& library) {
  char message[512];
  zyl_options withMessage = library;
  withMessage.message = message;
  withMessage.message_size = sizeof(message);
  zylclient::Outcome outcome;
  outcome.status = zyl_request(&options.request, &outcome.reply, &withMessage);
  outcome.message = message;
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  return zylclient::Main(std::vector<std::string>(argv + 1, argv + argc), false, &Send);
}
