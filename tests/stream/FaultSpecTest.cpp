// Fault rules: the documented examples read as meant and write back canonically; every kind of bad
// input is refused with one line naming the part that is wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stream/FaultSpec.h"

namespace {

TFaultSpec Parsed(const std::string& Text) {
  TFaultSpec s;
  std::string error;
  EXPECT_TRUE(ParseFault(Text, s, error)) << Text << ": " << error;
  return s;
}

std::string ErrorOf(const std::string& Text) {
  TFaultSpec s;
  std::string error;
  EXPECT_FALSE(ParseFault(Text, s, error)) << Text << " was taken as " << FaultText(s);
  return error;
}

TEST(FaultSpec, TheDocumentedExamplesMeanWhatTheySay) {
  TFaultSpec s = Parsed("local:latency=100ms,jitter=10ms");
  EXPECT_EQ(s.Direction, fdLocal);
  EXPECT_EQ(s.Kind, fkLatency);
  EXPECT_EQ(s.DelayUs, 100000);
  EXPECT_EQ(s.JitterUs, 10000);

  s = Parsed("local:bandwidth=1MB/s");
  EXPECT_EQ(s.Kind, fkBandwidth);
  EXPECT_EQ(s.Rate, 1000000u);
  EXPECT_FALSE(s.PerListener);

  s = Parsed("remote:slicer=100,delay=5ms");
  EXPECT_EQ(s.Direction, fdRemote);
  EXPECT_EQ(s.Size, 100u);
  EXPECT_EQ(s.Spread, 0u);
  EXPECT_EQ(s.DelayUs, 5000);

  s = Parsed("remote:stall=1000");
  EXPECT_EQ(s.Kind, fkStall);
  EXPECT_EQ(s.Trigger, ftBytes);
  EXPECT_EQ(s.Bytes, 1000u);

  s = Parsed("remote:limit=2s");
  EXPECT_EQ(s.Kind, fkLimit);
  EXPECT_EQ(s.Trigger, ftTime);
  EXPECT_EQ(s.TimeUs, 2000000);

  s = Parsed("remote:reset=1000");
  EXPECT_EQ(s.Kind, fkReset);
  EXPECT_EQ(s.Bytes, 1000u);

  s = Parsed("remote:reset=match:QUIT");
  EXPECT_EQ(s.Trigger, ftPattern);
  EXPECT_EQ(s.Pattern, "QUIT");

  s = Parsed("local:corrupt=4096");
  EXPECT_EQ(s.Kind, fkCorrupt);
  EXPECT_EQ(s.Bytes, 4096u);
  EXPECT_EQ(s.Bit, 0);

  s = Parsed("refuse=0.2");
  EXPECT_EQ(s.Kind, fkRefuse);
  EXPECT_EQ(s.Direction, fdListener);
  EXPECT_EQ(s.Millionths, 200000u);
}

TEST(FaultSpec, UnitsArePowersOfTenOrOfTwoAndFractionsRound) {
  EXPECT_EQ(Parsed("remote:stall=1KB").Bytes, 1000u);
  EXPECT_EQ(Parsed("remote:stall=1KiB").Bytes, 1024u);
  EXPECT_EQ(Parsed("remote:stall=3MB").Bytes, 3000000u);
  EXPECT_EQ(Parsed("remote:stall=3MiB").Bytes, 3u << 20);
  EXPECT_EQ(Parsed("remote:stall=2GiB").Bytes, 2ULL << 30);
  EXPECT_EQ(Parsed("remote:stall=7B").Bytes, 7u);
  EXPECT_EQ(Parsed("remote:bandwidth=1.5MB/s").Rate, 1500000u);
  EXPECT_EQ(Parsed("remote:bandwidth=64KiB/s").Rate, 65536u);
  EXPECT_EQ(Parsed("remote:bandwidth=500/s").Rate, 500u);
  EXPECT_EQ(Parsed("remote:latency=0.5ms").DelayUs, 500);
  EXPECT_EQ(Parsed("remote:latency=250us").DelayUs, 250);
  EXPECT_EQ(Parsed("remote:latency=.25s").DelayUs, 250000);
  EXPECT_EQ(Parsed("local:reset=1.5s").TimeUs, 1500000);
  EXPECT_EQ(Parsed("local:latency=0ms").DelayUs, 0);
  // A half byte rounds to the nearest.
  EXPECT_EQ(Parsed("remote:stall=1.0005KB").Bytes, 1001u);
  EXPECT_EQ(Parsed("refuse=20%").Millionths, 200000u);
  EXPECT_EQ(Parsed("refuse=1").Millionths, 1000000u);
  EXPECT_EQ(Parsed("refuse=0").Millionths, 0u);
  EXPECT_EQ(Parsed("  remote:stall=10  ").Bytes, 10u);
}

TEST(FaultSpec, TheOtherNamesOfEachKind) {
  TFaultSpec s = Parsed("remote:slicer=100,spread=20,delay=1ms");
  EXPECT_EQ(s.Size, 100u);
  EXPECT_EQ(s.Spread, 20u);
  EXPECT_EQ(s.DelayUs, 1000);
  EXPECT_TRUE(Parsed("local:bandwidth=10KB/s,per=listener").PerListener);
  EXPECT_FALSE(Parsed("local:bandwidth=10KB/s,per=session").PerListener);
  EXPECT_EQ(Parsed("local:corrupt=10,bit=7").Bit, 7);
  s = Parsed("remote:reset=hex:0D0a00ff");
  EXPECT_EQ(s.Pattern, std::string("\r\n\0\xff", 4));
  EXPECT_TRUE(s.PatternHex);
  // A pattern takes the rest of the rule, commas and equals signs included; escapes stand for bytes.
  EXPECT_EQ(Parsed("remote:reset=match:a,b=c").Pattern, "a,b=c");
  EXPECT_EQ(Parsed("remote:reset=match:QUIT\\r\\n").Pattern, "QUIT\r\n");
  EXPECT_EQ(Parsed("remote:reset=match:\\x00\\\\").Pattern, std::string("\0\\", 2));
}

TEST(FaultSpec, CanonicalTextParsesBackToTheSameSpec) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"local:latency=100ms,jitter=10ms", "local:latency=100ms,jitter=10ms"},
      {"local:latency=1000ms", "local:latency=1s"},
      {"local:latency=1500us", "local:latency=1500us"},
      {"local:bandwidth=1000KB/s", "local:bandwidth=1MB/s"},
      {"local:bandwidth=1024KiB/s", "local:bandwidth=1MiB/s"},
      {"local:bandwidth=1500/s,per=listener", "local:bandwidth=1500/s,per=listener"},
      {"remote:slicer=100,delay=5ms", "remote:slicer=100,delay=5ms"},
      {"remote:slicer=1KiB,spread=0", "remote:slicer=1024"},
      {"remote:stall=1KB", "remote:stall=1000"},
      {"remote:limit=2s", "remote:limit=2s"},
      {"remote:reset=match:QUIT", "remote:reset=match:QUIT"},
      {"remote:reset=match:a b\\r\\n", "remote:reset=match:a\\x20b\\r\\n"},
      {"remote:reset=hex:0D0A", "remote:reset=hex:0d0a"},
      {"local:corrupt=4096,bit=0", "local:corrupt=4096"},
      {"refuse=20%", "refuse=0.2"},
      {"refuse=0.000001", "refuse=0.000001"},
      {"refuse=1.0", "refuse=1"},
  };
  for (const auto& [input, canonical] : cases) {
    const TFaultSpec s = Parsed(input);
    EXPECT_EQ(FaultText(s), canonical) << input;
    EXPECT_EQ(Parsed(FaultText(s)), s) << input;
  }
}

