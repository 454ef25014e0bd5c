// zyl_wait_until_working: queries until the adapter works, on the public calls alone, so that
// it holds the exchange only for one query at a time.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <thread>

#include "client/include/zyl/zylclient.h"
#include "protocol/result_codes.h"

using namespace zylprotocol;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kQueryInterval{250};
constexpr milliseconds kProgressInterval{1000};
constexpr std::size_t kOptionsSizeV1 = offsetof(zyl_options, progress_context) + sizeof(void*);

// Answers that may change while the adapter comes back; any other ends the wait.
bool MayComeBack(int32_t result) {
  return result == kResultAdapterHasProblem || result == kResultCommandRegisterZero ||
         result == kResultAdapterNotFound;
}

}  // namespace

extern "C" int zyl_wait_until_working(uint32_t match_id, uint32_t match_subsys, uint32_t index,
                                      uint32_t wait_ms, int32_t* result,
                                      const zyl_options* options) {
  const zyl_progress_fn progress =
      options != nullptr && options->size >= kOptionsSizeV1 ? options->progress : nullptr;
  const auto start = Clock::now();
  const auto end = start + milliseconds(wait_ms);
  auto nextReport = start + kProgressInterval;
  for (;;) {
    int32_t answer = 0;
    const int status = zyl_query(match_id, match_subsys, index, &answer, options);
    if (status != ZYL_STATUS_OK) return status;
    if (result != nullptr) *result = answer;
    if (answer == kResultAdapterWorks || !MayComeBack(answer)) return ZYL_STATUS_OK;
    const auto now = Clock::now();
    if (now >= end) return ZYL_STATUS_OK;
    if (progress != nullptr && now >= nextReport) {
      const auto elapsed = std::chrono::duration_cast<milliseconds>(now - start).count();
      progress(options->progress_context, ZYL_WAITING_FOR_ADAPTER, static_cast<uint32_t>(elapsed));
      nextReport += kProgressInterval;
    }
    std::this_thread::sleep_until(std::min(now + kQueryInterval, end));
  }
}
