// Public. The resolution functions of unit WSocket: address, port and protocol texts to numbers.
// They raise ESocketException themselves (never a component's OnError) and reach the platform only
// through the winsock:: wrappers.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Winsock.h"

// Removes every character from the space (0x20) down, at both ends. Bytes from 0x80 up are kept.
std::string TrimBlanks(const std::string& Text);

// The decimal number at the start of Text after leading spaces (0x20 only); 0 when no digit
// follows. Wraps modulo 2^32 instead of failing on overflow.
std::int32_t ParseLeadingNumber(const std::string& Text);

// Whether Text is four dot-separated decimal groups of at most 255 each, with optional spaces
// around it.
bool IsDottedAddress(const std::string& Text);

// IPv4 address in network byte order. "255.255.255.255" gives INADDR_NONE without an error;
// a host name is looked up and blocks until the answer is in.
std::uint32_t WSocketResolveHost(const std::string& Host);
// Port number in host byte order; callers keep its low 16 bits.
std::int32_t WSocketResolvePort(const std::string& Port, const std::string& Proto);
// Protocol number.
std::int32_t WSocketResolveProto(const std::string& Proto);

// ---- addresses of either family ----------------------------------------------------------------
//
// A component's socket address (its SockAddr) is a TSockAddrStorage that holds a TSockAddrIn or a
// TSockAddrIn6; the port sits at the same place in both (bytes 2 and 3, network order), so it can
// be set before the family is known and survives a change of address.

// Whether Text is an IPv6 literal, with or without brackets, with or without a zone: "::1",
// "[::1]", "fe80::1%lo", "[fe80::1%2]". Blanks are not skipped. On success Addr holds the address
// (family WS_AF_INET6, port 0, the zone's interface index as scope id). A zone is an interface name
// or a decimal index; an unknown name is no literal.
bool ParseIPv6Literal(const std::string& Text, platform::TSockAddrIn6& Addr);

// The address text of a socket address: the dotted form for IPv4 and for an IPv4 address mapped
// into IPv6 (::ffff:a.b.c.d, as an IPv6 socket that takes IPv4 peers sees them), the compressed
// IPv6 form otherwise, followed by "%" and the scope id when there is one. "error" for a record of
// another family.
std::string SockAddrText(const platform::TSockAddrStorage& Addr);

// The record's length for the socket calls: 28 for IPv6, 16 otherwise.
int SockAddrLength(const platform::TSockAddrStorage& Addr);
// The port in network order, and setting it, for either family.
std::uint16_t SockAddrPort(const platform::TSockAddrStorage& Addr);
void SetSockAddrPort(platform::TSockAddrStorage& Addr, std::uint16_t PortNet);
int SockAddrLength(const platform::TSockAddrInet& Addr);
std::uint16_t SockAddrPort(const platform::TSockAddrInet& Addr);
void SetSockAddrPort(platform::TSockAddrInet& Addr, std::uint16_t PortNet);
// The Internet address that Storage holds (an IPv4 or IPv6 record).
platform::TSockAddrInet ToSockAddrInet(const platform::TSockAddrStorage& Storage);
// Storage holding the given record.
platform::TSockAddrStorage ToSockAddrStorage(const platform::TSockAddrIn& Addr);
platform::TSockAddrStorage ToSockAddrStorage(const platform::TSockAddrIn6& Addr);

// The address of Host, of either family, with port 0. A dotted address is read as by
// WSocketResolveHost (with its messages); an IPv6 literal (ParseIPv6Literal, after trimming) is
// taken as it is; a host name gives its first IPv4 address, as WSocketResolveHost does, and only a
// name that has no IPv4 address its first IPv6 address. Blocks while a name is looked up.
platform::TSockAddrStorage WSocketResolveAddress(const std::string& Host);
