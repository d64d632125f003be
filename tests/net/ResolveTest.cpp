// Address, port and protocol texts to numbers: what counts as a dotted address, where a number
// stops, which texts reach the system's lookups, and the exact failure messages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/SocketException.h"
#include "net/WSocketResolve.h"

namespace {

template <class F>
std::string MessageOf(F&& Call) {
  try {
    Call();
  } catch (const ESocketException& E) {
    return E.Message();
  }
  return "(no exception)";
}

// The lookup's error code is the system's; the text around it is ours.
void ExpectCodeMessage(const std::string& Message, const std::string& Prefix) {
  ASSERT_EQ(Message.compare(0, Prefix.size(), Prefix), 0) << Message;
  const std::string Code = Message.substr(Prefix.size());
  EXPECT_FALSE(Code.empty()) << Message;
  EXPECT_EQ(Code.find_first_not_of("0123456789"), std::string::npos) << Message;
}

std::uint32_t NetAddr(unsigned char A, unsigned char B, unsigned char C, unsigned char D) {
  const unsigned char Bytes[4] = {A, B, C, D};
  std::uint32_t Addr;
  std::memcpy(&Addr, Bytes, 4);
  return Addr;
}

TEST(ResolveTest, TrimRemovesControlBytesButKeepsHighBytes) {
  const std::pair<std::string, std::string> Cases[] = {
      {"  a b\t\r\n", "a b"}, {std::string("\0\x01x\x20", 4), "x"}, {"\xE9x\xA0", "\xE9x\xA0"},
      {"", ""},               {" \t ", ""}};
  for (const auto& [In, Out] : Cases) EXPECT_EQ(TrimBlanks(In), Out) << In;
}

TEST(ResolveTest, LeadingNumberStopsAtFirstNonDigitAndWrapsIn32Bits) {
  const std::pair<const char*, std::int32_t> Cases[] = {
      {"80abc", 80},        {"  42", 42},       {"\t42", 0},     {"abc", 0}, {"", 0},
      {"4294967296", 0},    {"4294967297", 1},  {"2147483648", INT32_MIN}, {"007", 7}};
  for (const auto& [In, Out] : Cases) EXPECT_EQ(ParseLeadingNumber(In), Out) << In;
}

TEST(ResolveTest, DottedAddressNeedsFourGroupsOfAtMost255) {
  const std::pair<const char*, bool> Cases[] = {
      {"1.2.3.4", true},         {"  10.0.0.1  ", true},  {"001.002.003.004", true},
      {"255.255.255.255", true}, {"1.2.3", false},        {"1.2.3.4.5", false},
      {"256.1.1.1", false},      {"1..2.3", false},       {".1.2.3", false},
      {"1.2.3.", false},         {"1.2.3.4x", false},     {"1.2.3.4 x", false},
      {"1.2.3.256", false},      {"\t1.2.3.4", false},    {"", false},
      // a group long enough to wrap a 32-bit counter back to a small value
      {"1.2.3.4294967297", false}};
  for (const auto& [In, Out] : Cases) EXPECT_EQ(IsDottedAddress(In), Out) << In;
}

TEST(ResolveTest, HostTextsToAddresses) {
  EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(WSocketResolveHost(" 127.0.0.1 "), NetAddr(127, 0, 0, 1));
  EXPECT_EQ(WSocketResolveHost("10.1.2.3"), NetAddr(10, 1, 2, 3));
  EXPECT_EQ(WSocketResolveHost("localhost"), NetAddr(127, 0, 0, 1));
}

TEST(ResolveTest, InvalidHostTextsAreRefusedWithTheirMessage) {
  const std::string Long(257, 'a');
  EXPECT_EQ(MessageOf([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
  EXPECT_EQ(MessageOf([&] { WSocketResolveHost(Long); }),
            "WSocketResolveHost: '" + Long + "' Invalid Hostname.");
  // Dotted, but 08 is no octal number: refused, not looked up as a name.
  EXPECT_EQ(MessageOf([] { WSocketResolveHost("1.2.3.08"); }),
            "WSocketResolveHost: '1.2.3.08' Invalid IP address.");
  // A zero byte would cut the name short in the system lookup.
  const std::string WithZero("local\0host", 10);
  EXPECT_EQ(MessageOf([&] { WSocketResolveHost(WithZero); }),
            "WSocketResolveHost: '" + WithZero + "' Invalid Hostname.");
}

TEST(ResolveTest, NamesThatAreNotDottedGoToTheNameLookup) {
  // Not dotted: the last group is above 255, so this is a name, and no such name exists.
  ExpectCodeMessage(MessageOf([] { WSocketResolveHost("1.2.3.256"); }),
                    "WSocketResolveHost: Cannot convert host address '1.2.3.256', Error #");
  ExpectCodeMessage(MessageOf([] { WSocketResolveHost("example.invalid"); }),
                    "WSocketResolveHost: Cannot convert host address 'example.invalid', Error #");
}

TEST(ResolveTest, PortTextsToNumbers) {
  EXPECT_EQ(WSocketResolvePort("80abc", "tcp"), 80);
  EXPECT_EQ(WSocketResolvePort("http", "tcp"), 80);
  EXPECT_EQ(WSocketResolvePort(" http ", " tcp "), 80);
  EXPECT_EQ(WSocketResolvePort("70000", "tcp"), 70000);  // callers keep the low 16 bits
  EXPECT_EQ(WSocketResolvePort(std::string(29, '0') + "80", "udp"), 80);  // 31 characters
  EXPECT_EQ(WSocketResolvePort("0", "tcp"), 0);
}

TEST(ResolveTest, InvalidPortTextsAreRefusedWithTheirMessage) {
  const std::pair<std::string, std::string> Invalid[] = {
      {"", "WSocketResolvePort: Invalid Port."},
      {std::string(32, '1'), "WSocketResolvePort: Invalid Port."},
      {std::string("ht\0tp", 5), "WSocketResolvePort: Invalid Port."}};
  for (const auto& [Port, Message] : Invalid) {
    EXPECT_EQ(MessageOf([&] { WSocketResolvePort(Port, "tcp"); }), Message) << Port;
  }
  EXPECT_EQ(MessageOf([] { WSocketResolvePort("80", ""); }), "WSocketResolvePort: Invalid Proto.");
  EXPECT_EQ(MessageOf([] { WSocketResolvePort("80", std::string(32, 't')); }),
            "WSocketResolvePort: Invalid Proto.");
  ExpectCodeMessage(MessageOf([] { WSocketResolvePort(" nosuchservice", "tcp"); }),
                    "WSocketResolvePort: Cannot convert port ' nosuchservice', Error #");
}

TEST(ResolveTest, ProtocolTextsToNumbers) {
  const std::pair<const char*, std::int32_t> Cases[] = {
      {"tcp", 6}, {"udp", 17}, {"17", 17}, {" udp ", 17}, {" 6x", 6}};
  for (const auto& [In, Out] : Cases) EXPECT_EQ(WSocketResolveProto(In), Out) << In;

  EXPECT_EQ(MessageOf([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
  EXPECT_EQ(MessageOf([] { WSocketResolveProto(std::string(32, 'u')); }),
            "WSocketResolveProto: Invalid Protocol.");
  ExpectCodeMessage(MessageOf([] { WSocketResolveProto(" nosuchproto "); }),
                    "WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #");
}

}  // namespace
