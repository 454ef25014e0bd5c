#pragma once

/// The names the service and its clients share: the service's registration, its command pipe
/// and the client's two global events.

namespace zylprotocol {
/// The name the service is registered under, and the one-entry dispatcher table's only name.
inline constexpr char16_t kServiceName[] = u"Tavik Zyl Control Service";

/// The command pipe.
inline constexpr char16_t kPipeName[] = u"\\\\.\\pipe\\TAVIK_Zyl_Control_Service";

/// The client's events: set when the command is done (before the reply is written), and once
/// the service has disconnected the client.
inline constexpr char16_t kCommandDoneEventName[] = u"Global\\VokZylRemoveService";
inline constexpr char16_t kDisconnectedEventName[] = u"Global\\VokZylRemoveService2";

}  // namespace zylprotocol
