// The capture reader: pcapng blocks, the link layers, IP and TCP, and the reassembly of each
// connection's two streams into chunks (CaptureReader.h says what is read and what is refused).
//
// Every length in the file is checked against what is left before it is used; a packet that is
// cut short (a snapshot length) gives what it holds, and the rest of its segment counts as missing.
#include "replay/CaptureReader.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <tuple>

namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10;

std::uint16_t Be16(const std::uint8_t* P) { return static_cast<std::uint16_t>((P[0] << 8) | P[1]); }
std::uint32_t Be32(const std::uint8_t* P) {
  return (std::uint32_t{P[0]} << 24) | (std::uint32_t{P[1]} << 16) | (std::uint32_t{P[2]} << 8) | P[3];
}
std::uint32_t Le32(const std::uint8_t* P) {
  return (std::uint32_t{P[3]} << 24) | (std::uint32_t{P[2]} << 16) | (std::uint32_t{P[1]} << 8) | P[0];
}

// The numbers of one section, in its byte order.
struct TOrder {
  bool Big = false;
  std::uint16_t U16(const std::uint8_t* P) const { return Big ? Be16(P) : static_cast<std::uint16_t>(P[0] | (P[1] << 8)); }
  std::uint32_t U32(const std::uint8_t* P) const { return Big ? Be32(P) : Le32(P); }
  std::uint64_t U64(const std::uint8_t* P) const {
    const std::uint64_t a = U32(P), b = U32(P + 4);
    return Big ? (a << 32) | b : (b << 32) | a;
  }
};

struct TInterface {
  std::uint16_t LinkType = 0;
  std::uint8_t Resolution = 6;  // if_tsresol: 10^-6 s unless said otherwise
  std::int64_t OffsetSeconds = 0;
};

// A block's options: Code, Length, Value padded to four bytes, until opt_endofopt or the end.
// False when an option runs past the block.
template <class F>
bool ForEachOption(const std::uint8_t* P, std::size_t N, const TOrder& O, F Each) {
  while (N >= 4) {
    const std::uint16_t code = O.U16(P), length = O.U16(P + 2);
    if (code == 0) return true;
    const std::size_t padded = (std::size_t{length} + 3) / 4 * 4;
    if (padded > N - 4) return false;
    Each(code, std::string_view(reinterpret_cast<const char*>(P + 4), length));
    P += 4 + padded;
    N -= 4 + padded;
  }
  return true;
}

// A time stamp in units of the interface's resolution, as microseconds since the epoch (clamped
// to what 64 bits hold).
std::int64_t Microseconds(std::uint64_t Ticks, const TInterface& I) {
  using Wide = __int128;
  Wide us;
  if ((I.Resolution & 0x80) != 0) {
    const int n = I.Resolution & 0x7F;
    us = n >= 64 ? Wide(0) : (Wide(Ticks) * 1000000) >> n;
  } else {
    const int n = I.Resolution;
    us = Ticks;
    for (int i = n; i < 6; ++i) us *= 10;
    for (int i = 6; i < n && us != 0; ++i) us /= 10;
  }
  us += Wide(I.OffsetSeconds) * 1000000;
  const Wide most = std::numeric_limits<std::int64_t>::max(), least = std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(std::clamp(us, least, most));
}

// One end of a connection.
struct TEndpoint {
  bool V6 = false;
  std::array<std::uint8_t, 16> Addr{};
  std::uint16_t Port = 0;
  auto operator<=>(const TEndpoint&) const = default;
  bool operator==(const TEndpoint&) const = default;
};

