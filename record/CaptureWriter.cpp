// The capture file: pcapng, one interface of raw IP packets (IPv4 and IPv6 both), microsecond
// time stamps.
//
// Each session is one TCP connection between the local client's address and port and the remote
// address and port, as if captured on a wire between them (the relay in the middle is left out):
//
//   SYN (local), SYN-ACK (remote), ACK (local)      at the session's start and its connection;
//                                                   the SYN's comment is "Session N", the
//                                                   session's number in the log
//   data segments, at their entries' times          sequence number = start + 1 + the entry's
//                                                   stream offset; the acknowledgement is all the
//                                                   other side has sent so far
//   FIN from a side that ended its stream, where its entry stands: after that side's bytes and
//   before what the other side sent afterwards (right after the handshake for an end that came
//   before the connection was made)
//   RST from a side that reset, at the session's end
//
// A body is cut into segments of at most kMaxSegment bytes, within the IP length limit of both
// families. Each data packet carries its entry's title as a packet comment; an entry of a
// direction without bytes (what a fault did to that direction) is a segment without data that
// carries its title. Once a side's TLS handshake has completed ("TLS with Local", "TLS with
// Remote"), the comment of what that side sent says that it is the decrypted plaintext of a TLS
// stream. The SYN and SYN-ACK
// offer window scaling, so that large segments in flight do not look like a full window.
//
// A session that never connected (the lookup or the connection failed, or a fault refused it) is a
// SYN from the local client answered by an RST, carrying the reason as a comment; when no address was reached the
// remote address is the unspecified one ("0.0.0.0" or "::"). A session cut by its client before
// it connected is a SYN and the client's RST.
//
// A body the record could not keep is not written: its sequence numbers are skipped and a packet
// without data at the first byte after the gap says so in its comment (a reader sees a segment
// that was not captured). Entries that carry no bytes (opened, closed) are not packets.
#include <arpa/inet.h>

#include <cstring>
#include <map>

#include "record/AnsiText.h"
#include "record/LogFormat.h"
#include "record/WriterParts.h"

namespace {

// IPv4: 65535 - 20 (IP) - 20 (TCP) = 65495 bytes at most; IPv6's payload length allows more.
constexpr std::size_t kMaxSegment = 65000;
constexpr std::uint16_t kLinkTypeRaw = 101;
constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10;
constexpr std::uint8_t kWindowScale = 14;

void Put16(std::string& Out, std::uint16_t V) {
  Out += static_cast<char>(V & 0xFF);
  Out += static_cast<char>(V >> 8);
}
void Put32(std::string& Out, std::uint32_t V) {
  for (int i = 0; i < 4; ++i) Out += static_cast<char>((V >> (8 * i)) & 0xFF);
}
// Network order, into a packet.
void Be16(std::uint8_t* At, std::uint16_t V) {
  At[0] = static_cast<std::uint8_t>(V >> 8);
  At[1] = static_cast<std::uint8_t>(V);
}
void Be32(std::uint8_t* At, std::uint32_t V) {
  for (int i = 0; i < 4; ++i) At[i] = static_cast<std::uint8_t>(V >> (24 - 8 * i));
}

// The ones' complement sum of the Internet checksum, not yet folded.
std::uint32_t Sum(const std::uint8_t* Data, std::size_t Length, std::uint32_t Start = 0) {
  std::uint64_t s = Start;
  for (std::size_t i = 0; i + 1 < Length; i += 2) s += (std::uint32_t{Data[i]} << 8) | Data[i + 1];
  if (Length % 2 != 0) s += std::uint32_t{Data[Length - 1]} << 8;
  while (s >> 32) s = (s & 0xFFFFFFFF) + (s >> 32);
  return static_cast<std::uint32_t>(s);
}
std::uint16_t Fold(std::uint32_t S) {
  while (S >> 16) S = (S & 0xFFFF) + (S >> 16);
  return static_cast<std::uint16_t>(~S & 0xFFFF);
}

// An address of either family; an IPv4 address mapped into IPv6 counts as IPv4.
struct TAddress {
  bool V6 = false;
  std::uint8_t Bytes[16] = {};
};

TAddress ParseAddress(std::string Text, bool* Ok = nullptr) {
  TAddress a;
  if (const std::size_t scope = Text.find('%'); scope != std::string::npos) Text.resize(scope);
  if (Text.size() > 2 && Text.front() == '[' && Text.back() == ']') Text = Text.substr(1, Text.size() - 2);
  bool ok = true;
  if (::inet_pton(AF_INET, Text.c_str(), a.Bytes) == 1) {
  } else if (::inet_pton(AF_INET6, Text.c_str(), a.Bytes) == 1) {
    static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(a.Bytes, kMapped, 12) == 0) std::memmove(a.Bytes, a.Bytes + 12, 4);
    else a.V6 = true;
  } else {
    ok = false;
  }
  if (Ok != nullptr) *Ok = ok;
  return a;
}

