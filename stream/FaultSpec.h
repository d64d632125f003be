// Public. Fault rules: what a fault does to a direction of the relayed streams, read from a text
// and written back as one, and the set of faults a listener applies.
//
//   RULE      = DIRECTION ":" KIND "=" VALUE { "," NAME "=" VALUE }  |  "refuse=" PROBABILITY
//   DIRECTION = "remote"   bytes on their way to the remote side (from the local client)
//             | "local"    bytes on their way to the local client (from the remote side)
//
//   latency=TIME[,jitter=TIME]              each chunk waits TIME, give or take up to jitter
//   bandwidth=RATE[,per=session|listener]   at most RATE; per listener: all sessions share it
//   slicer=BYTES[,spread=BYTES][,delay=TIME] pieces of BYTES give or take spread, delay apart
//   stall=BYTES|TIME                        forwards nothing after that; the connection stays open
//   limit=BYTES|TIME                        ends the stream (a half-close) after that
//   reset=BYTES|TIME|match:TEXT|hex:HEX     resets both sides after that, or once the pattern
//                                           has passed; a pattern takes the rest of the rule
//   corrupt=BYTES[,bit=0..7]                flips a bit (the lowest by default) of every BYTES-th byte
//   refuse=PROBABILITY                      resets new clients at accept; 0..1, or a percentage
//
// Numbers may have a fraction ("1.5MB/s", "0.5ms"). A bare number counts bytes; "B", "KB", "MB",
// "GB" are powers of 1000 and "KiB", "MiB", "GiB" powers of 1024; "us", "ms" and "s" make a time;
// a byte count followed by "/s" is a rate. In a match TEXT, \r \n \t \\ and \xHH stand for those
// bytes. Names and units are written as shown (lower case, the units' own case).
//
// A parse that fails gives one line that names the part that is wrong, e.g.
//   "'latency=100xs': unknown unit 'xs' (a time is a number with us, ms or s)".
// FaultText writes a rule in its canonical form, which parses back to the same rule.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum TFaultDirection : std::uint8_t {
  fdRemote = 0,    // toward Remote: what the local client sends
  fdLocal = 1,     // toward Local: what the remote side sends
  fdListener = 2,  // no direction (refuse)
};

enum TFaultKind : std::uint8_t {
  fkLatency = 0,
  fkBandwidth = 1,
  fkSlicer = 2,
  fkStall = 3,
  fkLimit = 4,
  fkReset = 5,
  fkRefuse = 6,
  fkCorrupt = 7,
};
constexpr int kFaultKindCount = 8;

// When a fault that cuts (stall, limit, reset) acts.
enum TFaultTrigger : std::uint8_t {
  ftBytes = 0,    // once Bytes bytes have entered
  ftTime = 1,     // TimeUs after the session started (or after the fault was set, if later)
  ftPattern = 2,  // once Pattern has passed, its last byte included
};

struct TFaultSpec {
  TFaultDirection Direction = fdRemote;
  TFaultKind Kind = fkLatency;
  // latency: DelayUs and JitterUs; slicer: Size, Spread and DelayUs.
  std::int64_t DelayUs = 0;
  std::int64_t JitterUs = 0;
  std::uint64_t Size = 0;
  std::uint64_t Spread = 0;
  // bandwidth: bytes a second, and whether every session of the listener shares them.
  std::uint64_t Rate = 0;
  bool PerListener = false;
  // stall, limit, reset.
  TFaultTrigger Trigger = ftBytes;
  std::uint64_t Bytes = 0;
  std::int64_t TimeUs = 0;
  std::string Pattern;   // the bytes themselves
  bool PatternHex = false;  // written as hex: rather than match:
  // corrupt: every Bytes-th byte, this bit.
  int Bit = 0;
  // refuse: the probability, in millionths.
  std::uint32_t Millionths = 0;

  bool operator==(const TFaultSpec&) const = default;
};

// Reads one rule. On failure returns false and sets Error to one line naming the wrong part.
bool ParseFault(std::string_view Text, TFaultSpec& Out, std::string& Error);
// The canonical text of a rule.
std::string FaultText(const TFaultSpec& Rule);
// "toward Remote", "toward Local", or "at accept".
std::string FaultWhere(TFaultDirection Direction);
// Sizes, times and rates as a person reads them: "1000 bytes", "1.5 s", "1 MB/s".
std::string BytesText(std::uint64_t Bytes);
std::string TimeText(std::int64_t Us);
std::string RateText(std::uint64_t BytesPerSecond);

// The faults a listener applies: at most one of each kind and direction. Setting a rule replaces
// the one of its kind and direction.
class TFaultSet {
public:
  void Set(const TFaultSpec& Rule);
  void Remove(TFaultDirection Direction, TFaultKind Kind);
  void Clear() { FFaults.clear(); }
  bool Empty() const noexcept { return FFaults.empty(); }
  const std::vector<TFaultSpec>& Faults() const noexcept { return FFaults; }
  // The faults of one direction, in kind order; null for a kind not set.
  const TFaultSpec* Find(TFaultDirection Direction, TFaultKind Kind) const;
  bool Has(TFaultDirection Direction) const;

  // Reads rules (the command line's --fault values, the dialog's lines: blank lines and lines
  // starting with '#' are skipped). Fails at the first bad one: Error names it and what is wrong.
  bool Parse(const std::vector<std::string>& Rules, std::string& Error);
  // One canonical rule a line.
  std::string Text() const;

  bool operator==(const TFaultSet&) const = default;

private:
  std::vector<TFaultSpec> FFaults;  // in direction and kind order
};