std::string AddressText(const TEndpoint& E) {
  char text[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(E.V6 ? AF_INET6 : AF_INET, E.Addr.data(), text, sizeof text);
  return text;
}

// A TCP segment as the packet holds it.
struct TSegment {
  TEndpoint Src, Dst;
  std::uint32_t Seq = 0;
  std::uint8_t Flags = 0;
  std::string_view Payload;
};

bool LinkRead(std::uint16_t LinkType) {
  switch (LinkType) {
    case 0: case 1: case 101: case 108: case 113: case 228: case 229: case 276:
      return true;
    default:
      return false;
  }
}

// The IP packet inside a link-layer frame; empty for a link type or a protocol not read.
std::optional<std::string_view> IpPacket(std::uint16_t LinkType, std::string_view Frame) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(Frame.data());
  const std::size_t n = Frame.size();
  auto ipType = [](std::uint16_t EtherType) { return EtherType == 0x0800 || EtherType == 0x86DD; };
  switch (LinkType) {
    case 101:  // raw IP
    case 228:  // IPv4
    case 229:  // IPv6
      return Frame;
    case 0:    // loopback: a four-byte address family first
    case 108:
      if (n < 4) return std::nullopt;
      return Frame.substr(4);
    case 1: {  // Ethernet, possibly with VLAN tags
      if (n < 14) return std::nullopt;
      std::uint16_t type = Be16(p + 12);
      std::size_t at = 14;
      for (int tags = 0; tags < 4 && (type == 0x8100 || type == 0x88A8 || type == 0x9100); ++tags) {
        if (n < at + 4) return std::nullopt;
        type = Be16(p + at + 2);
        at += 4;
      }
      if (!ipType(type)) return std::nullopt;
      return Frame.substr(at);
    }
    case 113:  // Linux cooked
      if (n < 16 || !ipType(Be16(p + 14))) return std::nullopt;
      return Frame.substr(16);
    case 276:  // Linux cooked, version 2
      if (n < 20 || !ipType(Be16(p))) return std::nullopt;
      return Frame.substr(20);
    default:
      return std::nullopt;
  }
}

// The TCP segment of an IP packet; empty for anything else (a fragment, another protocol, a
// header cut short).
std::optional<TSegment> TcpSegment(std::string_view Packet) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(Packet.data());
  const std::size_t n = Packet.size();
  if (n < 1) return std::nullopt;
  TSegment s;
  std::size_t tcp = 0, end = 0;
  if ((p[0] >> 4) == 4) {
    if (n < 20) return std::nullopt;
    const std::size_t header = std::size_t{p[0] & 0x0Fu} * 4;
    const std::size_t total = Be16(p + 2);
    if (header < 20 || header > n || total < header || p[9] != 6) return std::nullopt;
    if ((Be16(p + 6) & 0x3FFF) != 0) return std::nullopt;  // a fragment
    s.Src.V6 = s.Dst.V6 = false;
    std::memcpy(s.Src.Addr.data(), p + 12, 4);
    std::memcpy(s.Dst.Addr.data(), p + 16, 4);
    tcp = header;
    end = std::min(total, n);
  } else if ((p[0] >> 4) == 6) {
    if (n < 40) return std::nullopt;
    const std::size_t payload = Be16(p + 4);
    end = payload == 0 ? n : std::min(40 + payload, n);
    std::uint8_t next = p[6];
    std::size_t at = 40;
    for (int headers = 0; next != 6; ++headers) {
      if (headers == 8 || at + 8 > end) return std::nullopt;
      if (next == 0 || next == 43 || next == 60) {
        const std::size_t length = (std::size_t{p[at + 1]} + 1) * 8;
        next = p[at];
        at += length;
      } else if (next == 51) {
        const std::size_t length = (std::size_t{p[at + 1]} + 2) * 4;
        next = p[at];
        at += length;
      } else {
        return std::nullopt;  // a fragment, or not TCP
      }
    }
    s.Src.V6 = s.Dst.V6 = true;
    std::memcpy(s.Src.Addr.data(), p + 8, 16);
    std::memcpy(s.Dst.Addr.data(), p + 24, 16);
    tcp = at;
  } else {
    return std::nullopt;
  }
  if (tcp + 20 > end) return std::nullopt;
  const std::uint8_t* t = p + tcp;
  const std::size_t header = static_cast<std::size_t>(t[12] >> 4) * 4;
  if (header < 20 || tcp + header > end) return std::nullopt;
  s.Src.Port = Be16(t);
  s.Dst.Port = Be16(t + 2);
  s.Seq = Be32(t + 4);
  s.Flags = t[13];
  s.Payload = Packet.substr(tcp + header, end - tcp - header);
  return s;
}

