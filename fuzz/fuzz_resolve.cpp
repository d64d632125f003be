// Address and port texts: IsDottedAddress, ParseLeadingNumber and WSocketResolvePort on texts that
// start with a digit, each against a reference below that works on whole tokens (split at dots,
// digit runs taken as numbers of any length) instead of scanning character by character. IPv6
// literals: what ParseIPv6Literal takes, with and without brackets, and the text SockAddrText
// writes for it, which must read back as the same address (dotted for a mapped IPv4 address).
//
// Input: one flag byte, then the text. With the flag's low bit set the text's bytes are mapped
// onto digits, dots and blanks, so that near-addresses ("1.2.3", "256.1.1.1", "1..2.3") come up
// often; with bit 3 set (and bit 0 clear) onto the characters of IPv6 literals; otherwise the
// bytes are used as they are. Bits 1 and 2 pick the protocol text given to WSocketResolvePort.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/SocketException.h"
#include "net/WSocketResolve.h"

namespace {

[[noreturn]] void Fail(const char* What, const std::string& Text) {
  std::fprintf(stderr, "fuzz_resolve: %s for text of %zu bytes:", What, Text.size());
  for (unsigned char c : Text) std::fprintf(stderr, " %02X", c);
  std::fprintf(stderr, "\n");
  std::abort();
}

bool IsDigit(char C) { return C >= '0' && C <= '9'; }

// The decimal value of a run of digits of any length, modulo 2^32: nine digits at a time, each
// step v * 10^k + chunk, so that the value is taken apart differently from a digit-by-digit scan.
std::uint32_t DigitsModulo32(const std::string& Digits) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < Digits.size(); i += 9) {
    const std::string chunk = Digits.substr(i, 9);
    std::uint64_t scale = 1;
    for (std::size_t k = 0; k < chunk.size(); ++k) scale *= 10;
    v = (v * scale + std::stoull(chunk)) & 0xFFFFFFFFull;
  }
  return static_cast<std::uint32_t>(v);
}

std::int32_t RefLeadingNumber(const std::string& Text) {
  std::size_t start = Text.find_first_not_of(' ');
  if (start == std::string::npos) return 0;
  std::size_t end = start;
  while (end < Text.size() && IsDigit(Text[end])) ++end;
  if (end == start) return 0;
  return static_cast<std::int32_t>(DigitsModulo32(Text.substr(start, end - start)));
}

// A group is a non-empty run of digits whose value, leading zeros aside, is at most 255.
bool RefGroupInRange(const std::string& Group) {
  if (Group.empty()) return false;
  const std::size_t first = Group.find_first_not_of('0');
  if (first == std::string::npos) return true;
  const std::string significant = Group.substr(first);
  return significant.size() < 3 || (significant.size() == 3 && significant <= "255");
}

// Blanks (0x20 only), then digits and dots forming exactly four groups, then blanks only.
bool RefDotted(const std::string& Text) {
  const std::size_t start = Text.find_first_not_of(' ');
  if (start == std::string::npos) return false;
  const std::size_t end = Text.find_first_not_of("0123456789.", start);
  if (end != std::string::npos && Text.find_first_not_of(' ', end) != std::string::npos) return false;
  const std::string head = Text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  std::vector<std::string> groups(1);
  for (char c : head) {
    if (c == '.')
      groups.emplace_back();
    else
      groups.back() += c;
  }
  if (groups.size() != 4) return false;
  for (const auto& g : groups)
    if (!RefGroupInRange(g)) return false;
  return true;
}

// What WSocketResolvePort gives for a port text that starts with a digit: the length checks come
// first (port, then protocol), then the number the leading digits make.
struct TPortOutcome {
  bool Refused = false;
  std::string Message;
  std::int32_t Value = 0;
};

TPortOutcome RefResolvePort(const std::string& Port, const std::string& Proto) {
  if (Port.empty() || Port.size() >= 32) return {true, "WSocketResolvePort: Invalid Port.", 0};
  if (Proto.empty() || Proto.size() >= 32) return {true, "WSocketResolvePort: Invalid Proto.", 0};
  return {false, "", RefLeadingNumber(Port)};
}

