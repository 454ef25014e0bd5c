#pragma once

// The service's own pipe loop on a real pipe binding, on a thread of its own, with command
// handlers that answer recognisably: what client tests talk to on Linux and under Wine.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/debug_output.h"
#include "platform/pipe_events.h"
#include "service/pipe_server.h"
#include "service/service_platform.h"

namespace zyltest {

/// Answers 100 + the command code; command 4 takes a while, so a second client must wait.
inline void AnswerWithCode(zylprotocol::ZylRequest* request) {
  request->result = 100 + static_cast<int32_t>(request->command);
}
inline void SlowCommand(zylprotocol::ZylRequest* request) {
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  request->result = 1;
}
inline constexpr zylservice::CommandTable kClientTestHandlers = {
    AnswerWithCode, AnswerWithCode, AnswerWithCode, AnswerWithCode, SlowCommand};

class PipeLoopHost {
 public:
  /// Sets the pipe up on `events` and starts the loop; check `ready()`.
  explicit PipeLoopHost(platform::PipeEvents& events) : events_(events) {
    zylservice::ServicePlatform bindings;
    bindings.pipeEvents = &events_;
    bindings.debugOutput = &platform::SystemDebugOutput();
    zylservice::UsePlatform(bindings);
    zylservice::SetCommandHandlers(kClientTestHandlers);
    ready_ = zylservice::SetUpPipe(resources_) == nullptr;
    stop_ = events_.CreateEvent(true, false);
    if (ready_) loop_ = std::thread([this] { zylservice::RunPipeLoop(resources_, stop_); });
  }
  ~PipeLoopHost() {
    events_.SetEvent(stop_);
    if (loop_.joinable()) loop_.join();
    zylservice::ClosePipe(resources_);
    events_.Close(stop_);
    zylservice::UsePlatform(zylservice::ServicePlatform{});
  }
  PipeLoopHost(const PipeLoopHost&) = delete;
  PipeLoopHost& operator=(const PipeLoopHost&) = delete;

  bool ready() const { return ready_ && stop_ != nullptr; }

 private:
  platform::PipeEvents& events_;
  zylservice::PipeResources resources_;
  platform::Handle stop_ = nullptr;
  bool ready_ = false;
  std::thread loop_;
};

}  // namespace zyltest