// "Session N", as our writer puts it on a SYN.
std::optional<std::uint64_t> SessionNumber(std::string_view Comment) {
  constexpr std::string_view kPrefix = "Session ";
  if (!Comment.starts_with(kPrefix)) return std::nullopt;
  Comment.remove_prefix(kPrefix.size());
  if (Comment.empty() || Comment.size() > 19 || Comment[0] == '0') return std::nullopt;
  std::uint64_t n = 0;
  for (char c : Comment) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return n;
}

// The bytes of one segment as they landed in a direction's stream.
struct TPiece {
  std::uint64_t Offset = 0;
  std::uint64_t Packet = 0;  // its packet's place in the file
  std::int64_t TimeUs = 0;
  bool Push = false;
  std::string_view Bytes;
};

// One connection being read. Side 0 is the local client, side 1 the remote side.
struct TConnection {
  TEndpoint End[2];
  bool SynSeen = false;
  bool SynAckSeen = false;
  std::uint32_t LocalIsn = 0;
  bool BaseSet[2] = {false, false};
  std::uint32_t Base[2] = {0, 0};  // the sequence number of stream offset 0
  std::uint64_t High[2] = {0, 0};  // the highest stream offset seen: unwraps 32-bit numbers
  std::uint64_t Known[2] = {0, 0};  // how far each stream is known to reach (data, FIN, markers)
  bool Fin[2] = {false, false};
  std::uint64_t FinOffset[2] = {0, 0};
  std::int64_t FinUs[2] = {0, 0};
  bool Rst[2] = {false, false};
  std::int64_t RstUs[2] = {0, 0};
  bool HeardFromRemote = false;  // a packet from side 1 other than a reset
  std::int64_t RemoteFirstUs = 0;
  std::int64_t StartUs = 0, ConnectedUs = 0, LastUs = 0;
  std::optional<std::uint64_t> Number;
  std::string Reason;
  std::vector<TPiece> Segments[2];

  // The stream offset of sequence number Seq on Side, taken near the highest offset seen, so that
  // numbers that wrap past 2^32 go on counting; negative for one before the stream's start.
  std::int64_t Offset(int Side, std::uint32_t Seq) {
    if (!BaseSet[Side]) {
      Base[Side] = Seq;
      BaseSet[Side] = true;
    }
    const std::uint32_t relative = Seq - Base[Side];
    const auto delta = static_cast<std::int32_t>(relative - static_cast<std::uint32_t>(High[Side]));
    return static_cast<std::int64_t>(High[Side]) + delta;
  }
};

// The bytes of Segments (in the order of the file) that no earlier segment held: a segment sent
// again gives only what is new in it, possibly several pieces.
std::vector<TPiece> FirstCopies(const std::vector<TPiece>& Segments) {
  std::vector<TPiece> out;
  std::map<std::uint64_t, std::uint64_t> held;  // first -> last, disjoint, never adjacent
  for (const TPiece& seg : Segments) {
    const std::uint64_t from = seg.Offset, to = seg.Offset + seg.Bytes.size();
    // The held ranges that touch [from, to), merged into one as the new bytes are taken.
    auto it = held.upper_bound(from);
    if (it != held.begin() && std::prev(it)->second >= from) --it;
    std::uint64_t at = from, first = from, last = to;
    while (it != held.end() && it->first <= to) {
      if (it->first > at) {
        TPiece p = seg;
        p.Offset = at;
        p.Bytes = seg.Bytes.substr(at - from, it->first - at);
        out.push_back(p);
      }
      at = std::max(at, it->second);
      first = std::min(first, it->first);
      last = std::max(last, it->second);
      it = held.erase(it);
    }
    if (at < to) {
      TPiece p = seg;
      p.Offset = at;
      p.Bytes = seg.Bytes.substr(at - from);
      out.push_back(p);
    }
    held.emplace(first, last);
  }
  return out;
}