// IPv4 as an IPv4-mapped IPv6 address, for a connection whose other end is IPv6.
TAddress AsV6(TAddress A) {
  if (A.V6) return A;
  TAddress m;
  m.V6 = true;
  m.Bytes[10] = m.Bytes[11] = 0xFF;
  std::memcpy(m.Bytes + 12, A.Bytes, 4);
  return m;
}

struct TConnection {
  TAddress Local, Remote;
  std::uint16_t LocalPort = 0, RemotePort = 0;
  std::uint32_t Isn[2] = {};       // [0] local, [1] remote
  std::uint64_t Next[2] = {};      // stream bytes accounted for on each side
  bool FinSent[2] = {};
  bool FinDue[2] = {};  // the side ended before the handshake was written: its FIN follows it
  int LastFin = -1;     // the side whose FIN was written last
  bool Opened = false;  // the handshake (or the attempt) is written
};

class TCaptureWriter : public TSingleFileWriter {
public:
  TCaptureWriter(const std::string& Path, bool Staged) : TSingleFileWriter(Path, Staged) {
    if (Failed()) return;
    std::string head;
    // Section header: byte order mark, version 1.0, section length unknown.
    Block(head, 0x0A0D0D0A, [](std::string& B) {
      Put32(B, 0x1A2B3C4D);
      Put16(B, 1);
      Put16(B, 0);
      Put32(B, 0xFFFFFFFF);
      Put32(B, 0xFFFFFFFF);
      Option(B, 4, "vantrel");  // shb_userappl
      Put32(B, 0);              // opt_endofopt
    });
    // The one interface: raw IP, no snapshot limit, microseconds (the default resolution).
    Block(head, 1, [](std::string& B) {
      Put16(B, kLinkTypeRaw);
      Put16(B, 0);
      Put32(B, 0);
      Option(B, 2, "relay");  // if_name
      Put32(B, 0);
    });
    Write(head);
  }

  void SessionStarted(const TSessionInfo& Info) override {
    if (FEnded.Contains(Info.Id)) return;
    TConnection& c = Connection(Info).C;
    if (c.Opened || Info.ConnectedUs == 0) return;
    Open(c, Info);
  }

  // Nothing of a session is written after its end (see Forget).
  void SessionEnded(const TSessionInfo& Info) override {
    if (FEnded.Contains(Info.Id)) return;
    TConnection& c = Connection(Info).C;
    const std::int64_t at = Info.EndUs != 0 ? Info.EndUs : FLastUs;
    if (!c.Opened && Info.ConnectedUs != 0) Open(c, Info);
    if (!c.Opened) {
      // It never connected: the attempt, and its refusal (or the client giving up).
      Packet(c, 0, kSyn, c.Isn[0], 0, {}, Info.StartUs != 0 ? Info.StartUs : at, SessionComment(Info.Id));
      c.Opened = true;
      const std::string why = Info.Reason.empty() ? std::string() : Utf8(Info.Reason);
      // Refused by the remote side, or by a fault at accept: the client got the remote side's reset.
      if (Info.State == ssFailed || !Info.Fault.empty()) Packet(c, 1, kRst | kAck, 0, c.Isn[0] + 1, {}, at, why);
      else Packet(c, 0, kRst, c.Isn[0] + 1, 0, {}, at, why);
      Forget(Info.Id);
      return;
    }
    // How each side ended; a reset goes last, since nothing follows it.
    for (int side : {0, 1}) {
      const TStreamEnd end = side == 0 ? Info.LocalEnd : Info.RemoteEnd;
      if (end == seFinished && !c.FinSent[side]) Fin(c, side, at);
    }
    if (c.FinSent[0] && c.FinSent[1] && Info.LocalEnd != seReset && Info.RemoteEnd != seReset) {
      const int other = 1 - c.LastFin;
      Packet(c, other, kAck, Seq(c, other), Ack(c, other), {}, at, {});  // the last FIN acknowledged
    }
    for (int side : {0, 1}) {
      const TStreamEnd end = side == 0 ? Info.LocalEnd : Info.RemoteEnd;
      if (end == seReset) {
        Packet(c, side, kRst | kAck, Seq(c, side), Ack(c, side), {}, at, Utf8(Info.Reason));
        break;
      }
    }
    Forget(Info.Id);
  }

