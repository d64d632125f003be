// Reading captures back: our own writer's captures give back exactly the sessions that were
// saved (numbers, addresses, chunks with their times and offsets, ends, lost bodies); a capture of
// another program's shape (big-endian, nanoseconds, Ethernet with VLAN tags, segments out of
// order and sent twice, sequence numbers that wrap, no SYN) is reassembled byte-exact; and every
// kind of bad file is refused with one line, never a crash.
#include <gtest/gtest.h>

#include "ReplayTestSupport.h"
#include "replay/CaptureReader.h"

using namespace replaytest;

namespace {

std::string Bytes(std::size_t Length, std::uint32_t Seed) { return Pattern(Length, Seed); }

// The sessions of every kind that the relay records, as a record saved by our writer.
class OwnCapture : public ::testing::Test {
protected:
  void SetUp() override {
    TScript text(3, 40003, "10.0.0.5", 80);
    text.Local("GET / HTTP/1.0\r\n\r\n").Remote("HTTP/1.0 200 OK\r\n\r\n").Remote("hello").Local("more");
    TScript big(7, 40007, "10.0.0.5", 81);
    big.Local(Bytes(150000, 7)).Remote(Bytes(70000, 8)).Local("tail");
    big.RemoteEnd = seReset;
    TScript v6(12, 40012, "fe80::1", 8080);
    v6.Info.LocalAddr = "::1";
    v6.Local("over IPv6\n").Remote("ok\n");
    v6.LocalEnd = seReset;
    v6.RemoteEnd = seOpen;
    TScript mapped(13, 40013, "::1", 8081);
    mapped.Info.LocalAddr = "::ffff:127.0.0.1";
    mapped.Local("mapped").Remote("answered");
    Scripts = {text, big, v6, mapped};
    std::int64_t t = 1765000000000000;
    for (const TScript& s : Scripts) {
      s.Write(Record, t);
      Starts.push_back(t);
      t += 1000000;
    }
    // One that never connected: refused, with its reason.
    TSessionInfo refused;
    refused.Id = 20;
    refused.LocalAddr = "127.0.0.1";
    refused.LocalPort = 40020;
    refused.RemoteAddr = "10.0.0.9";
    refused.RemotePort = 82;
    refused.StartUs = t;
    refused.EndUs = t + 500;
    refused.State = ssFailed;
    refused.Reason = "the connection to 10.0.0.9 port 82 failed: Connection refused";
    Record.SetSession(refused);
    std::string error;
    ASSERT_TRUE(SaveRecord(Record, Path, sfCapture, error)) << error;
  }