class TReader {
public:
  bool Parse(std::string_view File, TCapture& Out, std::string& Error);

private:
  bool Fail(std::string& Error, const std::string& Why) {
    Error = Why;
    return false;
  }
  void Packet(const TInterface& I, std::int64_t TimeUs, std::string_view Frame, const std::vector<std::string_view>& Comments);
  void Finish(TCapture& Out);

  std::vector<TConnection> FConnections;
  std::map<std::pair<TEndpoint, TEndpoint>, std::size_t> FCurrent;  // by its two ends, lower first
  std::uint64_t FPackets = 0;
  std::map<std::uint16_t, std::uint64_t> FUnreadLinks;  // link types passed over, and their packets
};

bool TReader::Parse(std::string_view File, TCapture& Out, std::string& Error) {
  Out.Sessions.clear();
  const auto* d = reinterpret_cast<const std::uint8_t*>(File.data());
  const std::size_t size = File.size();
  if (size == 0) return Fail(Error, "the file is empty: it is not a capture");
  if (size >= 4) {
    const std::uint32_t m = Le32(d);
    if (m == 0xA1B2C3D4 || m == 0xD4C3B2A1 || m == 0xA1B23C4D || m == 0x4D3CB2A1)
      return Fail(Error, "a capture in the older pcap format: only pcapng captures are read");
  }
  if (size < 4 && std::memcmp(d, "\x0A\x0D\x0D\x0A", size) == 0)
    return Fail(Error, "the file is truncated: it ends inside the section header at offset 0");
  if (size < 4 || Le32(d) != kSectionHeader) return Fail(Error, "not a capture: a pcapng file starts with a section header");

  TOrder order;
  std::vector<TInterface> interfaces;
  std::size_t at = 0;
  while (at < size) {
    const std::string where = " at offset " + std::to_string(at);
    if (size - at < 12)
      return Fail(Error, "the file is truncated: it ends inside the block" + where);
    if (Le32(d + at) == kSectionHeader) {
      if (size - at < 28) return Fail(Error, "the file is truncated: it ends inside the section header" + where);
      const std::uint32_t magic = Le32(d + at + 8);
      if (magic == kByteOrderMagic)
        order.Big = false;
      else if (Be32(d + at + 8) == kByteOrderMagic)
        order.Big = true;
      else
        return Fail(Error, "not a capture: the section header" + where + " has no byte-order mark");
    }
    const std::uint32_t type = order.U32(d + at);
    const std::uint32_t length = order.U32(d + at + 4);
    if (length < 12 || length % 4 != 0)
      return Fail(Error, "the block" + where + " has a bad length (" + std::to_string(length) + " bytes)");
    if (length > size - at)
      return Fail(Error, "the file is truncated: the block" + where + " claims " + std::to_string(length) +
                             " bytes and " + std::to_string(size - at) + " are left");
    if (order.U32(d + at + length - 4) != length)
      return Fail(Error, "the block" + where + " has a bad length: its two length fields differ (" +
                             std::to_string(length) + " and " + std::to_string(order.U32(d + at + length - 4)) + ")");
    const std::uint8_t* body = d + at + 8;
    const std::size_t bodyLength = length - 12;
    if (type == kSectionHeader) {
      if (bodyLength < 16) return Fail(Error, "the section header" + where + " has a bad length");
      const std::uint16_t major = order.U16(body + 4);
      if (major != 1)
        return Fail(Error, "pcapng version " + std::to_string(major) + "." + std::to_string(order.U16(body + 6)) +
                               " is not read (only version 1)");
      interfaces.clear();  // a new section describes its own
    } else if (type == kInterfaceDescription) {
      if (bodyLength < 8) return Fail(Error, "the interface block" + where + " has a bad length");
      TInterface i;
      i.LinkType = order.U16(body);
      const bool ok = ForEachOption(body + 8, bodyLength - 8, order, [&](std::uint16_t Code, std::string_view V) {
        if (Code == 9 && V.size() == 1) i.Resolution = static_cast<std::uint8_t>(V[0]);
        if (Code == 14 && V.size() == 8)
          i.OffsetSeconds = static_cast<std::int64_t>(order.U64(reinterpret_cast<const std::uint8_t*>(V.data())));
      });
      if (!ok) return Fail(Error, "the interface block" + where + " has an option that runs past its end");
      interfaces.push_back(i);
    } else if (type == kEnhancedPacket) {
      if (bodyLength < 20) return Fail(Error, "the packet block" + where + " has a bad length");
      const std::uint32_t interface = order.U32(body);
      if (interface >= interfaces.size())
        return Fail(Error, "the packet block" + where + " is of interface " + std::to_string(interface) +
                               ", which no interface block describes");
      const std::uint64_t ticks = (std::uint64_t{order.U32(body + 4)} << 32) | order.U32(body + 8);
      const std::uint32_t captured = order.U32(body + 12);
      if (captured > bodyLength - 20)
        return Fail(Error, "the packet block" + where + " has a bad length: it claims " + std::to_string(captured) +
                               " bytes of packet and holds " + std::to_string(bodyLength - 20));
      const std::size_t padded = (std::size_t{captured} + 3) / 4 * 4;
      std::vector<std::string_view> comments;
      if (padded < bodyLength - 20 &&
          !ForEachOption(body + 20 + padded, bodyLength - 20 - padded, order, [&](std::uint16_t Code, std::string_view V) {
            if (Code == 1) comments.push_back(V);
          }))
        return Fail(Error, "the packet block" + where + " has an option that runs past its end");
      const TInterface& i = interfaces[interface];
      Packet(i, Microseconds(ticks, i), std::string_view(reinterpret_cast<const char*>(body + 20), captured), comments);
    }
    at += length;
  }
  Finish(Out);
  if (Out.Sessions.empty()) {
    std::string why = "the capture holds no TCP connection";
    if (!FUnreadLinks.empty()) {
      why += " that could be read (packets of link type";
      for (const auto& [link, count] : FUnreadLinks) why += " " + std::to_string(link);
      why += " are not read)";
    }
    return Fail(Error, why);
  }
  return true;
}

