#pragma once

#include <cstdint>
#include <map>
#include <vector>

/// A second, deliberately plain reading of the configuration scan, written apart from the core
/// so that the fuzzers can compare the two. It decides one device at a time from what the
/// device's registers read, and counts the configuration reads the rules call for.

/// One function of a simulated bus: the three dwords the scan may read.
struct OracleFunction {
  uint32_t id = 0;
  uint32_t subsystem = 0;
  uint32_t command = 0;
};

/// What the scan's configuration reads see.
struct OracleBus {
  /// Without a device every read answers 0; with it an absent function answers all ones.
  bool hasDevice = true;
  /// Keyed bus << 8 | device << 3 | function, as the simulated bus keys them.
  std::map<uint16_t, OracleFunction> functions;

  static constexpr uint16_t Key(unsigned bus, unsigned device, unsigned function) {
    return static_cast<uint16_t>(bus << 8 | device << 3 | function);
  }
};

struct OracleMatch {
  uint8_t bus = 0;
  uint8_t device = 0;
  uint8_t function = 0;
  uint8_t command = 0;  ///< the low byte of the command register
};

/// What one scan must answer and do.
struct OracleScan {
  int count = 0;                     ///< every match, also those beyond the table
  std::vector<OracleMatch> matches;  ///< every match in scan order (bus, device, function)
  bool foundIdWritten = false;       ///< a subsystem-only match wrote the found-ID out
  uint32_t foundId = 0;              ///< the ID dword of the last such match
  uint64_t transfers = 0;            ///< two per configuration read

  /// Entries the match table holds: the first 16 matches.
  int Recorded() const { return count < kTableSize ? count : kTableSize; }
  static constexpr int kTableSize = 16;
};

/// The scan for `id` and `subsystem`, by these rules:
///  - a function whose ID dword reads all ones is absent: it never matches;
///  - subsystem-only (`id` 0, `subsystem` not 0): function 0 alone decides a device. It matches
///    when present and its subsystem dword equals `subsystem`; its ID dword is written to the
///    found-ID out unless it is 0 (a 0 ID is the ID rule's match, which writes nothing);
///  - otherwise the first present function whose ID dword equals `id` decides the device; it
///    matches when `subsystem` is 0 or its subsystem dword equals `subsystem`;
///  - the command register is read for each match that gets a table entry.
OracleScan OracleSearch(const OracleBus& bus, uint32_t id, uint32_t subsystem);
