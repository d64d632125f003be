// Internal. Resolution of address, port and protocol texts.
#include "net/WSocketResolve.h"

#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "net/SocketException.h"
#include "net/WinsockBinding.h"

namespace {

constexpr std::size_t kMaxHostLen = 256;
constexpr std::size_t kMaxNameLen = 32;  // ports and protocols: this long or longer is refused

bool IsDigit(char C) { return C >= '0' && C <= '9'; }
bool IsBlank(char C) { return static_cast<unsigned char>(C) <= 0x20; }

// The C lookups stop at a zero byte: a text with one inside would be looked up under its first
// part, so such texts are refused instead.
bool HasZeroByte(const std::string& Text) { return Text.find('\0') != std::string::npos; }

std::string Quoted(const std::string& Prefix, const std::string& Text, int Error) {
  return Prefix + " '" + Text + "', Error #" + std::to_string(Error);
}

}  // namespace

std::string TrimBlanks(const std::string& Text) {
  std::size_t First = 0;
  std::size_t Last = Text.size();
  while (First < Last && IsBlank(Text[First])) ++First;
  while (Last > First && IsBlank(Text[Last - 1])) --Last;
  return Text.substr(First, Last - First);
}

std::int32_t ParseLeadingNumber(const std::string& Text) {
  std::size_t I = 0;
  while (I < Text.size() && Text[I] == ' ') ++I;
  std::uint32_t Value = 0;
  for (; I < Text.size() && IsDigit(Text[I]); ++I) {
    Value = Value * 10u + static_cast<std::uint32_t>(Text[I] - '0');
  }
  return static_cast<std::int32_t>(Value);
}

bool IsDottedAddress(const std::string& Text) {
  // A group only has to be known up to "above 255"; it saturates there, so that a long run of
  // digits cannot wrap back into range and pass.
  constexpr std::uint32_t kTooBig = 256;
  const std::size_t Len = Text.size();
  std::size_t I = 0;
  while (I < Len && Text[I] == ' ') ++I;
  if (I < Len && Text[I] == '.') return false;
  int Dots = 0;
  std::uint32_t Group = 0;
  for (; I < Len; ++I) {
    const char C = Text[I];
    if (C == '.') {
      ++Dots;
      if (Dots > 3 || Group > 255 || I + 1 >= Len || !IsDigit(Text[I + 1])) return false;
      Group = 0;
    } else if (IsDigit(C)) {
      Group = Group * 10u + static_cast<std::uint32_t>(C - '0');
      if (Group > kTooBig) Group = kTooBig;
    } else {
      while (I < Len && Text[I] == ' ') ++I;
      if (I < Len) return false;
      break;
    }
  }
  return Dots == 3 && Group <= 255;
}

std::uint32_t WSocketResolveHost(const std::string& Host) {
  const std::string Trimmed = TrimBlanks(Host);
  if (Host.empty() || Host.size() > kMaxHostLen || HasZeroByte(Trimmed)) {
    throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid Hostname.");
  }
  // The trimmed text is at most 256 bytes and holds no zero byte, so it is its own C string.
  const char* Name = Trimmed.c_str();
  if (IsDottedAddress(Host)) {
    const std::uint32_t Addr = winsock::inet_addr(Name);
    if (Addr == platform::WS_INADDR_NONE && Trimmed != "255.255.255.255") {
      throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid IP address.");
    }
    return Addr;
  }
  const winsock::THostEnt* Entry = winsock::gethostbyname(Name);
  if (Entry == nullptr || Entry->h_addr_list == nullptr || Entry->h_addr_list[0] == nullptr) {
    throw ESocketException(Quoted("WSocketResolveHost: Cannot convert host address", Host,
                                  winsock::WSAGetLastError()));
  }
  std::uint32_t Addr = 0;
  std::memcpy(&Addr, Entry->h_addr_list[0], sizeof Addr);  // stays in network order
  return Addr;
}