void TReader::Packet(const TInterface& I, std::int64_t TimeUs, std::string_view Frame,
                     const std::vector<std::string_view>& Comments) {
  const std::uint64_t index = FPackets++;
  if (!LinkRead(I.LinkType)) {
    ++FUnreadLinks[I.LinkType];
    return;
  }
  const auto ip = IpPacket(I.LinkType, Frame);
  if (!ip) return;
  const auto seg = TcpSegment(*ip);
  if (!seg) return;
  const std::pair<TEndpoint, TEndpoint> key = seg->Src < seg->Dst ? std::pair(seg->Src, seg->Dst) : std::pair(seg->Dst, seg->Src);
  auto found = FCurrent.find(key);
  TConnection* c = found != FCurrent.end() ? &FConnections[found->second] : nullptr;
  const bool syn = (seg->Flags & kSyn) != 0, ack = (seg->Flags & kAck) != 0;

  auto open = [&](const TEndpoint& Local, const TEndpoint& Remote) {
    FConnections.emplace_back();
    FCurrent[key] = FConnections.size() - 1;
    TConnection& n = FConnections.back();
    n.End[0] = Local;
    n.End[1] = Remote;
    n.StartUs = TimeUs;
    return &n;
  };
  if (syn && !ack) {
    // A new attempt, unless it is the same SYN again.
    if (c == nullptr || !c->SynSeen || c->End[0] != seg->Src || c->LocalIsn != seg->Seq) c = open(seg->Src, seg->Dst);
    if (!c->SynSeen) {
      c->SynSeen = true;
      c->LocalIsn = seg->Seq;
      c->Base[0] = seg->Seq + 1;
      c->BaseSet[0] = true;
    }
    for (std::string_view comment : Comments)
      if (auto n = SessionNumber(comment)) c->Number = *n;
  } else if (c == nullptr) {
    // A connection whose start the capture missed: the SYN-ACK's receiver is the client, else the
    // first sender.
    c = syn ? open(seg->Dst, seg->Src) : open(seg->Src, seg->Dst);
    if (!syn) c->ConnectedUs = TimeUs;
  }
  c->LastUs = TimeUs;
  const int side = seg->Src == c->End[0] ? 0 : 1;
  if (syn) {
    if (ack && side == 1 && !c->SynAckSeen) {
      c->SynAckSeen = true;
      c->Base[1] = seg->Seq + 1;
      c->BaseSet[1] = true;
      if (c->ConnectedUs == 0) c->ConnectedUs = TimeUs;
    }
    if (side == 1 && !c->HeardFromRemote) {
      c->HeardFromRemote = true;
      c->RemoteFirstUs = TimeUs;
    }
    if (seg->Payload.empty() || !c->BaseSet[side]) return;
  }
  if ((seg->Flags & kRst) != 0) {
    if (!c->Rst[side]) {
      c->Rst[side] = true;
      c->RstUs[side] = TimeUs;
    }
    for (std::string_view comment : Comments) c->Reason += (c->Reason.empty() ? "" : ", ") + std::string(comment);
    return;
  }
  if (side == 1 && !c->HeardFromRemote) {
    c->HeardFromRemote = true;
    c->RemoteFirstUs = TimeUs;
  }
  // Data on a SYN (a fast open) follows the SYN's own sequence number.
  const std::int64_t offset = c->Offset(side, syn ? seg->Seq + 1 : seg->Seq);
  if (offset < 0) return;  // from before the stream's start
  const auto from = static_cast<std::uint64_t>(offset);
  const std::uint64_t to = from + seg->Payload.size();
  if (!seg->Payload.empty())
    c->Segments[side].push_back({from, index, TimeUs, (seg->Flags & kPsh) != 0, seg->Payload});
  c->High[side] = std::max(c->High[side], to);
  // Past a FIN only its own sequence number follows: what a packet after it says of the stream
  // stops at the FIN.
  c->Known[side] = std::max(c->Known[side], c->Fin[side] ? std::min(to, c->FinOffset[side]) : to);
  if ((seg->Flags & kFin) != 0 && !c->Fin[side]) {
    c->Fin[side] = true;
    c->FinOffset[side] = to;
    c->FinUs[side] = TimeUs;
    c->Known[side] = std::max(c->Known[side], to);
  }
}

