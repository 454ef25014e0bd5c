// What every PipeEvents binding does, as the pipe loop relies on it: one set of test bodies
// run against the fake (every platform), the Linux binding and the Windows binding (under
// Wine). Include in exactly one file of a test program, then instantiate with a binding type:
//
//   INSTANTIATE_TYPED_TEST_SUITE_P(Fake, PipeEventsContract, FakePipeEventsBinding);
//
// A binding type is default-constructible, one per test, and offers:
//   platform::PipeEvents& Events();
//   std::u16string_view PipeName();      // the pipe's name in this test (the service's own
//                                        // where the binding keeps tests apart otherwise)
//   platform::Handle Security();         // made once, released by the binding type
//   std::unique_ptr<zyltest::PipeClient> StartClient(std::vector<uint8_t> request);
//   std::unique_ptr<zyltest::NamedEvent> MakeNamedEvent(const std::u16string& name);
//   std::u16string EventName();          // a global event name of this test
//   static constexpr bool kEventsNeedNoFile;  // optional: OpenEvent opens any name (Linux)
//   static constexpr bool kRealTime;     // the read limit is waited out
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipe_events.h"
#include "service/pipe_server.h"

// The interface's own names, not the A/W macros of <windows.h> where that is included first.
#undef CreateEvent
#undef OpenEvent

namespace zyltest {

/// A client of the pipe, as another process: it connects (waiting while the single instance
/// serves someone else), writes its request in one write, possibly nothing, and reads until
/// the service lets it go.
class PipeClient {
 public:
  virtual ~PipeClient() = default;
  /// Every byte the service wrote; call once the service has disconnected it.
  virtual std::vector<uint8_t> Reply() = 0;
};

/// A manual-reset named event that another process made (as the client makes its two).
class NamedEvent {
 public:
  virtual ~NamedEvent() = default;
  virtual bool IsSignalled() = 0;
};

template <typename Binding>
class PipeEventsContract : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto it = opened_.rbegin(); it != opened_.rend(); ++it) events().Close(*it);
  }
  platform::PipeEvents& events() { return binding_.Events(); }
  platform::Handle Keep(platform::Handle handle) {
    if (handle != nullptr) opened_.push_back(handle);
    return handle;
  }
  // The service's settings, on the binding's name for this test.
  platform::PipeSettings Settings() {
    return {binding_.PipeName(),
            zylservice::kPipeOpenMode,
            zylservice::kPipeMode,
            zylservice::kPipeMaxInstances,
            zylservice::kPipeBufferSize,
            zylservice::kPipeBufferSize,
            zylservice::kPipeDefaultTimeoutMs};
  }
  platform::Handle MakePipe() { return Keep(events().CreatePipe(Settings(), binding_.Security())); }
  // A listening pipe with its auto-reset connect event and a manual-reset stop event.
  void Listen() {
    pipe_ = MakePipe();
    ASSERT_NE(pipe_, nullptr);
    connect_ = Keep(events().CreateEvent(false, false));
    stop_ = Keep(events().CreateEvent(true, false));
    ASSERT_EQ(events().Connect(pipe_, connect_), platform::ConnectState::kPending);
  }
  int WaitConnectOrStop() { return events().WaitForEither(connect_, stop_); }

  Binding binding_;
  std::vector<platform::Handle> opened_;
  platform::Handle pipe_ = nullptr;
  platform::Handle connect_ = nullptr;
  platform::Handle stop_ = nullptr;
};

TYPED_TEST_SUITE_P(PipeEventsContract);

