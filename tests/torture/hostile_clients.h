#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace torture {

/// What one torture client does. The expected replies assume the simulated machine (one
/// adapter function 81CE:104D with subsystem 81CE:104D, a second function 905C:104D) after a
/// load and a count by the adapter's ID; none of these clients changes the adapter's state, so
/// any query by them may find it working (2) or disabled (3) by the owner.
enum class ClientKind {
  kCountById,         // command 1 by ID: count 1, foundVendor/foundDevice back as sent
  kCountBySubsystem,  // command 1 by subsystem alone: count 1, found 104D/81CE
  kQuery,             // command 2 for match 0: 2 or 3
  kQueryAbsent,       // command 2 for match 1 (no such function): 4
  kNoEvents,          // a good count without creating the events (on Linux: none exist): served
  kShortRecord,       // 0..23 raw bytes: refused
  kOversize,          // 25..600 raw bytes: a known command in the first 24 is served, the rest
                      // ignored; an unknown one is refused
  kUnknownCommand,    // a full record with command 5..0xFFFFFFFF: refused
  kVanish,            // a good request, closed right after the write
  kFlood,             // 5..20 connections that send nothing and close at once
  kCrash,             // a child process killed (SIGKILL) with its events open, mid-request
};
inline constexpr int kClientKindCount = 11;

enum class Outcome {
  kServed,      // the exact expected reply
  kRefused,     // closed without a reply, as expected for this client
  kVanished,    // the client left on purpose; nothing to check
  kWrongReply,  // any reply, or lack of one, that the service must not give
  kTimeout,
  kFailed,  // the client itself could not do its part (connect, spawn...)
};

struct ClientReport {
  Outcome outcome = Outcome::kFailed;
  int connections = 1;  // connections made (floods make many)
  std::string detail;   // what was wrong, for the failure list
};

struct ClientSettings {
  std::string runtimeDir;
  std::string selfPath;  // this program, run with --crash-client for kCrash
  int timeoutMs = 20000;
};

const char* KindName(ClientKind kind);
/// A kind by the mix's weights; never kCrash when `crashes` is false.
ClientKind PickKind(std::mt19937& random, bool crashes);
ClientReport RunClient(ClientKind kind, std::mt19937& random, const ClientSettings& settings);

/// The one client that changes the adapter's state, sequentially: load and count at the start,
/// then cycles of query 2, disable 1, query 3, enable 1, query 2.
ClientReport RunOwnerSetUp(const ClientSettings& settings);
/// One cycle; adds the requests it sent to `requests` and reports the first fault.
ClientReport RunOwnerCycle(const ClientSettings& settings, int* requests);

/// The body of a kCrash child: creates the events, connects, sends a count and, at `stage`
/// (0: before connecting, 1: before sending, 2: after sending), kills itself.
[[noreturn]] void RunCrashClient(const std::string& runtimeDir, int stage);

}  // namespace torture