void TReader::Finish(TCapture& Out) {
  bool numbered = false;
  for (const TConnection& c : FConnections) numbered = numbered || c.Number.has_value();
  // In the order they began: a writer may put a failed attempt's SYN, stamped with its start,
  // after packets of sessions that began later.
  std::stable_sort(FConnections.begin(), FConnections.end(),
                   [](const TConnection& A, const TConnection& B) { return A.StartUs < B.StartUs; });
  std::uint64_t place = 0;
  for (TConnection& c : FConnections) {
    ++place;
    TRecordedSession s;
    s.Number = numbered ? c.Number.value_or(0) : place;
    s.LocalAddr = AddressText(c.End[0]);
    s.LocalPort = c.End[0].Port;
    s.RemoteAddr = AddressText(c.End[1]);
    s.RemotePort = c.End[1].Port;
    s.StartUs = c.StartUs;
    s.EndUs = c.LastUs;
    // Connected once the SYN-ACK came, or anything but a reset from the remote side (a capture that
    // lost the SYN-ACK), or for a connection already open when the capture began.
    s.ConnectedUs = c.ConnectedUs != 0 ? c.ConnectedUs : c.HeardFromRemote ? c.RemoteFirstUs : 0;
    if (s.ConnectedUs == 0 && !c.SynSeen) s.ConnectedUs = c.StartUs;
    for (int side : {0, 1}) {
      TStreamEnd& end = side == 0 ? s.LocalEnd : s.RemoteEnd;
      std::int64_t& endUs = side == 0 ? s.LocalEndUs : s.RemoteEndUs;
      if (c.Rst[side]) {
        end = seReset;
        endUs = c.RstUs[side];
      } else if (c.Fin[side]) {
        end = seFinished;
        endUs = c.FinUs[side];
      }
    }
    s.Reason = c.Reason;

    // Each direction: every byte from the first packet in the file that held it, then in stream
    // order. Bytes that came ahead of a hole are whole only once the hole is filled: they count
    // from the packet that filled it, so that each direction's chunks stay in stream order.
    std::vector<std::pair<TEntryDirection, TPiece>> pieces;
    for (int side : {0, 1}) {
      std::vector<TPiece> fresh = FirstCopies(c.Segments[side]);
      std::sort(fresh.begin(), fresh.end(), [](const TPiece& A, const TPiece& B) { return A.Offset < B.Offset; });
      std::uint64_t covered = 0, whole = 0;
      std::int64_t wholeUs = 0;
      for (TPiece p : fresh) {
        s.Missing[side] += p.Offset - covered;
        covered = p.Offset + p.Bytes.size();
        if (p.Packet >= whole) {
          whole = p.Packet;
          wholeUs = p.TimeUs;
        }
        p.Packet = whole;
        p.TimeUs = wholeUs;
        pieces.emplace_back(side == 0 ? edFromLocal : edFromRemote, p);
      }
      if (c.Known[side] > covered) s.Missing[side] += c.Known[side] - covered;
    }
    // Both directions in the order of the file; the segments of one entry joined again.
    std::stable_sort(pieces.begin(), pieces.end(), [](const auto& A, const auto& B) {
      return std::tie(A.second.Packet, A.first, A.second.Offset) < std::tie(B.second.Packet, B.first, B.second.Offset);
    });
    bool lastPush = true;
    for (const auto& [direction, p] : pieces) {
      TRecordedChunk* last = s.Chunks.empty() ? nullptr : &s.Chunks.back();
      if (last != nullptr && !lastPush && last->Direction == direction && last->TimeUs == p.TimeUs &&
          last->Offset + last->Bytes.size() == p.Offset) {
        last->Bytes += p.Bytes;
      } else {
        s.Chunks.push_back({direction, p.TimeUs, p.Offset, std::string(p.Bytes)});
      }
      lastPush = p.Push;
    }
    Out.Sessions.push_back(std::move(s));
  }
}

}  // namespace

const TRecordedSession* TCapture::Find(std::uint64_t Number) const {
  if (Number == 0) return nullptr;
  for (const TRecordedSession& s : Sessions)
    if (s.Number == Number) return &s;
  return nullptr;
}

bool ParseCapture(std::string_view Bytes, TCapture& Out, std::string& Error) {
  TReader reader;
  return reader.Parse(Bytes, Out, Error);
}

bool ReadCapture(const std::string& Path, TCapture& Out, std::string& Error) {
  Out.Sessions.clear();
  const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Error = Path + ": " + std::strerror(errno);
    return false;
  }
  std::string data;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) data.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      data.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      Error = Path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  if (!ParseCapture(data, Out, Error)) {
    Error = Path + ": " + Error;
    return false;
  }
  return true;
}