std::int32_t WSocketResolvePort(const std::string& Port, const std::string& Proto) {
  if (Port.empty() || Port.size() >= kMaxNameLen) {
    throw ESocketException("WSocketResolvePort: Invalid Port.");
  }
  if (Proto.empty() || Proto.size() >= kMaxNameLen) {
    throw ESocketException("WSocketResolvePort: Invalid Proto.");
  }
  if (IsDigit(Port[0])) return ParseLeadingNumber(Port);

  const std::string Service = TrimBlanks(Port);
  const std::string Protocol = TrimBlanks(Proto);
  if (HasZeroByte(Service)) throw ESocketException("WSocketResolvePort: Invalid Port.");
  if (HasZeroByte(Protocol)) throw ESocketException("WSocketResolvePort: Invalid Proto.");
  const winsock::TServEnt* Entry = winsock::getservbyname(
      Service.c_str(), Protocol.empty() ? nullptr : Protocol.c_str());
  if (Entry == nullptr) {
    throw ESocketException(Quoted("WSocketResolvePort: Cannot convert port", Port,
                                  winsock::WSAGetLastError()));
  }
  return winsock::ntohs(static_cast<std::uint16_t>(Entry->s_port));
}

std::int32_t WSocketResolveProto(const std::string& Proto) {
  if (Proto.empty() || Proto.size() >= kMaxNameLen) {
    throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  }
  const std::string Name = TrimBlanks(Proto);
  if (!Name.empty() && IsDigit(Name[0])) return ParseLeadingNumber(Name);
  if (HasZeroByte(Name)) throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  // Every Connect resolves its protocol, and the database is a file that the C library opens and
  // reads at each lookup: names found once are remembered (a thread's own, as the lookups are).
  thread_local std::unordered_map<std::string, std::int32_t> found;
  if (auto it = found.find(Name); it != found.end()) return it->second;
  const winsock::TProtoEnt* Entry = winsock::getprotobyname(Name.c_str());
  if (Entry == nullptr) {
    throw ESocketException(Quoted("WSocketResolveProto: Cannot convert protocol", Name,
                                  winsock::WSAGetLastError()));
  }
  if (found.size() < 64) found.emplace(Name, Entry->p_proto);
  return Entry->p_proto;
}

// ---- addresses of either family ----------------------------------------------------------------

using platform::TSockAddrIn;
using platform::TSockAddrIn6;
using platform::TSockAddrStorage;
using platform::WS_AF_INET;
using platform::WS_AF_INET6;

bool ParseIPv6Literal(const std::string& Text, TSockAddrIn6& Addr) {
  std::string Body = Text;
  if (Body.size() >= 2 && Body.front() == '[' && Body.back() == ']')
    Body = Body.substr(1, Body.size() - 2);
  if (Body.find(':') == std::string::npos || HasZeroByte(Body)) return false;
  std::uint32_t ScopeId = 0;
  const std::size_t Percent = Body.find('%');
  if (Percent != std::string::npos) {
    const std::string Zone = Body.substr(Percent + 1);
    Body.resize(Percent);
    if (Zone.empty()) return false;
    if (Zone.find_first_not_of("0123456789") == std::string::npos) {
      if (Zone.size() > 10) return false;
      const unsigned long long Index = std::strtoull(Zone.c_str(), nullptr, 10);
      if (Index > 0xFFFFFFFFull) return false;
      ScopeId = static_cast<std::uint32_t>(Index);
    } else {
      ScopeId = winsock::if_nametoindex(Zone.c_str());
      if (ScopeId == 0) return false;
    }
  }
  TSockAddrIn6 Result;
  if (winsock::inet_pton(WS_AF_INET6, Body.c_str(), Result.sin6_addr) != 1) return false;
  Result.sin6_family = WS_AF_INET6;
  Result.sin6_scope_id = ScopeId;
  Addr = Result;
  return true;
}

