// Public. What the relay engine listens on and relays to, and the checks that refuse settings that
// cannot work before anything listens: reading port texts (numbers, service names, out of range)
// and telling whether a remote address names this machine.
#pragma once

#include <cstdint>
#include <string>

#include "relay/SessionTls.h"

// What the engine listens on and relays to. The texts are taken as typed, as the socket
// component's setters take them.
struct TRelaySettings {
  std::string LocalPort = "8080";
  std::string RemoteAddr = "localhost";
  std::string RemotePort = "8080";
  bool LineMode = false;
  TTlsSettings Tls;  // applies from the next Listen
};

// Raises ESocketException with the reason for settings that cannot work: a port out of range or
// that names nothing, an empty remote address or one holding a zero byte, a remote address and
// port that are this relay's own listening port. A local port text that names no port at all is
// left to Listen, which says so in its own words.
void CheckRelaySettings(const TRelaySettings& Settings);

// A decimal port number (a peer's port as the socket reports it); 0 for anything else.
std::uint16_t PortNumber(const std::string& Text);

// The port that a port text names, as the socket component reads it (blanks around it trimmed,
// digits first, else a service name), but without its wrapping of numbers above 65535: those give
// -1. A text the component cannot read raises its message.
std::int64_t PortValue(const std::string& Text);

// Whether Host names this machine: a loopback or unspecified address, an address of one of its
// interfaces, or a name that means the machine itself. Names are not looked up, so that a slow
// name service cannot hold the window at Listen; a name this misses is caught when its connection
// arrives back (see RelayLoop.cpp).
bool IsThisMachine(const std::string& Host);
