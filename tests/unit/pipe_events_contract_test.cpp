// The fake pipe and events held to the contract that the real bindings meet.
#include "contract/pipe_events_contract.h"

#include "protocol/names.h"
#include "service/pipe_server.h"
#include "tests/fakes/pipe_events.h"

namespace {

using platform::kFileAllAccess;
using zylprotocol::kPipeName;

class FakeClientOfPipe : public zyltest::PipeClient {
 public:
  FakeClientOfPipe(platform::FakePipeEvents& fake, std::size_t index)
      : fake_(fake), index_(index) {}
  std::vector<uint8_t> Reply() override {
    fake_.WaitForOutcomes(index_ + 1);
    return fake_.Outcomes().at(index_).reply;
  }

 private:
  platform::FakePipeEvents& fake_;
  std::size_t index_;
};

class FakeNamedEvent : public zyltest::NamedEvent {
 public:
  FakeNamedEvent(platform::FakePipeEvents& fake, std::shared_ptr<platform::FakeEventState> state)
      : fake_(fake), state_(std::move(state)) {}
  bool IsSignalled() override { return fake_.IsSignalled(*state_); }

 private:
  platform::FakePipeEvents& fake_;
  std::shared_ptr<platform::FakeEventState> state_;
};

class FakePipeEventsBinding {
 public:
  static constexpr bool kRealTime = false;

  ~FakePipeEventsBinding() { fake_.Close(security_); }
  platform::PipeEvents& Events() { return fake_; }
  std::u16string_view PipeName() { return kPipeName; }
  platform::Handle Security() {
    if (security_ == nullptr) {
      const platform::PipeAccessEntry entry{u"Users", kFileAllAccess};
      security_ = fake_.BuildSecurity({&entry, 1});
    }
    return security_;
  }
  std::unique_ptr<zyltest::PipeClient> StartClient(std::vector<uint8_t> request) {
    platform::FakeClient client;
    client.request = std::move(request);
    client.createsEvents = false;
    fake_.QueueClient(std::move(client));
    return std::make_unique<FakeClientOfPipe>(fake_, clients_++);
  }
  std::unique_ptr<zyltest::NamedEvent> MakeNamedEvent(const std::u16string& name) {
    return std::make_unique<FakeNamedEvent>(fake_, fake_.CreateNamedEvent(name, true, false));
  }
  std::u16string EventName() { return u"Global\\ZylContractEvent"; }

 private:
  platform::FakePipeEvents fake_;
  platform::Handle security_ = nullptr;
  std::size_t clients_ = 0;
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, PipeEventsContract, FakePipeEventsBinding);
}  // namespace zyltest
