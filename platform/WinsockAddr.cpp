// Address texts and byte order: inet_addr, inet_ntoa, inet_pton, inet_ntop, if_nametoindex,
// htons, ntohs.
//
// inet_addr is parsed here rather than handed to the C library so that what counts as an address
// does not move with the C library's version. It reads the forms that Windows Sockets reads,
// the short and numeric ones included: "a.b.c.d", "a.b.c" (c fills the last 16 bits), "a.b" (b fills the last 24 bits) and "a"
// (all 32 bits), each part decimal, octal with a leading 0, or hexadecimal with 0x. Two choices
// are stricter than the C library's inet_addr and must stay so:
// - after the address only white space may follow; "1.2.3.4 x" is rejected, because taking it for
//   1.2.3.4 would make a lookup of a mistyped name connect to an address nobody asked for;
// - every part begins with a digit: no blanks, signs or empty parts between the dots.
// INADDR_NONE is both the result for rejected text and the value of "255.255.255.255"; callers
// that must tell them apart compare the text.
//
// inet_pton and inet_ntop are the C library's: their forms are fixed by the IPv6 addressing
// architecture (RFC 4291 text, RFC 5952 compression), so they do not move with its version.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#undef htons
#undef ntohs

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/Winsock.h"
#include "platform/WinsockErrors.h"

namespace platform {
namespace {

constexpr std::uint32_t Swap32(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}
constexpr std::uint16_t Swap16(std::uint16_t v) {
  return static_cast<std::uint16_t>((v >> 8) | (v << 8));
}

constexpr std::uint32_t HostToNet32(std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) return Swap32(v);
  return v;
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int DigitValue(char c, int base) {
  int d = -1;
  if (c >= '0' && c <= '9') d = c - '0';
  else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
  return d < base ? d : -1;
}

// One part of an address: a number in C notation that fits 32 bits. Advances P past it.
bool ParsePart(const char*& p, std::uint32_t& value) {
  if (!IsDigit(*p)) return false;
  int base = 10;
  if (*p == '0') {
    base = 8;
    ++p;
    if (*p == 'x' || *p == 'X') {
      base = 16;
      ++p;
      if (DigitValue(*p, 16) < 0) return false;  // "0x" alone is no number
    }
  }
  std::uint64_t v = 0;
  for (int d; (d = DigitValue(*p, base)) >= 0; ++p) {
    v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  if (IsDigit(*p)) return false;  // 8 or 9 in an octal part
  value = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

std::uint32_t inet_addr(const char* Cp) {
  if (Cp == nullptr) return WS_INADDR_NONE;
  std::uint32_t parts[4];
  int count = 0;
  const char* p = Cp;
  for (;;) {
    if (!ParsePart(p, parts[count])) return WS_INADDR_NONE;
    ++count;
    if (*p != '.') break;
    if (count == 4) return WS_INADDR_NONE;
    ++p;
  }
  while (IsSpace(*p)) ++p;
  if (*p != '\0') return WS_INADDR_NONE;

  // The last part fills the bytes that the earlier ones leave.
  std::uint32_t host = parts[count - 1];
  if (host > (0xFFFFFFFFu >> (8 * (count - 1)))) return WS_INADDR_NONE;
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 0xFF) return WS_INADDR_NONE;
    host |= parts[i] << (24 - 8 * i);
  }
  return HostToNet32(host);
}

// Written digit by digit: every accepted session's peer and every connect's address pass through
// here, and a formatted print costs many times more.
char* inet_ntoa(std::uint32_t In) {
  thread_local char text[16];
  unsigned char b[4];
  std::memcpy(b, &In, 4);
  char* out = text;
  for (int i = 0; i < 4; ++i) {
    const unsigned v = b[i];
    if (v >= 100) *out++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *out++ = static_cast<char>('0' + v / 10 % 10);
    *out++ = static_cast<char>('0' + v % 10);
    *out++ = i < 3 ? '.' : '\0';
  }
  return text;
}

namespace {

// The POSIX family of a Windows Sockets one; -1 for the families that have no text form here.
int PosixFamily(int Family) {
  if (Family == WS_AF_INET) return AF_INET;
  if (Family == WS_AF_INET6) return AF_INET6;
  return -1;
}

}  // namespace

int inet_pton(int Family, const char* Text, void* Addr) {
  const int family = PosixFamily(Family);
  if (family < 0) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return -1;
  }
  if (Text == nullptr || Addr == nullptr) {
    WSASetLastError(WSAEFAULT);
    return -1;
  }
  return ::inet_pton(family, Text, Addr) == 1 ? 1 : 0;
}

const char* inet_ntop(int Family, const void* Addr, char* Buf, std::size_t BufLen) {
  const int family = PosixFamily(Family);
  if (family < 0) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return nullptr;
  }
  if (Addr == nullptr || Buf == nullptr) {
    WSASetLastError(WSAEFAULT);
    return nullptr;
  }
  if (::inet_ntop(family, Addr, Buf, static_cast<socklen_t>(BufLen)) == nullptr) {
    WSASetLastError(WSAEINVAL);  // ENOSPC: the buffer is too small for the text
    return nullptr;
  }
  return Buf;
}

std::uint32_t if_nametoindex(const char* Name) {
  if (Name == nullptr) return 0;
  return ::if_nametoindex(Name);
}

std::uint16_t htons(std::uint16_t HostShort) {
  if constexpr (std::endian::native == std::endian::little) return Swap16(HostShort);
  return HostShort;
}

std::uint16_t ntohs(std::uint16_t NetShort) { return htons(NetShort); }

}  // namespace platform