namespace {

bool IsMappedIPv4(const std::uint8_t (&Bytes)[16]) {
  static const std::uint8_t Prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return std::memcmp(Bytes, Prefix, sizeof Prefix) == 0;
}

}  // namespace

std::string SockAddrText(const TSockAddrStorage& Addr) {
  if (Addr.ss_family == WS_AF_INET) {
    TSockAddrIn In;
    std::memcpy(static_cast<void*>(&In), &Addr, sizeof In);
    return winsock::inet_ntoa(In.sin_addr);
  }
  if (Addr.ss_family != WS_AF_INET6) return "error";
  TSockAddrIn6 In6;
  std::memcpy(static_cast<void*>(&In6), &Addr, sizeof In6);
  if (IsMappedIPv4(In6.sin6_addr)) {
    std::uint32_t V4;
    std::memcpy(&V4, In6.sin6_addr + 12, sizeof V4);
    return winsock::inet_ntoa(V4);
  }
  char Text[platform::WS_INET6_ADDRSTRLEN];
  if (winsock::inet_ntop(WS_AF_INET6, In6.sin6_addr, Text, sizeof Text) == nullptr) return "error";
  std::string Result = Text;
  if (In6.sin6_scope_id != 0) Result += "%" + std::to_string(In6.sin6_scope_id);
  return Result;
}

int SockAddrLength(const TSockAddrStorage& Addr) {
  return Addr.ss_family == WS_AF_INET6 ? static_cast<int>(sizeof(TSockAddrIn6))
                                       : static_cast<int>(sizeof(TSockAddrIn));
}

std::uint16_t SockAddrPort(const TSockAddrStorage& Addr) {
  std::uint16_t Port;
  std::memcpy(&Port, reinterpret_cast<const char*>(&Addr) + 2, sizeof Port);
  return Port;
}

void SetSockAddrPort(TSockAddrStorage& Addr, std::uint16_t PortNet) {
  std::memcpy(reinterpret_cast<char*>(&Addr) + 2, &PortNet, sizeof PortNet);
}

TSockAddrStorage ToSockAddrStorage(const TSockAddrIn& Addr) {
  TSockAddrStorage Storage;
  std::memcpy(static_cast<void*>(&Storage), &Addr, sizeof Addr);
  return Storage;
}

TSockAddrStorage ToSockAddrStorage(const TSockAddrIn6& Addr) {
  TSockAddrStorage Storage;
  std::memcpy(static_cast<void*>(&Storage), &Addr, sizeof Addr);
  return Storage;
}

TSockAddrStorage WSocketResolveAddress(const std::string& Host) {
  const std::string Trimmed = TrimBlanks(Host);
  TSockAddrIn6 In6;
  if (!IsDottedAddress(Host) && Host.size() <= kMaxHostLen && ParseIPv6Literal(Trimmed, In6))
    return ToSockAddrStorage(In6);
  TSockAddrIn In;
  In.sin_family = WS_AF_INET;
  try {
    In.sin_addr = WSocketResolveHost(Host);
  } catch (ESocketException&) {
    // A dotted address or a text that is no name at all fails with the IPv4 lookup; a name that has no IPv4
    // address may still have an IPv6 one. The message stays the one of the IPv4 lookup.
    if (IsDottedAddress(Host) || Host.empty() || Host.size() > kMaxHostLen || HasZeroByte(Trimmed))
      throw;
    const winsock::THostAddressList* List = winsock::gethostaddresses(Trimmed.c_str());
    for (std::int32_t I = 0; List != nullptr && I < List->Count; ++I) {
      const winsock::THostAddress& A = List->Addresses[I];
      if (A.Family != WS_AF_INET6) continue;
      std::memcpy(In6.sin6_addr, A.Bytes, sizeof In6.sin6_addr);
      In6.sin6_family = WS_AF_INET6;
      In6.sin6_scope_id = A.ScopeId;
      return ToSockAddrStorage(In6);
    }
    throw;
  }
  return ToSockAddrStorage(In);
}
