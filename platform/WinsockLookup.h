// Internal. Hooks of the asynchronous host lookups (WinsockLookup.cpp) through which tests see what
// became of a request without sleeping: whether its resolver run has ended, and how many requests
// the loop has settled. Nothing in the product calls these.
#pragma once

#include <cstdint>

#include "platform/Winsock.h"

namespace platform::lookup {

// Blocks the calling thread until the resolver has produced the answer of Request (the answer may
// still wait for the loop to take it), at most TimeoutMs. False on timeout, or when Request is not
// a request that the loop still holds (unknown, cancelled, or already announced).
bool WaitUntilResolvedForTest(HANDLE Request, int TimeoutMs);

// The number of requests whose fate the loop has settled: announced to their endpoint, or dropped
// after a cancellation (at once when no resolver had started on it, else when its answer came in).
std::uint64_t SettledRequestCount();

}  // namespace platform::lookup
