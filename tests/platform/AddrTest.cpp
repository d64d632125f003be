// Address texts and byte order: which texts inet_addr takes for an address (a wrong "yes" makes a
// lookup connect somewhere nobody typed, a wrong "no" sends an address to the name resolver), the
// all-ones value that is both a failure and 255.255.255.255, and the byte order of every result.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "platform/Winsock.h"

namespace {

std::uint32_t Net(std::array<unsigned char, 4> bytes) {
  std::uint32_t v;
  std::memcpy(&v, bytes.data(), 4);
  return v;
}

struct Accepted {
  const char* text;
  std::array<unsigned char, 4> bytes;
};

TEST(AddrTest, InetAddrReadsTheClassicFormsInNetworkOrder) {
  const Accepted table[] = {
      {"127.0.0.1", {127, 0, 0, 1}},
      {"192.168.10.254", {192, 168, 10, 254}},
      {"0.0.0.0", {0, 0, 0, 0}},
      {"001.002.003.004", {1, 2, 3, 4}},  // leading zeros: octal, same digits
      {"010.0.0.1", {8, 0, 0, 1}},
      {"0x7f.0.0.1", {127, 0, 0, 1}},
      {"127.1", {127, 0, 0, 1}},          // the last part fills the remaining bytes
      {"10.1.65535", {10, 1, 255, 255}},
      {"10.16777215", {10, 255, 255, 255}},
      {"1", {0, 0, 0, 1}},
      {"4294967294", {255, 255, 255, 254}},
      {"10.0.0.1 ", {10, 0, 0, 1}},       // trailing white space only
      {"10.0.0.1\t\r\n", {10, 0, 0, 1}},
  };
  for (const Accepted& row : table)
    EXPECT_EQ(platform::inet_addr(row.text), Net(row.bytes)) << '"' << row.text << '"';
}

TEST(AddrTest, InetAddrRejectsTextThatIsNotAnAddress) {
  const char* table[] = {
      "",           " 10.0.0.1",  "10.0.0.1x",   "10.0.0.1 x",   "10.0.0.1 .example",
      "256.1.1.1",  "1.256.1.1",  "1.2.3.256",   "1.2.65536",    "1.16777216",
      "4294967296", "1..2.3",     ".1.2.3",      "1.2.3.",       "1.2.3.4.5",
      "08.1.1.1",   "0x",         "0x.1.1.1",    "-1.2.3.4",     "+1.2.3.4",
      "1. 2.3.4",   "localhost",  "example.com", "99999999999999999999",
  };
  for (const char* text : table)
    EXPECT_EQ(platform::inet_addr(text), platform::WS_INADDR_NONE) << '"' << text << '"';
  EXPECT_EQ(platform::inet_addr(nullptr), platform::WS_INADDR_NONE);
}

TEST(AddrTest, AllOnesAddressReadsAsTheFailureValue) {
  EXPECT_EQ(platform::WS_INADDR_NONE, 0xFFFFFFFFu);
  EXPECT_EQ(platform::inet_addr("255.255.255.255"), platform::WS_INADDR_NONE);
  EXPECT_EQ(platform::inet_addr("0xffffffff"), platform::WS_INADDR_NONE);
  EXPECT_EQ(platform::inet_addr("255.255.255.254"), Net({255, 255, 255, 254}));
}

TEST(AddrTest, InetNtoaWritesTheBytesInNetworkOrder) {
  EXPECT_STREQ(platform::inet_ntoa(Net({192, 168, 0, 1})), "192.168.0.1");
  EXPECT_STREQ(platform::inet_ntoa(Net({0, 0, 0, 0})), "0.0.0.0");
  EXPECT_STREQ(platform::inet_ntoa(Net({255, 255, 255, 255})), "255.255.255.255");
  // The normal form of a short or octal text, as the local-address setter relies on.
  EXPECT_STREQ(platform::inet_ntoa(platform::inet_addr("127.1")), "127.0.0.1");
  EXPECT_STREQ(platform::inet_ntoa(platform::inet_addr("010.000.000.001")), "8.0.0.1");
}

// Every byte value in every place, one, two and three digits, no leading zeros: the text reads
// back as the same address.
TEST(AddrTest, InetNtoaWritesEveryByteValueInEveryPlace) {
  for (unsigned v = 0; v < 256; ++v) {
    const auto b = static_cast<std::uint8_t>(v);
    const std::uint8_t w = static_cast<std::uint8_t>(255 - v);
    const std::string expected = std::to_string(v) + "." + std::to_string(255 - v) + ".7." + std::to_string(v);
    const char* text = platform::inet_ntoa(Net({b, w, 7, b}));
    ASSERT_STREQ(text, expected.c_str());
    EXPECT_EQ(platform::inet_addr(text), Net({b, w, 7, b}));
  }
}

TEST(AddrTest, PortByteOrderPutsTheHighByteFirst) {
  std::uint16_t net = platform::htons(0x1F90);  // 8080
  unsigned char bytes[2];
  std::memcpy(bytes, &net, 2);
  EXPECT_EQ(bytes[0], 0x1F);
  EXPECT_EQ(bytes[1], 0x90);
  EXPECT_EQ(platform::ntohs(net), 0x1F90);
  EXPECT_EQ(platform::ntohs(platform::htons(65535)), 65535);
}

}  // namespace