  void Entry(const TRecordEntry& E, std::string_view Title, const std::string* Body) override {
    FLastUs = E.TimeUs;
    if (E.Session == 0 || Failed() || FEnded.Contains(E.Session)) return;  // nothing follows its FIN or RST
    const int ended = Title == "End of Stream from Local" ? 0 : Title == "End of Stream from Remote" ? 1 : -1;
    if (ended >= 0) {
      TConnection& c = Known(E.Session).C;
      if (c.FinSent[ended]) return;
      if (c.Opened)
        Fin(c, ended, E.TimeUs);
      else
        c.FinDue[ended] = true;
      return;
    }
    const int tls = Title == "TLS with Local" ? 0 : Title == "TLS with Remote" ? 1 : -1;
    if (tls >= 0) {
      Known(E.Session).Decrypted[tls] = true;
      return;
    }
    if (E.Direction != edFromLocal && E.Direction != edFromRemote) return;
    TKnown& known = Known(E.Session);
    TConnection& c = known.C;
    if (!c.Opened) {
      TSessionInfo info = known.Info;
      if (info.ConnectedUs == 0) info.ConnectedUs = E.TimeUs;
      if (info.StartUs == 0) info.StartUs = E.TimeUs;
      Open(c, info);
    }
    const int side = E.Direction == edFromLocal ? 0 : 1;
    const std::string title =
        Utf8(std::string(Title)) + (known.Decrypted[side] ? "; decrypted: the plaintext of a TLS stream" : "");
    if (Body == nullptr || Body->size() != E.BodyLength) {
      c.Next[side] = E.Offset + E.BodyLength;
      if (E.BodyLength > 0)
        Packet(c, side, kAck, Seq(c, side), Ack(c, side), {}, E.TimeUs,
               title + ": " + std::to_string(E.BodyLength) + " bytes at stream offset " + std::to_string(E.Offset) +
                   " were not kept by the log and are missing from this capture");
      return;
    }
    c.Next[side] = E.Offset;
    std::size_t done = 0;
    do {
      const std::size_t n = std::min(kMaxSegment, Body->size() - done);
      const bool last = done + n == Body->size();
      // An entry without bytes (a fault's) is an empty segment that carries its title.
      Packet(c, side, static_cast<std::uint8_t>(kAck | (last && n > 0 ? kPsh : 0)), Seq(c, side), Ack(c, side),
             std::string_view(*Body).substr(done, n), E.TimeUs, title);
      c.Next[side] += n;
      done += n;
    } while (done < Body->size());
  }

private:
  struct TKnown {
    std::uint64_t Id = 0;
    TSessionInfo Info;
    bool Decrypted[2] = {false, false};  // a side's bytes are the plaintext of its TLS
    TConnection C;
  };

  // What a reader of the capture finds the session's number by: a comment on its SYN, which
  // changes nothing of the stream that a reader follows.
  static std::string SessionComment(std::uint64_t Id) { return "Session " + std::to_string(Id); }

  static std::string Utf8(const std::string& Text) {
    std::string out;
    AppendAnsiUtf8(PrintableText(Text), out);
    return out;
  }

  // The connection of an entry's session. Facts not seen yet (an end before the connection was
  // made), or never (a record cleared after the session started): the addresses are unknown until
  // they come.
  TKnown& Known(std::uint64_t Session) {
    auto it = FConnections.find(Session);
    if (it != FConnections.end()) return it->second;
    TSessionInfo unknown;
    unknown.Id = Session;
    return Connection(unknown);
  }