inline std::vector<uint8_t> Sequence(std::size_t size, uint8_t first = 1) {
  std::vector<uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

TYPED_TEST_P(PipeEventsContract, FirstInstanceRefusesASecondServerOfTheName) {
  auto& events = this->events();
  platform::Handle first = events.CreatePipe(this->Settings(), this->binding_.Security());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(events.CreatePipe(this->Settings(), this->binding_.Security()), nullptr);
  events.Close(first);
  // Once the first server has gone, the name is free again.
  EXPECT_NE(this->MakePipe(), nullptr);
}

TYPED_TEST_P(PipeEventsContract, ConnectionSignalsTheConnectEventAndCarriesOneRecordEachWay) {
  ASSERT_NO_FATAL_FAILURE(this->Listen());
  auto& events = this->events();
  const std::vector<uint8_t> request = Sequence(24);
  auto client = this->binding_.StartClient(request);
  EXPECT_EQ(this->WaitConnectOrStop(), 0);

  std::vector<uint8_t> got(24);
  ASSERT_EQ(events.Read(this->pipe_, got.data(), got.size()), 24);
  EXPECT_EQ(got, request);
  got[16] = 0xAA;
  EXPECT_TRUE(events.Write(this->pipe_, got.data(), got.size()));
  EXPECT_TRUE(events.Flush(this->pipe_));
  EXPECT_TRUE(events.Disconnect(this->pipe_));
  EXPECT_EQ(client->Reply(), got);

  // Disconnected: nothing to read until the next client; the instance can listen again.
  EXPECT_EQ(events.Read(this->pipe_, got.data(), got.size()), -1);
  EXPECT_EQ(events.Connect(this->pipe_, this->connect_), platform::ConnectState::kPending);
}

TYPED_TEST_P(PipeEventsContract, ReadTakesWhatArrivedUpToItsSize) {
  ASSERT_NO_FATAL_FAILURE(this->Listen());
  auto& events = this->events();
  auto client = this->binding_.StartClient(Sequence(30));
  ASSERT_EQ(this->WaitConnectOrStop(), 0);
  std::vector<uint8_t> got(24);
  EXPECT_EQ(events.Read(this->pipe_, got.data(), got.size()), 24);
  EXPECT_EQ(got, Sequence(24));
  // The rest is a short read of its own.
  EXPECT_EQ(events.Read(this->pipe_, got.data(), got.size()), 6);
  EXPECT_EQ(got[0], 25);
  EXPECT_TRUE(events.Disconnect(this->pipe_));
  EXPECT_TRUE(client->Reply().empty());
}

TYPED_TEST_P(PipeEventsContract, ClientThatSendsNothingCannotHoldThePipe) {
  // A binding either hands the silent client over and gives its read up after the read limit
  // (one instance: Windows, the fake), or never hands it over (Linux reads every connection
  // side by side): either way the next client is served within that limit.
  ASSERT_NO_FATAL_FAILURE(this->Listen());
  auto& events = this->events();
  auto silent = this->binding_.StartClient({});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the silent one comes first
  const std::vector<uint8_t> request = Sequence(24, 0x40);
  auto next = this->binding_.StartClient(request);
  const auto start = std::chrono::steady_clock::now();
  std::vector<uint8_t> got(24);
  for (int handedOver = 0;; ++handedOver) {
    ASSERT_LT(handedOver, 2) << "only the silent client may come before the next one";
    ASSERT_EQ(this->WaitConnectOrStop(), 0);
    const std::ptrdiff_t size = events.Read(this->pipe_, got.data(), got.size());
    if (size == 24) break;
    EXPECT_EQ(size, -1) << "the silent client has nothing to read";
    EXPECT_TRUE(events.Disconnect(this->pipe_));
    if (events.Connect(this->pipe_, this->connect_) == platform::ConnectState::kConnected) {
      events.SetEvent(this->connect_);
    }
  }
  EXPECT_EQ(got, request);
  if (TypeParam::kRealTime) {
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(platform::kPipeReadLimitMs + 2000));
  }
  EXPECT_TRUE(events.Write(this->pipe_, got.data(), got.size()));
  EXPECT_TRUE(events.Flush(this->pipe_));
  EXPECT_TRUE(events.Disconnect(this->pipe_));
  EXPECT_EQ(next->Reply(), got);
}