TEST(FaultSpec, BadInputNamesTheWrongPart) {
  struct TCase {
    std::string Rule, Names;
  };
  const std::vector<TCase> cases = {
      {"", "empty fault rule"},
      {"remote:latency=100xs", "unknown unit 'xs'"},
      {"remote:latency=100xs", "'latency=100xs'"},
      {"remote:latency=100", "expected a time"},
      {"remote:bandwidth=1MB", "expected a rate"},
      {"remote:bandwidth=1MX/s", "unknown unit 'MX/s'"},
      {"remote:bandwidth=0/s", "at least 1/s"},
      {"remote:slicer=5ms", "expected a byte count"},
      {"remote:slicer=0", "at least 1 byte"},
      {"remote:slicer=100,spread=100", "'spread=100'"},
      {"remote:stall=1000/s", "got a rate"},
      {"remote:stall=abc", "'stall=abc'"},
      {"remote:reset=soon", "match:TEXT or hex:HEX"},
      {"remote:reset=match:", "the pattern is empty"},
      {"remote:reset=hex:0d0", "two digits a byte"},
      {"remote:reset=hex:0g", "'g' is not a hex digit"},
      {"remote:reset=match:a\\q", "unknown escape '\\q'"},
      {"remote:reset=match:a\\", "a backslash at the end"},
      {"remote:corrupt=10,bit=8", "'bit=8'"},
      {"remote:corrupt=10,bits=1", "unknown name 'bits'"},
      {"remote:latency=10ms,jitter=1ms,jitter=2ms", "'jitter' is given twice"},
      {"remote:latency=10ms,jitter", "'jitter': no value"},
      {"remote:latency=", "no value"},
      {"remote:latency", "expected latency=VALUE"},
      {"remote:bandwidth=1MB/s,per=everyone", "per=session or per=listener"},
      {"sideways:latency=1ms", "unknown direction 'sideways'"},
      {"remote:lag=1ms", "unknown fault 'lag'"},
      {"latency=1ms", "a direction comes first"},
      {"remote:refuse=0.2", "refuse takes no direction"},
      {"refuse=1.5", "from 0 to 1"},
      {"refuse=150%", "from 0 to 1"},
      {"refuse=-0.1", "expected a probability"},
      {"refuse=0.2x", "expected a probability"},
      {"remote:latency=2days", "unknown unit 'days'"},
      {"remote:latency=100000s", "too large"},
      {"remote:stall=9999999999999999", "'stall=9999999999999999'"},
      {"REMOTE:latency=1ms", "unknown direction 'REMOTE'"},
      {"remote:latency=1MS", "unknown unit 'MS'"},
  };
  for (const TCase& c : cases) {
    const std::string error = ErrorOf(c.Rule);
    EXPECT_NE(error.find(c.Names), std::string::npos) << c.Rule << " gave: " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.Rule << " gave more than a line: " << error;
  }
}