  TTrafficRecord Record;
  std::vector<TScript> Scripts;
  std::vector<std::int64_t> Starts;
  TTempDir Dir;
  std::string Path = Dir / "own.pcapng";
};

TEST_F(OwnCapture, GivesBackEachSessionWithItsNumberAddressesChunksAndEnds) {
  TCapture capture;
  std::string error;
  ASSERT_TRUE(ReadCapture(Path, capture, error)) << error;
  ASSERT_EQ(capture.Sessions.size(), 5u);
  for (std::size_t i = 0; i < Scripts.size(); ++i) {
    const TScript& script = Scripts[i];
    SCOPED_TRACE(script.Info.Id);
    const TRecordedSession& s = capture.Sessions[i];
    EXPECT_EQ(s.Number, script.Info.Id);  // from the SYN's comment: not the place in the file
    EXPECT_EQ(capture.Find(script.Info.Id), &s);
    EXPECT_EQ(s.LocalPort, script.Info.LocalPort);
    EXPECT_EQ(s.RemotePort, script.Info.RemotePort);
    EXPECT_EQ(s.StartUs, Starts[i]);
    EXPECT_EQ(s.ConnectedUs, Starts[i] + 100);
    EXPECT_EQ(s.LocalEnd, script.LocalEnd);
    EXPECT_EQ(s.RemoteEnd, script.RemoteEnd);
    EXPECT_EQ(s.Missing[0] + s.Missing[1], 0u);
    // One chunk for each entry, the 150,000 bytes cut into three segments joined again.
    ASSERT_EQ(s.Chunks.size(), script.Steps.size());
    std::uint64_t offset[3] = {0, 0, 0};
    for (std::size_t k = 0; k < s.Chunks.size(); ++k) {
      const TRecordedChunk& c = s.Chunks[k];
      const TScript::TStep& step = script.Steps[k];
      EXPECT_EQ(c.Direction, step.Direction) << k;
      EXPECT_EQ(c.TimeUs, Starts[i] + 100 + step.AfterUs) << k;
      EXPECT_EQ(c.Offset, offset[step.Direction]) << k;
      EXPECT_TRUE(c.Bytes == step.Bytes) << k << ": " << c.Bytes.size() << " bytes for " << step.Bytes.size();
      offset[step.Direction] += step.Bytes.size();
    }
    EXPECT_EQ(Checksum(s.Stream(edFromLocal)), Checksum(script.Stream(edFromLocal)));
    EXPECT_EQ(Checksum(s.Stream(edFromRemote)), Checksum(script.Stream(edFromRemote)));
  }
  EXPECT_EQ(capture.Sessions[0].LocalAddr, "127.0.0.1");
  EXPECT_EQ(capture.Sessions[0].RemoteAddr, "10.0.0.5");
  EXPECT_EQ(capture.Sessions[2].LocalAddr, "::1");
  EXPECT_EQ(capture.Sessions[2].RemoteAddr, "fe80::1");
  EXPECT_EQ(capture.Sessions[3].LocalAddr, "::ffff:127.0.0.1");  // as the capture has it
  const TRecordedSession& refused = capture.Sessions[4];
  EXPECT_EQ(refused.Number, 20u);
  EXPECT_FALSE(refused.Connected());
  EXPECT_EQ(refused.RemoteAddr, "10.0.0.9");
  EXPECT_EQ(refused.RemoteEnd, seReset);
  EXPECT_EQ(refused.Reason, "the connection to 10.0.0.9 port 82 failed: Connection refused");
  EXPECT_TRUE(refused.Chunks.empty());
  EXPECT_EQ(capture.Find(1), nullptr);
  EXPECT_EQ(capture.Find(0), nullptr);
}

// Another program's capture carries no "Session N": sessions are numbered in the order they began.
TEST_F(OwnCapture, WithoutSessionCommentsSessionsAreNumberedInTheOrderTheyBegan) {
  std::string bytes = ReadFile(Path);
  std::size_t renamed = 0;
  for (std::size_t at = 0; (at = bytes.find("Session ", at)) != std::string::npos; ++renamed) bytes[at + 6] = 'u';
  ASSERT_EQ(renamed, 5u);
  TCapture capture;
  std::string error;
  ASSERT_TRUE(ParseCapture(bytes, capture, error)) << error;
  ASSERT_EQ(capture.Sessions.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(capture.Sessions[i].Number, i + 1);
  EXPECT_EQ(capture.Find(2)->LocalPort, 40007);
  EXPECT_EQ(capture.Find(12), nullptr);
}

// Bodies the log could not keep: the bytes around them are where they were, the gap is counted,
// at the end of a direction too.
TEST(CaptureReader, BodiesTheLogLostCountAsMissing) {
  TTempDir dir;
  const std::string path = dir / "lost.pcapng";
  TSessionInfo info;
  info.Id = 9;
  info.LocalAddr = "127.0.0.1";
  info.LocalPort = 40009;
  info.RemoteAddr = "127.0.0.2";
  info.RemotePort = 90;
  info.StartUs = 1765000000000000;
  info.ConnectedUs = info.StartUs + 10;
  const std::string before = Bytes(100, 1), after = Bytes(30, 3), answer = Bytes(20, 4);
  auto entry = [&](TEntryDirection D, std::uint64_t Offset, std::uint64_t Length, std::int64_t At) {
    TRecordEntry e;
    e.TimeUs = info.StartUs + At;
    e.Session = info.Id;
    e.Direction = D;
    e.Offset = Offset;
    e.BodyLength = Length;
    return e;
  };
  auto w = MakeTrafficWriter(sfCapture, path, false);
  ASSERT_FALSE(w->Failed()) << w->Error();
  w->SessionStarted(info);
  w->Entry(entry(edFromLocal, 0, 100, 20), "From Local", &before);
  w->Entry(entry(edFromLocal, 100, 50, 30), "From Local", nullptr);
  w->Entry(entry(edFromLocal, 150, 30, 40), "From Local", &after);
  w->Entry(entry(edFromRemote, 0, 20, 45), "From Remote", &answer);
  w->Entry(entry(edFromRemote, 20, 7, 46), "From Remote", nullptr);
  info.EndUs = info.StartUs + 50;
  info.LocalEnd = info.RemoteEnd = seFinished;
  w->SessionEnded(info);
  ASSERT_TRUE(w->Close()) << w->Error();

  TCapture capture;
  std::string error;
  ASSERT_TRUE(ReadCapture(path, capture, error)) << error;
  ASSERT_EQ(capture.Sessions.size(), 1u);
  const TRecordedSession& s = capture.Sessions[0];
  EXPECT_EQ(s.Missing[0], 50u);
  EXPECT_EQ(s.Missing[1], 7u);
  ASSERT_EQ(s.Chunks.size(), 3u);
  EXPECT_EQ(s.Chunks[0].Bytes, before);
  EXPECT_EQ(s.Chunks[1].Offset, 150u);
  EXPECT_EQ(s.Chunks[1].Bytes, after);
  EXPECT_EQ(s.Chunks[2].Bytes, answer);
  EXPECT_EQ(s.LocalEnd, seFinished);
  EXPECT_EQ(s.RemoteEnd, seFinished);
}

// ---- a capture of another program's shape, built block by block ----

struct TBuilder {
  bool Big = false;
  std::string Out;

  void Put16(std::string& S, std::uint16_t V) const {
    if (Big) {
      S += static_cast<char>(V >> 8);
      S += static_cast<char>(V);
    } else {
      S += static_cast<char>(V);
      S += static_cast<char>(V >> 8);
    }
  }
  void Put32(std::string& S, std::uint32_t V) const {
    for (int i = 0; i < 4; ++i) S += static_cast<char>(V >> (Big ? 24 - 8 * i : 8 * i));
  }
  void Block(std::uint32_t Type, std::string Body) {
    Body.append((4 - Body.size() % 4) % 4, '\0');
    Put32(Out, Type);
    Put32(Out, static_cast<std::uint32_t>(Body.size() + 12));
    Out += Body;
    Put32(Out, static_cast<std::uint32_t>(Body.size() + 12));
  }
  void Section() {
    std::string b;
    Put32(b, 0x1A2B3C4D);
    Put16(b, 1);
    Put16(b, 0);
    b.append(8, '\xFF');
    Block(0x0A0D0D0A, b);
  }
  void Interface(std::uint16_t LinkType, int Resolution = -1) {
    std::string b;
    Put16(b, LinkType);
    Put16(b, 0);
    Put32(b, 0);
    if (Resolution >= 0) {
      Put16(b, 9);
      Put16(b, 1);
      b += static_cast<char>(Resolution);
      b.append(3, '\0');
      Put32(b, 0);
    }
    Block(1, b);
  }
  void Packet(std::uint64_t Ticks, const std::string& Frame, std::uint32_t Interface = 0) {
    std::string b;
    Put32(b, Interface);
    Put32(b, static_cast<std::uint32_t>(Ticks >> 32));
    Put32(b, static_cast<std::uint32_t>(Ticks));
    Put32(b, static_cast<std::uint32_t>(Frame.size()));
    Put32(b, static_cast<std::uint32_t>(Frame.size()));
    b += Frame;
    Block(6, b);
  }
};

std::string Be16(std::uint16_t V) { return {static_cast<char>(V >> 8), static_cast<char>(V)}; }
std::string Be32(std::uint32_t V) { return Be16(static_cast<std::uint16_t>(V >> 16)) + Be16(static_cast<std::uint16_t>(V)); }

// An Ethernet frame, with a VLAN tag, of an IPv4 TCP segment between 192.0.2.1 and 192.0.2.2.
std::string Frame(bool FromClient, std::uint32_t Seq, std::uint8_t Flags, const std::string& Payload) {
  std::string tcp = Be16(FromClient ? 5555 : 80) + Be16(FromClient ? 80 : 5555) + Be32(Seq) + Be32(0) +
                    std::string{0x50, static_cast<char>(Flags)} + Be16(65535) + Be16(0) + Be16(0) + Payload;
  const std::string a("\xC0\x00\x02\x01", 4), b("\xC0\x00\x02\x02", 4);
  std::string ip = std::string{0x45, 0} + Be16(static_cast<std::uint16_t>(20 + tcp.size())) + Be16(1) + Be16(0x4000) +
                   std::string{64, 6} + Be16(0) + (FromClient ? a + b : b + a);
  return std::string(12, '\x02') + Be16(0x8100) + Be16(7) + Be16(0x0800) + ip + tcp;
}

TEST(CaptureReader, ReassemblesAForeignCaptureOutOfOrderSentTwiceAndWrappingByteExact) {
  TBuilder b;
  b.Big = true;
  b.Section();
  b.Interface(1, 9);  // Ethernet, nanoseconds
  // The capture starts in the middle of the connection: the client's numbers wrap past 2^32.
  const std::uint32_t client = 0xFFFFFFF0u, server = 1000;
  const std::string hello = Bytes(40, 1), part1 = Bytes(30, 2), part2 = Bytes(25, 3), answer = Bytes(50, 4);
  std::uint64_t t = 1765000000123456789ull;
  b.Packet(t, Frame(true, client, 0x18, hello));                 // crosses 2^32
  b.Packet(t + 1000, Frame(false, server, 0x18, answer.substr(0, 20)));
  b.Packet(t + 2000, Frame(false, server + 30, 0x18, answer.substr(30)));  // ahead of what came
  b.Packet(t + 3000, Frame(false, server + 20, 0x18, answer.substr(20, 10)));  // the hole filled
  b.Packet(t + 4000, Frame(false, server, 0x18, answer.substr(0, 25)));  // sent again, overlapping
  b.Packet(t + 5000, Frame(true, client + 40, 0x18, part1));
  b.Packet(t + 6000, Frame(true, client + 70, 0x19, part2));  // with FIN
  b.Packet(t + 7000, Frame(false, server + 50, 0x11, ""));     // FIN

  TCapture capture;
  std::string error;
  ASSERT_TRUE(ParseCapture(b.Out, capture, error)) << error;
  ASSERT_EQ(capture.Sessions.size(), 1u);
  const TRecordedSession& s = capture.Sessions[0];
  EXPECT_EQ(s.Number, 1u);
  EXPECT_EQ(s.LocalAddr, "192.0.2.1");
  EXPECT_EQ(s.LocalPort, 5555);
  EXPECT_EQ(s.RemoteAddr, "192.0.2.2");
  EXPECT_EQ(s.RemotePort, 80);
  EXPECT_TRUE(s.Connected());
  EXPECT_EQ(s.StartUs, 1765000000123456);
  EXPECT_EQ(s.Stream(edFromLocal), hello + part1 + part2);
  EXPECT_EQ(s.Stream(edFromRemote), answer);
  EXPECT_EQ(s.Missing[0] + s.Missing[1], 0u);
  EXPECT_EQ(s.LocalEnd, seFinished);
  EXPECT_EQ(s.RemoteEnd, seFinished);
  // The remote side's chunks in stream order: what came ahead of the hole counts from the packet
  // that filled it, and takes its time.
  std::vector<std::tuple<std::uint64_t, std::size_t, std::int64_t>> remote;
  for (const TRecordedChunk& c : s.Chunks)
    if (c.Direction == edFromRemote) remote.emplace_back(c.Offset, c.Bytes.size(), c.TimeUs - 1765000000123456);
  EXPECT_EQ(remote, (std::vector<std::tuple<std::uint64_t, std::size_t, std::int64_t>>{{0, 20, 1}, {20, 10, 3}, {30, 20, 3}}));
  EXPECT_EQ(s.Chunks.back().TimeUs, 1765000000123462);
  EXPECT_EQ(s.Chunks.back().Direction, edFromLocal);
}

// ---- refusals ----

std::string ParseError(const std::string& Bytes) {
  TCapture capture;
  std::string error;
  EXPECT_FALSE(ParseCapture(Bytes, capture, error));
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  EXPECT_FALSE(error.empty());
  return error;
}

TEST_F(OwnCapture, EveryCutOfTheFileIsReadOrRefusedWithOneLine) {
  const std::string whole = ReadFile(Path);
  // Where the blocks end: a cut there is a shorter capture, anywhere else a truncated one.
  std::vector<std::size_t> ends;
  for (std::size_t at = 0; at + 8 <= whole.size();) {
    at += static_cast<unsigned char>(whole[at + 4]) | static_cast<unsigned char>(whole[at + 5]) << 8 |
          static_cast<unsigned char>(whole[at + 6]) << 16 | static_cast<std::uint32_t>(static_cast<unsigned char>(whole[at + 7])) << 24;
    ends.push_back(at);
  }
  ASSERT_EQ(ends.back(), whole.size());
  std::size_t read = 0;
  for (std::size_t n = 1; n < whole.size(); n += n < 2000 ? 1 : 97) {
    TCapture capture;
    std::string error;
    const bool ok = ParseCapture(std::string_view(whole).substr(0, n), capture, error);
    const bool boundary = std::find(ends.begin(), ends.end(), n) != ends.end();
    if (!boundary) {
      EXPECT_FALSE(ok) << n;
      EXPECT_NE(error.find("truncated"), std::string::npos) << n << ": " << error;
    } else if (!ok) {
      EXPECT_EQ(error, "the capture holds no TCP connection") << n;
    } else {
      ++read;
      EXPECT_LE(capture.Sessions.size(), 5u);
    }
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
  EXPECT_GT(read, 0u);
}

TEST_F(OwnCapture, BlocksOfBadLengthAreRefused) {
  const std::string whole = ReadFile(Path);
  // The third block (the first packet): its length fields start at offset 4.
  std::size_t third = 0;
  for (int i = 0; i < 2; ++i) third += static_cast<unsigned char>(whole[third + 4]) | static_cast<unsigned char>(whole[third + 5]) << 8;
  auto withLength = [&](std::uint32_t Length, bool Trailing) {
    std::string bytes = whole;
    const std::size_t at = Trailing ? third + (static_cast<unsigned char>(whole[third + 4]) |
                                               static_cast<unsigned char>(whole[third + 5]) << 8) - 4
                                    : third + 4;
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(Length >> (8 * i));
    return bytes;
  };
  EXPECT_NE(ParseError(withLength(8, false)).find("bad length (8 bytes)"), std::string::npos);
  EXPECT_NE(ParseError(withLength(101, false)).find("bad length (101 bytes)"), std::string::npos);
  EXPECT_NE(ParseError(withLength(0xFFFFFFF0u, false)).find("truncated"), std::string::npos);
  EXPECT_NE(ParseError(withLength(12, true)).find("two length fields differ"), std::string::npos);
  EXPECT_NE(ParseError(withLength(48, false)).find("at offset " + std::to_string(third)), std::string::npos);
}

TEST(CaptureReader, FilesThatAreNotCapturesAreRefusedSayingWhat) {
  EXPECT_EQ(ParseError(""), "the file is empty: it is not a capture");
  EXPECT_EQ(ParseError("GET / HTTP/1.0\r\n\r\n"), "not a capture: a pcapng file starts with a section header");
  EXPECT_EQ(ParseError(std::string("\xD4\xC3\xB2\xA1\x02\x00\x04\x00", 8) + std::string(16, '\0')),
            "a capture in the older pcap format: only pcapng captures are read");
  // A section header without its byte-order mark, and one of another version.
  std::string noMark = std::string("\x0A\x0D\x0D\x0A\x1C\x00\x00\x00", 8) + std::string(16, 'x') + std::string("\x1C\x00\x00\x00", 4);
  EXPECT_NE(ParseError(noMark).find("no byte-order mark"), std::string::npos);
  TBuilder b;
  b.Section();
  std::string v2 = b.Out;
  v2[12] = 2;
  EXPECT_EQ(ParseError(v2), "pcapng version 2.0 is not read (only version 1)");
  // Headers alone; a packet of an interface never described; an option past its block.
  EXPECT_EQ(ParseError(b.Out), "the capture holds no TCP connection");
  TBuilder orphan = b;
  orphan.Packet(0, Frame(true, 1, 0x02, ""), 3);
  EXPECT_NE(ParseError(orphan.Out).find("is of interface 3, which no interface block describes"), std::string::npos);
  TBuilder option = b;
  option.Block(1, std::string("\x01\x00\x00\x00\x00\x00\x00\x00\x02\x00\x40\x00", 12));
  EXPECT_NE(ParseError(option.Out).find("an option that runs past its end"), std::string::npos);
  // Packets of a link type that is not read are named; packets that are not TCP count for nothing.
  TBuilder other = b;
  other.Interface(147);
  other.Packet(0, "anything");
  EXPECT_EQ(ParseError(other.Out), "the capture holds no TCP connection that could be read (packets of link type 147 are not read)");
  TBuilder udp = b;
  udp.Interface(101);
  std::string datagram = Frame(true, 1, 0x02, "").substr(18);
  datagram[9] = 17;
  udp.Packet(0, datagram);
  EXPECT_EQ(ParseError(udp.Out), "the capture holds no TCP connection");
}

TEST(CaptureReader, AFileThatCannotBeReadSaysWhyWithItsPath) {
  TTempDir dir;
  TCapture capture;
  std::string error;
  EXPECT_FALSE(ReadCapture(dir / "nothing.pcapng", capture, error));
  EXPECT_EQ(error, dir / "nothing.pcapng" + ": No such file or directory");
  EXPECT_FALSE(ReadCapture(dir.Path.string(), capture, error));
  EXPECT_EQ(error, dir.Path.string() + ": Is a directory");
  WriteFile(dir / "text.pcapng", "hello\n");
  EXPECT_FALSE(ReadCapture(dir / "text.pcapng", capture, error));
  EXPECT_EQ(error, dir / "text.pcapng" + ": not a capture: a pcapng file starts with a section header");
}

}  // namespace

namespace {

// What the writer has handed to the system is whole blocks at every moment, also when its buffer
// fills in the middle of an entry: a program killed at any point leaves a capture that reads to
// its last whole packet instead of one cut inside a block.
TEST(CaptureReader, WhatTheWriterHasWrittenIsWholeBlocksAtEveryMoment) {
  TTempDir dir;
  const std::string path = dir / "growing.pcapng";
  auto w = MakeTrafficWriter(sfCapture, path, false);
  ASSERT_FALSE(w->Failed()) << w->Error();
  TSessionInfo info;
  info.Id = 1;
  info.LocalAddr = "127.0.0.1";
  info.LocalPort = 40001;
  info.RemoteAddr = "127.0.0.2";
  info.RemotePort = 90;
  info.StartUs = 1765000000000000;
  info.ConnectedUs = info.StartUs + 10;
  w->SessionStarted(info);
  std::uint64_t offset = 0;
  std::size_t cut = 0;
  for (int i = 0; i < 12; ++i) {
    const std::string body = Bytes(300000 + 977 * i, i);  // five segments each, the buffer fills anywhere
    TRecordEntry e;
    e.TimeUs = info.StartUs + 100 + i;
    e.Session = 1;
    e.Direction = edFromLocal;
    e.Offset = offset;
    e.BodyLength = body.size();
    w->Entry(e, "From Local", &body);
    offset += body.size();
    TCapture capture;
    std::string error;
    if (!ParseCapture(ReadFile(path), capture, error) && error.find("truncated") != std::string::npos) ++cut;
  }
  EXPECT_EQ(cut, 0u) << "the file ended inside a block after " << cut << " of 12 entries";
  ASSERT_TRUE(w->Close()) << w->Error();
  TCapture capture;
  std::string error;
  ASSERT_TRUE(ReadCapture(path, capture, error)) << error;
  EXPECT_EQ(capture.Sessions.at(0).StreamLength(edFromLocal), offset);
}

}  // namespace