TYPED_TEST_P(PipeEventsContract, ClientThatConnectedBeforeTheConnectCallIsServed) {
  auto& events = this->events();
  platform::Handle pipe = this->MakePipe();
  platform::Handle connect = this->Keep(events.CreateEvent(false, false));
  platform::Handle stop = this->Keep(events.CreateEvent(true, false));
  ASSERT_NE(pipe, nullptr);
  auto client = this->binding_.StartClient({'x'});
  const platform::ConnectState state = events.Connect(pipe, connect);
  if (state == platform::ConnectState::kPending) {
    EXPECT_EQ(events.WaitForEither(connect, stop), 0);
  } else {
    EXPECT_EQ(state, platform::ConnectState::kConnected);
  }
  uint8_t byte = 0;
  EXPECT_EQ(events.Read(pipe, &byte, 1), 1);
  EXPECT_EQ(byte, 'x');
  EXPECT_TRUE(events.Disconnect(pipe));
}

TYPED_TEST_P(PipeEventsContract, SecondClientWaitsUntilTheFirstIsLetGo) {
  ASSERT_NO_FATAL_FAILURE(this->Listen());
  auto& events = this->events();
  auto first = this->binding_.StartClient({'1'});
  ASSERT_EQ(this->WaitConnectOrStop(), 0);
  auto second = this->binding_.StartClient({'2'});
  uint8_t byte = 0;
  ASSERT_EQ(events.Read(this->pipe_, &byte, 1), 1);
  EXPECT_EQ(byte, '1');
  // While the first is served, a connect reports the live client (ERROR_PIPE_CONNECTED).
  EXPECT_EQ(events.Connect(this->pipe_, this->connect_), platform::ConnectState::kConnected);
  ASSERT_TRUE(events.Write(this->pipe_, "A", 1));
  ASSERT_TRUE(events.Flush(this->pipe_));
  ASSERT_TRUE(events.Disconnect(this->pipe_));
  EXPECT_EQ(first->Reply(), std::vector<uint8_t>{'A'});

  ASSERT_EQ(events.Connect(this->pipe_, this->connect_), platform::ConnectState::kPending);
  ASSERT_EQ(this->WaitConnectOrStop(), 0);
  ASSERT_EQ(events.Read(this->pipe_, &byte, 1), 1);
  EXPECT_EQ(byte, '2');
  EXPECT_TRUE(events.Disconnect(this->pipe_));
}

TYPED_TEST_P(PipeEventsContract, StopWinsWithoutAClientAndLosesToASimultaneousConnection) {
  ASSERT_NO_FATAL_FAILURE(this->Listen());
  auto& events = this->events();
  // Both signalled: the connection (index 0) is served first, the stop is seen next time.
  auto client = this->binding_.StartClient(Sequence(24));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // its request has arrived
  ASSERT_TRUE(events.SetEvent(this->stop_));
  EXPECT_EQ(this->WaitConnectOrStop(), 0);
  EXPECT_TRUE(events.Disconnect(this->pipe_));
  ASSERT_EQ(events.Connect(this->pipe_, this->connect_), platform::ConnectState::kPending);
  EXPECT_EQ(this->WaitConnectOrStop(), 1);
  // Manual reset: the stop stays signalled.
  EXPECT_EQ(this->WaitConnectOrStop(), 1);
}

TYPED_TEST_P(PipeEventsContract, StopSetOnAnotherThreadWakesTheWait) {
  ASSERT_NO_FATAL_FAILURE(this->Listen());
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    this->events().SetEvent(this->stop_);
  });
  EXPECT_EQ(this->WaitConnectOrStop(), 1);
  stopper.join();
}