  // The connection of a session, made from its facts when first seen; later facts update the
  // remote address while nothing has been written.
  TKnown& Connection(const TSessionInfo& Info) {
    auto [it, added] = FConnections.try_emplace(Info.Id);
    TKnown& k = it->second;
    if (!added && (k.C.Opened || Info.LocalAddr.empty())) return k;
    k.Id = Info.Id;
    k.Info = Info;
    TConnection& c = k.C;
    c.Local = ParseAddress(Info.LocalAddr);
    bool reached = false;
    c.Remote = ParseAddress(Info.RemoteAddr, &reached);
    if (!reached) c.Remote = TAddress{};
    if (c.Local.V6 || c.Remote.V6) {
      if (!reached) c.Remote.V6 = true;  // "::"
      c.Local = AsV6(c.Local);
      c.Remote = AsV6(c.Remote);
    }
    c.LocalPort = Info.LocalPort;
    c.RemotePort = Info.RemotePort;
    // Start numbers of its own for each session and side, the same in every save.
    const std::uint64_t h = Info.Id * 0x9E3779B97F4A7C15ull;
    c.Isn[0] = static_cast<std::uint32_t>(h >> 32);
    c.Isn[1] = static_cast<std::uint32_t>(h) ^ 0x5BD1E995u;
    return k;
  }

  // A session that has ended keeps no state: a relay that runs for days holds only the sessions
  // that are open, and the ranges of the numbers that have ended.
  void Forget(std::uint64_t Id) {
    FConnections.erase(Id);
    FEnded.Add(Id);
  }

  void Open(TConnection& C, const TSessionInfo& Info) {
    const std::int64_t start = Info.StartUs != 0 ? Info.StartUs : Info.ConnectedUs;
    Packet(C, 0, kSyn, C.Isn[0], 0, {}, start, SessionComment(Info.Id));
    Packet(C, 1, kSyn | kAck, C.Isn[1], C.Isn[0] + 1, {}, Info.ConnectedUs, {});
    Packet(C, 0, kAck, C.Isn[0] + 1, C.Isn[1] + 1, {}, Info.ConnectedUs, {});
    C.Opened = true;
    for (int side : {0, 1})
      if (C.FinDue[side] && !C.FinSent[side]) Fin(C, side, Info.ConnectedUs);
  }

  void Fin(TConnection& C, int Side, std::int64_t TimeUs) {
    Packet(C, Side, kFin | kAck, Seq(C, Side), Ack(C, Side), {}, TimeUs, {});
    C.FinSent[Side] = true;
    C.LastFin = Side;
  }

  static std::uint32_t Seq(const TConnection& C, int Side) {
    return C.Isn[Side] + 1 + static_cast<std::uint32_t>(C.Next[Side]) + (C.FinSent[Side] ? 1u : 0u);
  }
  // What Side acknowledges: everything the other side has sent.
  static std::uint32_t Ack(const TConnection& C, int Side) { return Seq(C, 1 - Side); }

  template <class F>
  static void Block(std::string& Out, std::uint32_t Type, F Body) {
    std::string b;
    Body(b);
    const auto length = static_cast<std::uint32_t>(12 + b.size());
    Put32(Out, Type);
    Put32(Out, length);
    Out += b;
    Put32(Out, length);
  }

  static void Option(std::string& Out, std::uint16_t Code, std::string_view Value) {
    Put16(Out, Code);
    Put16(Out, static_cast<std::uint16_t>(Value.size()));
    Out += Value;
    Out.append((4 - Value.size() % 4) % 4, '\0');
  }

  // A comment (UTF-8) as opt_comment options: one, or for a text beyond an option's 16-bit length
  // several in a row, each cut before a character's first byte, so that the whole text is kept and
  // every part is valid UTF-8. A reader shows them as the packet's comments, in order.
  static void Comments(std::string& Out, std::string_view Text) {
    constexpr std::size_t kMost = 0xFFFF;  // what an option's length can say
    while (!Text.empty()) {
      std::size_t n = std::min(kMost, Text.size());
      if (n < Text.size())
        while (n > 1 && (static_cast<unsigned char>(Text[n]) & 0xC0) == 0x80) --n;
      Option(Out, 1, Text.substr(0, n));
      Text.remove_prefix(n);
    }
  }

