#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/exchange.h"

namespace zylclient {

/// What the command line asks for.
struct CliOptions {
  ZylRequest request{};
  std::vector<uint8_t> raw;  // --raw: sent instead of the record when not empty
  bool json = false;
  bool createEvents = true;
  int timeoutMs = 60000;
  std::string runtimeDir;
  bool help = false;
  bool version = false;  // --version: print the product version and stop
};

/// Parses `zylclient <command> [options]`. On failure returns nothing and sets `error`.
std::optional<CliOptions> ParseArguments(const std::vector<std::string>& arguments,
                                         std::string* error);

/// "load", "count", ... for 0..4, empty for other codes.
std::string CommandName(uint32_t command);
/// What a result code of a reply means, in a few words.
std::string ResultMeaning(int32_t result);

/// The report on standard output: plain words, or one JSON object.
std::string FormatReport(const CliOptions& options, const ExchangeResult& result);

/// Process exit status for an exchange: 0 with a reply, otherwise the codes in the usage text.
int ExitStatus(const ExchangeResult& result);

/// The line shown on a terminal while a reply takes long (without the line end).
std::string WaitingLine(const CliOptions& options, int waitingFor, uint32_t elapsedMs);

std::string UsageText();

}  // namespace zylclient