TEST(FaultSet, ASpecReplacesTheOneOfItsKindAndDirection) {
  TFaultSet set;
  std::string error;
  ASSERT_TRUE(set.Parse({"remote:latency=10ms", "local:latency=20ms", "# a comment", "", "remote:latency=30ms",
                         "refuse=0.5", "remote:reset=100"},
                        error))
      << error;
  ASSERT_EQ(set.Faults().size(), 4u);
  EXPECT_EQ(set.Find(fdRemote, fkLatency)->DelayUs, 30000);
  EXPECT_EQ(set.Find(fdLocal, fkLatency)->DelayUs, 20000);
  EXPECT_TRUE(set.Has(fdListener));
  EXPECT_EQ(set.Find(fdLocal, fkReset), nullptr);
  // Written in direction and kind order, one a line, and read back to the same set.
  EXPECT_EQ(set.Text(), "remote:latency=30ms\nremote:reset=100\nlocal:latency=20ms\nrefuse=0.5\n");
  TFaultSet again;
  ASSERT_TRUE(again.Parse({"remote:latency=30ms", "remote:reset=100", "local:latency=20ms", "refuse=0.5"}, error));
  EXPECT_EQ(again, set);
  set.Remove(fdRemote, fkLatency);
  EXPECT_EQ(set.Find(fdRemote, fkLatency), nullptr);
  EXPECT_TRUE(set.Has(fdRemote));
}

TEST(FaultSet, ABadSpecLeavesTheSetAsItWas) {
  TFaultSet set;
  std::string error;
  ASSERT_TRUE(set.Parse({"remote:latency=10ms"}, error));
  EXPECT_FALSE(set.Parse({"local:latency=5ms", "local:stall=5parsecs"}, error));
  EXPECT_NE(error.find("'stall=5parsecs'"), std::string::npos) << error;
  ASSERT_EQ(set.Faults().size(), 1u);
  EXPECT_EQ(set.Faults()[0].Direction, fdRemote);
}

}  // namespace
