// Public. Reading a capture file (pcapng) back into the TCP sessions it holds, for the replay.
//
// What it reads:
//   - pcapng sections of either byte order, any number of interfaces, time stamps of any
//     resolution (if_tsresol) and offset (if_tsoffset);
//   - enhanced packet blocks on interfaces of raw IP (IPv4 and IPv6), IPv4 or IPv6 alone, Ethernet
//     (with VLAN tags), Linux cooked (v1 and v2) or loopback ("null") links; other blocks, other
//     link types and packets that are not TCP are passed over;
//   - TCP over IPv4 (unfragmented) and IPv6 (extension headers passed over).
//
// A session is one TCP connection: a SYN from the local side starts it, the side that sent the SYN
// is the local client; a connection whose start the capture does not hold begins at its first
// packet, whose sender counts as the local side. A new SYN with another start number on the same
// addresses and ports starts a new session. Each direction is reassembled by sequence number:
// segments out of order are put in place, bytes sent again are taken once (the first copy in the
// file), and a stretch of the stream that no packet holds is counted as missing. A chunk is the new
// bytes of one segment, at the time of its packet; bytes that came ahead of a hole count from the
// packet that filled it, so that each direction's chunks follow one another in stream order. The
// segments that our writer cut from one entry (the same direction and time, contiguous, PSH on
// the last only) are joined again into one chunk, so that the chunks of our own captures are the
// entries of the log.
//
// Session numbers: our writer puts "Session N" as a comment on each session's SYN, N being the
// number the log showed, and that is the session's Number. A capture where no SYN carries such a
// comment (another program's, say) numbers its sessions 1, 2, 3, ... in the order they began
// (see TCapture); in a capture where some do, the sessions without one have Number 0 and cannot
// be named.
//
// What is refused, with a one-line message and never a crash: a file that is not pcapng (an
// older pcap file is named as such), a block of a bad length (under 12 bytes, not a multiple of 4,
// its two length fields differing, options running past it), a file that ends inside a block, a
// packet of an interface not described, and a capture with no TCP connection at all.
//
// The file is read into memory whole; the sessions keep copies of their bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "replay/RecordedSession.h"

struct TCapture {
  // Every TCP connection of the file, in the order they began (the time of their first packet;
  // at the same time, in the order of the file).
  std::vector<TRecordedSession> Sessions;
  // The session with Number; null when there is none.
  const TRecordedSession* Find(std::uint64_t Number) const;
};

// Reads the capture at Path. On failure returns false and sets Error to one line: "PATH: why".
bool ReadCapture(const std::string& Path, TCapture& Out, std::string& Error);
// The same for the bytes of a capture in memory; Error without the path.
bool ParseCapture(std::string_view Bytes, TCapture& Out, std::string& Error);