TPortOutcome RealResolvePort(const std::string& Port, const std::string& Proto) {
  try {
    return {false, "", WSocketResolvePort(Port, Proto)};
  } catch (const ESocketException& E) {
    return {true, E.Message(), 0};
  }
}

// What any accepted IPv6 literal must satisfy. Returns the broken rule, or null.
const char* CheckIPv6Literal(const std::string& Text) {
  platform::TSockAddrIn6 a;
  const bool taken = ParseIPv6Literal(Text, a);
  // Brackets around a text change nothing; a text already in brackets is not taken twice.
  platform::TSockAddrIn6 b;
  if (Text.size() < 300 && (Text.empty() || Text.front() != '[') &&
      ParseIPv6Literal("[" + Text + "]", b) != taken)
    return "brackets change whether the text is taken";
  if (!taken) return nullptr;
  if (a.sin6_family != platform::WS_AF_INET6 || a.sin6_port != 0) return "family or port not set";
  // Before any zone: only hexadecimal digits, colons and dots (an IPv4 tail), at least one colon.
  std::string body = Text;
  if (body.front() == '[') body = body.substr(1, body.size() - 2);
  const std::string address = body.substr(0, body.find('%'));
  if (address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos) return "stray character taken";
  if (address.find(':') == std::string::npos) return "no colon";
  if (body.find('%') == std::string::npos && a.sin6_scope_id != 0) return "scope id without a zone";

  const std::string written = SockAddrText(ToSockAddrStorage(a));
  static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(a.sin6_addr, kMapped, sizeof kMapped) == 0) {
    // An IPv4 address seen through IPv6 is written dotted, as the IPv4 paths write it.
    if (!IsDottedAddress(written)) return "mapped address not written dotted";
    std::uint32_t v4 = 0;
    if (platform::inet_pton(platform::WS_AF_INET, written.c_str(), &v4) != 1 ||
        std::memcmp(&v4, a.sin6_addr + 12, 4) != 0)
      return "dotted text of a mapped address names another address";
    return nullptr;
  }
  platform::TSockAddrIn6 again;
  if (!ParseIPv6Literal(written, again)) return "written text is not taken back";
  if (std::memcmp(again.sin6_addr, a.sin6_addr, 16) != 0 || again.sin6_scope_id != a.sin6_scope_id)
    return "written text names another address";
  if (written.find_first_of("ABCDEF[]") != std::string::npos) return "written text not in the compressed lower-case form";
  if (written.find("::") != written.rfind("::")) return "written text compresses twice";
  return nullptr;
}

std::string ProtoFor(unsigned Choice) {
  switch (Choice % 4) {
    case 0: return "tcp";
    case 1: return "";
    case 2: return std::string(31, 'u');  // the longest accepted
    default: return std::string(32, 'u');  // one too long
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  FuzzedDataProvider in(Data, Size);
  const auto flags = in.ConsumeIntegral<std::uint8_t>();
  std::string text = in.ConsumeRemainingBytesAsString();
  if (flags & 1) {
    static const char kAlphabet[] = "0123456789.. 25";
    for (char& c : text) c = kAlphabet[static_cast<unsigned char>(c) % 16];
  } else if (flags & 8) {
    static const char kAlphabet[] = "0123456789abcdefABF:::::..%[]lo1ff";
    for (char& c : text) c = kAlphabet[static_cast<unsigned char>(c) % (sizeof kAlphabet - 1)];
  }
  if (const char* broken = CheckIPv6Literal(text)) Fail(broken, text);

  if (IsDottedAddress(text) != RefDotted(text)) Fail("IsDottedAddress differs", text);
  if (ParseLeadingNumber(text) != RefLeadingNumber(text)) Fail("ParseLeadingNumber differs", text);

  // Port texts that start with a digit never reach the services database.
  const std::string port = text.empty() || !IsDigit(text[0]) ? "8" + text : text;
  const std::string proto = ProtoFor(flags >> 1);
  const TPortOutcome want = RefResolvePort(port, proto);
  const TPortOutcome got = RealResolvePort(port, proto);
  if (want.Refused != got.Refused || want.Message != got.Message || want.Value != got.Value)
    Fail("WSocketResolvePort differs", port);
  return 0;
}