TYPED_TEST_P(PipeEventsContract, AutoResetEventIsConsumedByTheWaitAndManualResetIsNot) {
  auto& events = this->events();
  platform::Handle autoEvent = this->Keep(events.CreateEvent(false, true));
  platform::Handle manualEvent = this->Keep(events.CreateEvent(true, false));
  ASSERT_NE(autoEvent, nullptr);
  ASSERT_NE(manualEvent, nullptr);
  EXPECT_EQ(events.WaitForEither(autoEvent, manualEvent), 0);
  ASSERT_TRUE(events.SetEvent(manualEvent));
  EXPECT_EQ(events.WaitForEither(autoEvent, manualEvent), 1);
  ASSERT_TRUE(events.SetEvent(autoEvent));
  ASSERT_TRUE(events.SetEvent(autoEvent));  // setting twice still signals once
  EXPECT_EQ(events.WaitForEither(autoEvent, manualEvent), 0);
  EXPECT_EQ(events.WaitForEither(autoEvent, manualEvent), 1);
  ASSERT_TRUE(events.ResetEvent(manualEvent));
  ASSERT_TRUE(events.SetEvent(autoEvent));
  EXPECT_EQ(events.WaitForEither(manualEvent, autoEvent), 1);
}

TYPED_TEST_P(PipeEventsContract, CallsOnAMissingHandleFail) {
  auto& events = this->events();
  platform::Handle event = this->Keep(events.CreateEvent(true, true));
  EXPECT_EQ(events.WaitForEither(event, nullptr), -1);
  EXPECT_EQ(events.WaitForEither(nullptr, nullptr), -1);
  EXPECT_FALSE(events.SetEvent(nullptr));
  EXPECT_FALSE(events.ResetEvent(nullptr));
}

TYPED_TEST_P(PipeEventsContract, OpenEventFindsOnlyEventsThatExist) {
  auto& events = this->events();
  ASSERT_NE(this->MakePipe(), nullptr);  // as in the service, the pipe exists first
  const std::u16string name = this->binding_.EventName();
  EXPECT_EQ(events.OpenEvent(u""), nullptr);
  if constexpr (requires { TypeParam::kEventsNeedNoFile; }) {
    // Linux: the socket carries all the events would, so any name opens one, set and reset
    // without anyone to see it.
    platform::Handle opened = events.OpenEvent(name);
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(events.SetEvent(opened));
    EXPECT_TRUE(events.ResetEvent(opened));
    events.Close(opened);
    return;
  }
  EXPECT_EQ(events.OpenEvent(name), nullptr);

  auto made = this->binding_.MakeNamedEvent(name);
  ASSERT_NE(made, nullptr);
  platform::Handle opened = events.OpenEvent(name);
  ASSERT_NE(opened, nullptr);
  // Set and reset through the opened handle reach the maker's object.
  EXPECT_TRUE(events.SetEvent(opened));
  EXPECT_TRUE(made->IsSignalled());
  EXPECT_TRUE(events.ResetEvent(opened));
  EXPECT_FALSE(made->IsSignalled());
  events.Close(opened);

  // The last handle closed destroys the event.
  made.reset();
  EXPECT_EQ(events.OpenEvent(name), nullptr);
}

TYPED_TEST_P(PipeEventsContract, ThreadRunsWithItsArgumentAndCanBeJoined) {
  auto& events = this->events();
  int argument = 17;
  platform::Handle thread = events.StartThread(
      [](void* value) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        *static_cast<int*>(value) += 1;
      },
      &argument);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(events.WaitForThread(thread));
  EXPECT_EQ(argument, 18);
  EXPECT_TRUE(events.WaitForThread(thread));  // already ended: returns at once
  events.Close(thread);
}

REGISTER_TYPED_TEST_SUITE_P(
    PipeEventsContract, FirstInstanceRefusesASecondServerOfTheName,
    ConnectionSignalsTheConnectEventAndCarriesOneRecordEachWay, ReadTakesWhatArrivedUpToItsSize,
    ClientThatSendsNothingCannotHoldThePipe, ClientThatConnectedBeforeTheConnectCallIsServed,
    SecondClientWaitsUntilTheFirstIsLetGo, StopWinsWithoutAClientAndLosesToASimultaneousConnection,
    StopSetOnAnotherThreadWakesTheWait, AutoResetEventIsConsumedByTheWaitAndManualResetIsNot,
    CallsOnAMissingHandleFail, OpenEventFindsOnlyEventsThatExist,
    ThreadRunsWithItsArgumentAndCanBeJoined);

}  // namespace zyltest
