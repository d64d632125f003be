// Public. The resolution functions of unit WSocket: address, port and protocol texts to numbers.
// They raise ESocketException themselves (never a component's OnError) and reach the platform only
// through the winsock:: wrappers.
#pragma once

#include <cstdint>
#include <string>

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
