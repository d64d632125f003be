// Internal to the relay engine. What its parts share: how much is read at a time, how much a side
// may hold before the other is held back, the engine's own messages and timers, and the relay's
// socket options.
#pragma once

#include <cstdint>
#include <string>

#include "net/WSocket.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"

namespace relay_parts {

// What the relay reads at a time, each read an entry of its own: in line mode the line on offer
// (a line longer than the line limit leaves in pieces, see ClientLineLimitExceeded); otherwise
// what waits, up to kChunkLimit bytes. One read per notification: between two of them
// the loop hands control back to the windows, however fast the data comes. (More reads per
// notification do not help: each read that leaves bytes behind queues a notification of its own,
// and the queue snowballs.)
constexpr std::int32_t kChunkLimit = 128 << 10;
// The send chain's blocks of the relay's sockets: a platform send for every 16 KiB instead of every
// 1460 bytes. Larger blocks gained nothing measurable on loopback, and each busy socket keeps one.
constexpr std::int32_t kRelaySendBlock = 16 << 10;

// How much a side's send chain may hold before the relay stops reading from the other side: a
// slow reader holds its sender back through TCP's own flow control, as it would without the
// relay, instead of the relay's memory growing with everything the sender has. Reading resumes
// once the chain has drained. The kernels' socket buffers keep the data flowing meanwhile.
constexpr std::int64_t kHoldBack = 1 << 20;

// The engine's own messages, to its notification window.
constexpr platform::UINT MsgNextAttempt = platform::WM_USER + 1;  // WParam: the session's number
// The timer that takes up accepting again after the system ran out of descriptors (session timers
// use the sessions' numbers, which never come near it).
constexpr platform::WPARAM kAcceptTimer = ~platform::WPARAM{0};
constexpr platform::UINT kAcceptRetryMs = 250;

// One read: what waits, up to kChunkLimit bytes, straight into one buffer that all reads share
// (the engine runs on one thread), without asking first how much waits.
std::string ReceiveChunk(TWSocket& S);

// One notification, one handler call: the handler reads its budget and the loop goes round. The
// ends of a connection are TCP's: the peer's end of stream leaves the socket open for sending,
// small writes go out at once (a request of several lines does not wait for the peer's delayed
// acknowledgement), and a close is orderly.
void RelaySocketOptions(TWSocket& S);

// The local address and port of a socket's connection, also while it is still being made.
bool LocalName(TWSocket& S, std::string& Addr, std::uint16_t& Port);

}  // namespace relay_parts
