// Public. The program's command line: what it asks for, parsed and checked before anything starts.
//
//   vantrel [--local-port P] [--remote-addr HOST] [--remote-port P] [--line-mode] [--hex] [--listen]
//   vantrel --headless --local-port P --remote-addr HOST --remote-port P [--line-mode] [--hex] [--quiet]
//   vantrel --replay FILE.pcapng [--session N] [--remote-addr HOST] [--remote-port P] [--settle MS]
//           [--original-timing] [--ignore REGEX]... [--save FILE.pcapng|FILE.txt|DIR/]
//   vantrel --help | --version | --print-ca
//
// TLS on either leg: --remote-tls, --local-tls, --detect-tls and their files (see HelpText).
//   vantrel --help | --version
//   ... [--fault RULE]...   in either mode: faults on demand (see stream/FaultSpec.h for RULE)
//
// Without arguments the program opens its windows. Qt Core only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "relay/SessionTls.h"
#include "stream/FaultSpec.h"

struct TCommandLine {
  bool Help = false;
  bool Version = false;
  bool Headless = false;
  bool Listen = false;  // windows: press "Listen" once they are up
  bool LineMode = false;
  bool Hex = false;
  bool Quiet = false;  // headless: relay without writing entries
  std::optional<std::string> LocalPort;  // as a decimal number, checked
  std::optional<std::string> RemoteAddr;
  std::optional<std::string> RemotePort;
  std::string Save;  // headless: write the traffic as it flows to this file or folder
  bool PrintCa = false;  // print the built-in authority's certificate and exit
  TTlsSettings Tls;      // files named as typed; read and checked at Listen
  // --replay: the capture whose sessions go again, the one chosen, and how. The remote address
  // and port above, when given, stand for the recorded ones.
  std::string Replay;
  std::optional<std::uint64_t> Session;
  std::uint32_t SettleMs = 200;
  bool OriginalTiming = false;
  std::vector<std::string> Ignore;  // regular expressions, in the order given
  TFaultSet Faults;  // --fault, each checked; a later one replaces one of its kind and direction
};

// The longest settle time --settle takes: ten minutes.
constexpr std::uint32_t kMaxSettleMs = 600000;

// Parses the arguments after the program's name. On a bad argument returns false and sets Error to
// one line that names the argument and says what is accepted.
bool ParseCommandLine(const std::vector<std::string>& Args, TCommandLine& Out, std::string& Error);

// The text of --help: every option on a line of its own, then examples.
std::string HelpText();
// The text of --version.
std::string VersionText();

// Raises the process's limit of open descriptors to the most it may have: every session holds
// two, and the usual default of 1,024 would turn clients away after some 500 sessions. Returns
// the limit now in force.
std::uint64_t RaiseOpenFileLimit();
