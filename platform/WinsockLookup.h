// Internal. Hooks of the host lookups (WinsockLookup.cpp) for tests: whether a request's resolver
// run has ended and how many requests the loop has settled (to see what became of a request
// without sleeping), and names with addresses of the test's own. Nothing in the product calls
// these; with no test hosts set, every name goes to the system's resolver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Winsock.h"

namespace platform::lookup {

// Blocks the calling thread until the resolver has produced the answer of Request (the answer may
// still wait for the loop to take it), at most TimeoutMs. False on timeout, or when Request is not
// a request that the loop still holds (unknown, cancelled, or already announced).
bool WaitUntilResolvedForTest(HANDLE Request, int TimeoutMs);

// The number of requests whose fate the loop has settled: announced to their endpoint, or dropped
// after a cancellation (at once when no resolver had started on it, else when its answer came in).
std::uint64_t SettledRequestCount();

// A name and its addresses as texts ("::1", "127.0.0.1"), in the order in which the resolver would
// give them.
struct THostsEntry {
  std::string Name;
  std::vector<std::string> Addresses;
};

// Names that the forward lookups (gethostbyname, gethostaddresses and their asynchronous forms)
// answer from this table instead of the system's resolver, compared without regard to case: a
// hosts file of the test's own, for names with IPv6 addresses that the machine's /etc/hosts need
// not have (and that a test must never edit). The IPv4 lookups take a name's IPv4 addresses alone
// and find no data (WSANO_DATA) for a name that has none. An empty table, the default, gives every
// name to the system's resolver again. Thread-safe; a lookup already running keeps the answer it
// started with.
void SetHostsForTest(std::vector<THostsEntry> Entries);

}  // namespace platform::lookup
