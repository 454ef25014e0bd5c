// Times RunDeviceOperation(DevOpQuery) over the machine's present device nodes. With the
// adapter absent the pass walks every node and answers "not found"; only reads are made.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/device_tree.h"
#include "platform/user_notice.h"
#include "service/device_nodes.h"

namespace {

using zylservice::DeviceNodeBindings;
using zylservice::DevOpQuery;
using zylservice::RunDeviceOperation;
using zylservice::ServiceContext;

class SilentDebugOutput : public platform::DebugOutput {
 public:
  void Write(std::u16string_view) override {}
  void WriteNarrow(std::string_view) override {}
};

class CountingNotice : public platform::UserNotice {
 public:
  void Show(std::u16string_view, std::u16string_view, uint32_t) override { ++shown; }
  int shown = 0;
};

std::size_t CountNodes(platform::DeviceTree& tree) {
  platform::DeviceList list = tree.GetPresentDevices();
  if (list == nullptr) return 0;
  platform::DeviceRecord record;
  std::size_t count = 0;
  while (tree.EnumDevice(list, static_cast<uint32_t>(count), record)) ++count;
  tree.DestroyList(list);
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  platform::DeviceTree& tree = platform::SystemDeviceTree();
  SilentDebugOutput debug;
  CountingNotice notice;
  const ServiceContext context;  // no identifiers chosen: only the three fixed IDs can match
  const DeviceNodeBindings bindings{tree, notice, debug};

  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(runs));
  int32_t answer = 0;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    answer = RunDeviceOperation(context, DevOpQuery, bindings);
    const auto end = std::chrono::steady_clock::now();
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  std::sort(micros.begin(), micros.end());
  const auto at = [&micros](double fraction) {
    return micros[static_cast<std::size_t>(fraction * static_cast<double>(micros.size() - 1))];
  };
  std::printf("DevOpQuery over %zu device nodes, %d runs: answer %d, notices %d\n",
              CountNodes(tree), runs, answer, notice.shown);
  std::printf("  min %.1f us  median %.1f us  p90 %.1f us  max %.1f us\n", micros.front(), at(0.5),
              at(0.9), micros.back());
  return 0;
}
