#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/include/zyl/zylclient.h"
#include "client/transport.h"
#include "protocol/zyl_request.h"

namespace zylclient {

struct ExchangeOptions {
  bool createEvents = true;
  /// Whether to see which events the service set (the command line prints it). zyl_request
  /// returns none of it, so it takes the reply and goes without waiting for the disconnect.
  bool observeEvents = true;
  int timeoutMs = 60000;  // a full PCI scan takes tens of seconds on slow machines
  /// Called about once a second while the exchange waits (see zyl_progress_fn); may be null.
  zyl_progress_fn progress = nullptr;
  void* progressContext = nullptr;
};

struct ExchangeResult {
  int status = ZYL_STATUS_FAILED;  // a ZYL_STATUS_* value
  zylprotocol::ZylRequest reply{};
  std::size_t replyBytes = 0;
  // Windows: "Global\VokZylRemoveService" set when the reply came and "Global\VokZylRemoveService2"
  // set afterwards. Linux (no events): the whole reply came, and the service closed the
  // connection after it.
  bool eventsUsed = true;
  bool commandDoneBeforeReply = false;
  bool disconnectedAfterReply = false;
  std::string message;  // what went wrong, in plain words
};

/// One request, the protocol's whole exchange: create the events (Windows), connect, write
/// `request` in one write, read the reply, and see which events the service set (on Linux:
/// whether it closed the connection). The time-out covers the
/// whole exchange. The one implementation of the protocol: zyl_request and the command line
/// both come here.
ExchangeResult RunExchange(ClientTransport& transport, const std::vector<uint8_t>& request,
                           const ExchangeOptions& options);

/// The 24 wire bytes of a record (little-endian).
std::vector<uint8_t> EncodeRequest(const zylprotocol::ZylRequest& request);
zylprotocol::ZylRequest DecodeReply(const uint8_t* bytes, std::size_t size);

/// The public C record (zylclient.h, which stands alone) and the protocol's record: the same
/// fields in the same places, converted here only.
zylprotocol::ZylRequest ToProtocol(const zyl_record& record);
zyl_record ToPublic(const zylprotocol::ZylRequest& request);

}  // namespace zylclient
