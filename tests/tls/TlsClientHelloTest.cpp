// The recogniser of a ClientHello: real hellos from openssl's client (TLS 1.3 and 1.2, with SNI
// and ALPN or without), at the start and behind other bytes, cut at every length, split into
// many records; and bytes that are not a hello, decided as early as their first bytes allow.
#include <gtest/gtest.h>

#include "TlsTestSupport.h"
#include "tls/TlsClientHello.h"

using namespace tlstest;

namespace {

// The first flight of `openssl s_client Options...` toward a listener that never answers.
std::string CaptureHello(const std::vector<std::string>& Options) {
  RawListener listener;
  std::vector<std::string> argv = {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(listener.Port)};
  argv.insert(argv.end(), Options.begin(), Options.end());
  TChild client(argv);
  int fd = listener.AcceptPumping();
  if (fd < 0) return {};
  std::string got;
  char buf[4096];
  PumpUntil([&] {
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    return ScanClientHello(got) != hvNeedMore;
  });
  ::close(fd);
  return got;
}

struct THelloCase {
  const char* Name;
  std::vector<std::string> Options;
  std::string ServerName;
  std::vector<std::string> Alpn;
  std::uint16_t RecordVersion;
};
void PrintTo(const THelloCase& C, std::ostream* Os) { *Os << C.Name; }  // the case's name in test lists

class TlsRealHello : public testing::TestWithParam<THelloCase> {};

TEST_P(TlsRealHello, IsRecognisedWithItsNameAndProtocols) {
  const THelloCase& c = GetParam();
  const std::string hello = CaptureHello(c.Options);
  ASSERT_FALSE(hello.empty());
  TClientHello h;
  ASSERT_EQ(ScanClientHello(hello, &h), hvClientHello);
  EXPECT_EQ(h.Length, hello.size());
  EXPECT_EQ(h.Records, 1u);
  EXPECT_EQ(h.RecordVersion, c.RecordVersion);
  EXPECT_EQ(h.ClientVersion, 0x0303);
  EXPECT_EQ(h.HasServerName, !c.ServerName.empty());
  EXPECT_EQ(h.ServerName, c.ServerName);
  EXPECT_EQ(h.HasAlpn, !c.Alpn.empty());
  EXPECT_EQ(h.Alpn, c.Alpn);
  // Every shorter prefix needs more; the start is decided from the headers alone.
  for (std::size_t n = 0; n < hello.size(); ++n) {
    ASSERT_EQ(ScanClientHello(std::string_view(hello).substr(0, n)), hvNeedMore) << n;
    ASSERT_EQ(ScanClientHelloStart(std::string_view(hello).substr(0, n)), n < 9 ? hvNeedMore : hvClientHello) << n;
  }
  // Whatever follows it does not change the verdict.
  TClientHello again;
  ASSERT_EQ(ScanClientHello(hello + "GET / HTTP/1.1\r\n", &again), hvClientHello);
  EXPECT_EQ(again.Length, hello.size());
  EXPECT_EQ(again.Extensions, h.Extensions);
}

INSTANTIATE_TEST_SUITE_P(
    OpenSsl, TlsRealHello,
    testing::Values(THelloCase{"Tls13WithSniAndAlpn", {"-servername", "api.example", "-alpn", "h2,http/1.1"}, "api.example",
                               {"h2", "http/1.1"}, 0x0301},
                    THelloCase{"Tls12", {"-tls1_2", "-servername", "mail.example"}, "mail.example", {}, 0x0301},
                    THelloCase{"NoSni", {"-noservername"}, "", {}, 0x0301},
                    THelloCase{"OneProtocol", {"-noservername", "-alpn", "imap"}, "", {"imap"}, 0x0301}),
    [](const testing::TestParamInfo<THelloCase>& i) { return std::string(i.param.Name); });

// The hello cut into records of RecordSize bytes, as some clients and middleboxes send it.
std::string Fragmented(const std::string& Hello, std::size_t RecordSize) {
  const std::string body = Hello.substr(5);
  std::string out;
  for (std::size_t at = 0; at < body.size(); at += RecordSize) {
    const std::size_t n = std::min(RecordSize, body.size() - at);
    out += std::string("\x16\x03\x01", 3) + static_cast<char>(n >> 8) + static_cast<char>(n & 0xFF) + body.substr(at, n);
  }
  return out;
}

TEST(TlsHello, SplitOverRecordsIsJoined) {
  const std::string hello = CaptureHello({"-servername", "split.example", "-alpn", "h2"});
  ASSERT_EQ(ScanClientHello(hello), hvClientHello);
  for (std::size_t size : {1u, 2u, 3u, 7u, 100u}) {
    const std::string split = Fragmented(hello, size);
    TClientHello h;
    ASSERT_EQ(ScanClientHello(split + "tail", &h), hvClientHello) << size;
    EXPECT_EQ(h.Length, split.size());
    EXPECT_EQ(h.Records, (hello.size() - 5 + size - 1) / size);
    EXPECT_EQ(h.ServerName, "split.example");
    EXPECT_EQ(h.Alpn, std::vector<std::string>{"h2"});
    EXPECT_EQ(ScanClientHello(split.substr(0, split.size() - 1)), hvNeedMore) << size;
  }
}

TEST(TlsHello, OtherProtocolsAreNotTlsFromTheirFirstBytes) {
  const std::vector<std::pair<std::string, std::size_t>> cases = {
      {"GET / HTTP/1.1\r\n", 1},
      {"EHLO client\r\n", 1},
      {std::string("\x80\x2e\x01\x00\x02", 5), 1},          // an SSL 2 hello
      {std::string("\x15\x03\x03\x00\x02\x02\x28", 7), 1},  // an alert record
      {std::string("\x16\x02\x00", 3), 2},                  // version 2.x
      {std::string("\x16\x03\x05", 3), 3},                  // version 3.5
      {std::string("\x16\x03\x01\x00\x00", 5), 5},          // an empty record
      {std::string("\x16\x03\x01\x40\x01", 5), 5},          // a record of 16385 bytes
      {std::string("\x16\x03\x01\x00\x30\x02", 6), 6},      // a ServerHello
      {std::string("\x16\x03\x01\x00\x30\x01\x00\x00\x28", 9), 9},  // a hello of 40 bytes: too short for its fields
      {std::string("\x16\x03\x01\x00\x30\x01\x01\x00\x01", 9), 9},  // a hello of 65537 bytes
  };
  for (const auto& [bytes, decisive] : cases) {
    for (std::size_t n = 0; n < decisive; ++n) {
      EXPECT_EQ(ScanClientHello(bytes.substr(0, n)), hvNeedMore) << testing::PrintToString(bytes) << " at " << n;
      EXPECT_EQ(ScanClientHelloStart(bytes.substr(0, n)), hvNeedMore) << testing::PrintToString(bytes) << " at " << n;
    }
    EXPECT_EQ(ScanClientHello(bytes.substr(0, decisive)), hvNotTls) << testing::PrintToString(bytes);
    EXPECT_EQ(ScanClientHelloStart(bytes.substr(0, decisive)), hvNotTls) << testing::PrintToString(bytes);
    EXPECT_EQ(ScanClientHello(bytes + std::string(100, 'x')), hvNotTls) << testing::PrintToString(bytes);
  }
}

// A hello built field by field, with Extensions (type, data) after the fixed part.
std::string BuildHello(const std::vector<std::pair<std::uint16_t, std::string>>& Extensions, bool WithExtensionBlock = true) {
  auto u16 = [](std::size_t v) { return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; };
  std::string body = std::string("\x03\x03", 2) + std::string(32, 'r') + std::string("\x00", 1) + u16(2) +
                     std::string("\x13\x01", 2) + std::string("\x01\x00", 2);
  if (WithExtensionBlock) {
    std::string ext;
    for (const auto& [type, data] : Extensions) ext += u16(type) + u16(data.size()) + data;
    body += u16(ext.size()) + ext;
  }
  std::string hs = std::string("\x01\x00", 2) + u16(body.size()) + body;
  return std::string("\x16\x03\x01", 3) + u16(hs.size()) + hs;
}

std::string SniData(const std::vector<std::pair<char, std::string>>& Entries) {
  auto u16 = [](std::size_t v) { return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; };
  std::string list;
  for (const auto& [type, name] : Entries) list += std::string(1, type) + u16(name.size()) + name;
  return u16(list.size()) + list;
}

TEST(TlsHello, FieldsThatDoNotFitAreNotTls) {
  TClientHello h;
  EXPECT_EQ(ScanClientHello(BuildHello({}, false), &h), hvClientHello);  // no extensions at all
  EXPECT_FALSE(h.HasServerName);
  EXPECT_EQ(ScanClientHello(BuildHello({{0, SniData({{1, "other"}, {0, "first"}, {0, "second"}})}}), &h), hvClientHello);
  EXPECT_EQ(h.ServerName, "first");
  EXPECT_EQ(ScanClientHello(BuildHello({{0, SniData({{0, std::string("a\0b", 3)}})}}), &h), hvClientHello);
  EXPECT_EQ(h.ServerName, std::string("a\0b", 3));  // as sent: the caller judges the name

  EXPECT_EQ(ScanClientHello(BuildHello({{0, SniData({{0, "a"}})}, {0, SniData({{0, "b"}})}})), hvNotTls);  // twice
  EXPECT_EQ(ScanClientHello(BuildHello({{0, SniData({{0, ""}})}})), hvNotTls);                      // empty name
  EXPECT_EQ(ScanClientHello(BuildHello({{0, std::string("\x00\x00", 2)}})), hvNotTls);              // empty list
  EXPECT_EQ(ScanClientHello(BuildHello({{0, SniData({{0, "name"}}) + "x"}})), hvNotTls);            // bytes past the list
  EXPECT_EQ(ScanClientHello(BuildHello({{16, std::string("\x00\x04\x02h2", 5)}})), hvNotTls);       // list past the data
  EXPECT_EQ(ScanClientHello(BuildHello({{16, std::string("\x00\x01\x00", 3)}})), hvNotTls);         // empty protocol
  EXPECT_EQ(ScanClientHello(BuildHello({{16, std::string("\x00\x04\x03h2", 5)}})), hvNotTls);       // name past the list
  EXPECT_EQ(ScanClientHello(BuildHello({{16, std::string("\x00\x06\x02h2\x03xyz", 9)}}), &h), hvNotTls);  // short by one
  EXPECT_EQ(ScanClientHello(BuildHello({{16, std::string("\x00\x08\x02h2\x04spdy", 10)}}), &h), hvClientHello);
  EXPECT_EQ(h.Alpn, (std::vector<std::string>{"h2", "spdy"}));

  std::string hello = BuildHello({{0, SniData({{0, "x"}})}});
  hello[hello.size() - 1 - 3 - 3] = '\x05';  // the SNI entry's length past its data
  EXPECT_EQ(ScanClientHello(hello), hvNotTls);
  std::string noSuites = BuildHello({});
  noSuites[5 + 4 + 2 + 32 + 1 + 1] = 0;  // cipher suites of length 0 ... with the fields behind shifted
  EXPECT_EQ(ScanClientHello(noSuites), hvNotTls);
}

}  // namespace
