// The usage text, and what a refused command line prints.
#include <algorithm>

#include "tools/zylclient/cli.h"
#include "tools/zylclient/report.h"

namespace zylclient {

std::string UsageError(const std::vector<std::string>& arguments, const std::string& error) {
  if (std::find(arguments.begin(), arguments.end(), "--json") != arguments.end()) {
    return "{\"status\":\"bad-arguments\",\"message\":" + JsonString(error) + "}\n";
  }
  return "zylclient: " + error + "\n" + UsageText();
}

std::string UsageText() {
  return "usage: zylclient <command> [options]\n"
         "       zylclient --version\n"
         "  <command>  load, count, query, disable, enable, or a number (0x.. for hex);\n"
         "             restart: disable, enable, then query until the adapter works\n"
         "options:\n"
         "  --match-id 0xDDDDVVVV      PCI ID dword to match (device<<16 | vendor)\n"
         "  --match-subsys 0xSSSSVVVV  PCI subsystem dword to match\n"
         "  --count N                  index of the function for query\n"
         "  --found-vendor 0xVVVV      foundVendor to send\n"
         "  --found-device 0xDDDD      foundDevice to send\n"
         "  --timeout-ms N             limit for the whole exchange; 0 or none: 60000\n"
         "  --wait SECONDS             enable, restart: then query (--match-id or\n"
         "                             --match-subsys, --count) until the adapter works;\n"
         "                             restart waits 30 s without it\n"
         "  --json                     report as one JSON object\n"
         "  --runtime-dir DIR          (Linux) the service's runtime directory (default\n"
         "                             /run/vokzyl)\n"
         "exit status:\n"
         "  0   the command did what it was asked (result 1, or 2 from query: the adapter works)\n"
         "  1   the service answered another failure (result 0, -105, -106, -108, -200, -300)\n"
         "  2   bad arguments (with --json, reported as JSON on standard output)\n"
         "  3   the service is not running, stayed busy, or the pipe is not the service's\n"
         "  4   the service closed the connection without a (whole) reply\n"
         "  5   no reply within the time-out: the command may or may not have run; query\n"
         "  6   other failure\n"
         "  7   the adapter has a problem, for example it is disabled (query: 3)\n"
         "  8   the state change was refused (-101)\n"
         "  9   no library session yet: run load first (-107)\n"
         "  10  not found: no adapter node (-102), or no working function at that index (4)\n"
         "  11  --wait, restart: the adapter did not work within the wait\n";
}

}  // namespace zylclient
