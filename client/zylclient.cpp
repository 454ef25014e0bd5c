// The C interface over the portable exchange. Nothing here may throw across the boundary:
// every entry point catches and answers ZYL_STATUS_FAILED.
#include "client/include/zyl/zylclient.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "client/exchange.h"
#include "client/status_table.h"
#include "client/transport.h"
#include "protocol/result_codes.h"

using namespace zylprotocol;

namespace {

constexpr uint32_t kDefaultTimeoutMs = 60000;
// The options record as each layout ends: the first without the message buffer.
constexpr std::size_t kOptionsSizeV1 = offsetof(zyl_options, progress_context) + sizeof(void*);
constexpr std::size_t kOptionsSizeV2 = offsetof(zyl_options, message_size) + sizeof(uint32_t);

// The events have global names, so two exchanges of one process would share them: one at a
// time. A caller waits for the one before within its own time-out.
std::timed_mutex& ExchangeLock() {
  static std::timed_mutex lock;
  return lock;
}

// The caller's message buffer, when its options have one: every call that has one leaves a
// text in it, "" on success.
class Message {
 public:
  explicit Message(const zyl_options* options) {
    if (options == nullptr || options->size < kOptionsSizeV2 || options->message == nullptr ||
        options->message_size == 0) {
      return;
    }
    buffer_ = options->message;
    size_ = options->message_size;
    buffer_[0] = '\0';
  }

  // Copies `text`, cut to fit at a character's start (a path may hold UTF-8).
  int Give(int status, const std::string& text) const {
    if (buffer_ == nullptr) return status;
    std::size_t length = std::min<std::size_t>(text.size(), size_ - 1);
    if (length < text.size()) {
      while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    std::memcpy(buffer_, text.data(), length);
    buffer_[length] = '\0';
    return status;
  }

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
};

int Request(const zyl_record& request, zyl_record* reply, const zyl_options* options,
            const Message& message) {
  if (options != nullptr && options->size < kOptionsSizeV1) {
    return message.Give(ZYL_STATUS_BAD_ARGUMENT, "options->size is too small");
  }
  zylclient::ExchangeOptions exchange;
  zylclient::TransportOptions transport;
  const uint32_t timeoutMs =
      options != nullptr && options->timeout_ms != 0 ? options->timeout_ms : kDefaultTimeoutMs;
  exchange.timeoutMs = static_cast<int>(std::min<uint32_t>(timeoutMs, INT32_MAX));
  exchange.observeEvents = false;
  if (options != nullptr) {
    if (options->runtime_dir != nullptr) transport.runtimeDir = options->runtime_dir;
    exchange.progress = options->progress;
    exchange.progressContext = options->progress_context;
  }

  // The wait for an earlier caller of this process counts against the time-out.
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock lock(ExchangeLock(), std::defer_lock);
  if (!lock.try_lock_for(std::chrono::milliseconds(exchange.timeoutMs))) {
    return message.Give(ZYL_STATUS_BUSY,
                        "another thread of this process held the exchange for the whole "
                        "time-out; nothing was sent");
  }
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  exchange.timeoutMs = std::max(0, exchange.timeoutMs - static_cast<int>(waited.count()));
  auto channel = zylclient::MakeClientTransport(transport);
  const zylclient::ExchangeResult result = zylclient::RunExchange(
      *channel, zylclient::EncodeRequest(zylclient::ToProtocol(request)), exchange);
  if (result.status == ZYL_STATUS_OK) *reply = zylclient::ToPublic(result.reply);
  return message.Give(result.status, result.status == ZYL_STATUS_OK ? std::string()
                                     : result.message.empty()       ? zyl_status_text(result.status)
                                                                    : result.message);
}

// Runs `command` with the given fields and hands back the whole reply.
int Command(zyl_record request, zyl_record* reply, const zyl_options* options) {
  const Message message(options);
  try {
    return Request(request, reply, options, message);
  } catch (const std::bad_alloc&) {
    return message.Give(ZYL_STATUS_FAILED, "out of memory");
  } catch (...) {
    return message.Give(ZYL_STATUS_FAILED, "unexpected failure in the client library");
  }
}

template <typename T>
void Give(T* out, T value) {
  if (out != nullptr) *out = value;
}

}  // namespace

extern "C" {

int zyl_request(const zyl_record* request, zyl_record* reply, const zyl_options* options) {
  if (request == nullptr || reply == nullptr) {
    return Message(options).Give(ZYL_STATUS_BAD_ARGUMENT,
                                 request == nullptr ? "request is NULL" : "reply is NULL");
  }
  return Command(*request, reply, options);
}

int zyl_load(int32_t* result, const zyl_options* options) {
  zyl_record reply{};
  const int status = Command(zyl_record{ZylCmdLoadLibrary, 0, 0, 0, 0, 0, 0}, &reply, options);
  if (status == ZYL_STATUS_OK) Give(result, reply.result);
  return status;
}

int zyl_count_by_id(uint32_t match_id, int32_t* result, uint32_t* count,
                    const zyl_options* options) {
  zyl_record reply{};
  const int status =
      Command(zyl_record{ZylCmdCountDevices, match_id, 0, 0, 0, 0, 0}, &reply, options);
  if (status == ZYL_STATUS_OK) {
    Give(result, reply.result);
    Give(count, reply.count);
  }
  return status;
}

int zyl_count_by_subsystem(uint32_t match_subsys, int32_t* result, uint32_t* count,
                           uint16_t* found_vendor, uint16_t* found_device,
                           const zyl_options* options) {
  zyl_record reply{};
  const int status =
      Command(zyl_record{ZylCmdCountDevices, 0, match_subsys, 0, 0, 0, 0}, &reply, options);
  if (status == ZYL_STATUS_OK) {
    Give(result, reply.result);
    Give(count, reply.count);
    Give(found_vendor, reply.foundVendor);
    Give(found_device, reply.foundDevice);
  }
  return status;
}

int zyl_query(uint32_t match_id, uint32_t match_subsys, uint32_t index, int32_t* result,
              const zyl_options* options) {
  zyl_record reply{};
  const int status = Command(zyl_record{ZylCmdQueryState, match_id, match_subsys, index, 0, 0, 0},
                             &reply, options);
  if (status == ZYL_STATUS_OK) Give(result, reply.result);
  return status;
}

int zyl_disable(int32_t* result, const zyl_options* options) {
  zyl_record reply{};
  const int status = Command(zyl_record{ZylCmdDisable, 0, 0, 0, 0, 0, 0}, &reply, options);
  if (status == ZYL_STATUS_OK) Give(result, reply.result);
  return status;
}

int zyl_enable(int32_t* result, const zyl_options* options) {
  zyl_record reply{};
  const int status = Command(zyl_record{ZylCmdEnable, 0, 0, 0, 0, 0, 0}, &reply, options);
  if (status == ZYL_STATUS_OK) Give(result, reply.result);
  return status;
}

uint32_t zyl_version(void) { return ZYL_VERSION_NUMBER; }

const char* zyl_status_text(int status) {
  const zylclient::StatusInfo* info = zylclient::FindStatus(status);
  return info != nullptr ? info->text : "unknown status";
}

const char* zyl_result_text(int32_t result) {
  const ResultCodeInfo* info = FindResultCode(result);
  return info != nullptr ? info->name : "unknown result";
}

}  // extern "C"