  // One packet from Side (0 local, 1 remote) to the other, as an enhanced packet block.
  void Packet(const TConnection& C, int Side, std::uint8_t Flags, std::uint32_t Seq, std::uint32_t Ack,
              std::string_view Payload, std::int64_t TimeUs, const std::string& Comment) {
    const TAddress& src = Side == 0 ? C.Local : C.Remote;
    const TAddress& dst = Side == 0 ? C.Remote : C.Local;
    const bool v6 = src.V6;
    const std::size_t ipLength = v6 ? 40 : 20;
    const std::size_t tcpLength = (Flags & kSyn) != 0 ? 24 : 20;
    const std::size_t total = ipLength + tcpLength + Payload.size();
    FPacket.assign(ipLength + tcpLength, 0);
    auto* ip = reinterpret_cast<std::uint8_t*>(FPacket.data());
    std::uint8_t* tcp = ip + ipLength;
    const std::size_t addressLength = v6 ? 16 : 4;
    if (v6) {
      ip[0] = 0x60;
      Be16(ip + 4, static_cast<std::uint16_t>(tcpLength + Payload.size()));
      ip[6] = 6;  // TCP
      ip[7] = 64;
      std::memcpy(ip + 8, src.Bytes, 16);
      std::memcpy(ip + 24, dst.Bytes, 16);
    } else {
      ip[0] = 0x45;
      Be16(ip + 2, static_cast<std::uint16_t>(total));
      Be16(ip + 4, static_cast<std::uint16_t>(++FIpId));
      Be16(ip + 6, 0x4000);  // don't fragment
      ip[8] = 64;
      ip[9] = 6;
      std::memcpy(ip + 12, src.Bytes, 4);
      std::memcpy(ip + 16, dst.Bytes, 4);
      Be16(ip + 10, Fold(Sum(ip, 20)));
    }
    Be16(tcp, Side == 0 ? C.LocalPort : C.RemotePort);
    Be16(tcp + 2, Side == 0 ? C.RemotePort : C.LocalPort);
    Be32(tcp + 4, Seq);
    Be32(tcp + 8, (Flags & kAck) != 0 ? Ack : 0);
    tcp[12] = static_cast<std::uint8_t>((tcpLength / 4) << 4);
    tcp[13] = Flags;
    Be16(tcp + 14, (Flags & kRst) != 0 ? 0 : 0xFFFF);
    if ((Flags & kSyn) != 0) {
      tcp[20] = 1;  // no-operation, then the window scale
      tcp[21] = 3;
      tcp[22] = 3;
      tcp[23] = kWindowScale;
    }
    // The checksum covers a pseudo header of the addresses, the protocol and the TCP length.
    const std::size_t segment = tcpLength + Payload.size();
    std::uint32_t sum = Sum(src.Bytes, addressLength);
    sum = Sum(dst.Bytes, addressLength, sum);
    std::uint8_t pseudo[8] = {};
    Be32(pseudo, static_cast<std::uint32_t>(segment));
    pseudo[7] = 6;
    sum = Sum(pseudo, 8, sum);
    sum = Sum(tcp, tcpLength, sum);
    // The header is even in length: the payload's sum carries on from it.
    sum = Sum(reinterpret_cast<const std::uint8_t*>(Payload.data()), Payload.size(), sum);
    Be16(tcp + 16, Fold(sum));

    // The options first: the block's length counts exactly what is written.
    FOptions.clear();
    if (!Comment.empty()) {
      Comments(FOptions, Comment);
      Put32(FOptions, 0);  // opt_endofopt
    }
    FBlock.clear();
    const std::size_t padded = (total + 3) / 4 * 4;
    const auto length = static_cast<std::uint32_t>(32 + padded + FOptions.size());
    Put32(FBlock, 6);
    Put32(FBlock, length);
    Put32(FBlock, 0);  // interface
    const auto us = static_cast<std::uint64_t>(std::max<std::int64_t>(TimeUs, 0));
    Put32(FBlock, static_cast<std::uint32_t>(us >> 32));
    Put32(FBlock, static_cast<std::uint32_t>(us));
    Put32(FBlock, static_cast<std::uint32_t>(total));
    Put32(FBlock, static_cast<std::uint32_t>(total));
    FBlock += FPacket;
    FBlock += Payload;
    FBlock.append(padded - total, '\0');
    FBlock += FOptions;
    Put32(FBlock, length);
    // One write of the whole block: the file's buffer, which goes to the system whenever it
    // fills, never ends inside a block, so that a program killed at any moment leaves whole packets.
    Write(FBlock);
    if (TimeUs > FLastUs) FLastUs = TimeUs;
    CheckFile();
  }

  std::map<std::uint64_t, TKnown> FConnections;  // the sessions that have not ended
  TEndedSessions FEnded;
  std::int64_t FLastUs = 0;
  std::uint16_t FIpId = 0;
  std::string FBlock, FPacket, FOptions;
};

}  // namespace

std::unique_ptr<TTrafficWriter> MakeCaptureWriter(const std::string& Path, bool Staged) {
  return std::make_unique<TCaptureWriter>(Path, Staged);
}
