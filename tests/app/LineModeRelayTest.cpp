// Line mode end to end, through the windows and through the headless program: lines longer than
// the line limit (64 KiB), and data without any line end, must pass whole in both directions and
// leave the session relaying. A line past the limit leaves in pieces, each logged as it went.
#include <tuple>

#include "RelayDrivers.h"

using namespace apptest;

namespace {

enum class TDirection { FromLocal, FromRemote };
// What the sender sends: a 100 KB line in two pieces with a pause between them, a 10 MiB line, or
// binary bytes with no CR LF at all.
enum class TShape { LineInPieces, TenMiBLine, BinaryWithoutLineEnds };

constexpr std::size_t kLineLimit = 65536;

void PrintTo(TDirection D, std::ostream* Out) { *Out << (D == TDirection::FromLocal ? "FromLocal" : "FromRemote"); }
void PrintTo(TShape S, std::ostream* Out) {
  *Out << (S == TShape::LineInPieces ? "LineInPieces" : S == TShape::TenMiBLine ? "TenMiBLine" : "BinaryWithoutLineEnds");
}

using TParam = std::tuple<TRelayMode, TDirection, TShape>;

std::string Name(const ::testing::TestParamInfo<TParam>& Info) {
  return std::string(ModeName(std::get<0>(Info.param))) + "_" + ::testing::PrintToString(std::get<1>(Info.param)) + "_" +
         ::testing::PrintToString(std::get<2>(Info.param));
}

// Printable bytes, no CR LF: one line as long as wanted.
std::string LongLine(std::size_t Size, std::uint32_t Seed) {
  std::string s = Pattern(Size, Seed);
  for (char& c : s) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
  return s;
}

// Any byte value, but never a CR followed by LF.
std::string BinaryWithoutLineEnds(std::size_t Size, std::uint32_t Seed) {
  std::string s = Pattern(Size, Seed);
  for (std::size_t i = 1; i < s.size(); ++i)
    if (s[i - 1] == '\r' && s[i] == '\n') s[i] = '\x0b';
  return s;
}

class LongLines : public ::testing::TestWithParam<TParam> {
protected:
  void SetUp() override {
    Relay = MakeRelayDriver(std::get<0>(GetParam()));
    Relay->LineMode = true;
  }
  void TearDown() override {
    Local.reset();
    Remote.Peers.clear();
    Relay.reset();
  }
  void Service() {
    Remote.Service();
    if (Local) Local->Service();
  }
  bool Run(const std::function<bool()>& Cond, int TimeoutMs = 60000) {
    return RunUntil(Cond, [this] { Service(); }, TimeoutMs);
  }

  std::unique_ptr<TRelayDriver> Relay;
  TRemoteServer Remote;
  std::unique_ptr<TPeer> Local;
};

TEST_P(LongLines, PassWholeInPiecesOfTheLimitAndTheSessionGoesOnRelaying) {
  const auto [mode, direction, shape] = GetParam();
  (void)mode;
  const bool fromLocal = direction == TDirection::FromLocal;
  const std::string title = fromLocal ? "From Local" : "From Remote";
  const std::uint16_t port = Relay->Start("127.0.0.1", std::to_string(Remote.Listener.Port));
  ASSERT_NE(port, 0);
  // What the sender sends at once, and, once the first piece of the long line has arrived, the
  // rest: its line end, then a short line of its own.
  std::string first, later;
  if (shape == TShape::LineInPieces) {
    first = LongLine(100000, 1);
    later = "\r\nnext\r\n";
  } else if (shape == TShape::TenMiBLine) {
    first = LongLine(std::size_t{10} << 20, 2) + "\r\nnext\r\n";
  } else {
    first = BinaryWithoutLineEnds(std::size_t{3} << 20, 3);
  }
  const std::string all = first + later;
  if (!fromLocal) Remote.OnAccept = [&](TPeer& P) { P.ToSend = first; };
  Local = std::make_unique<TPeer>(RawConnect(port));
  if (fromLocal) Local->ToSend = first;
  ASSERT_TRUE(Run([&] { return !Remote.Peers.empty(); }));
  TPeer& sender = fromLocal ? *Local : *Remote.Peers[0];
  TPeer& receiver = fromLocal ? *Remote.Peers[0] : *Local;
  if (!later.empty()) {
    ASSERT_TRUE(Run([&] { return receiver.Received.size() > kLineLimit; }, 20000))
        << "the line has gone past the limit: its first piece must leave before its end comes; got "
        << receiver.Received.size();
    sender.ToSend += later;
  }
  sender.ShutdownWhenSent = true;
  ASSERT_TRUE(Run([&] { return receiver.Eof; }));
  EXPECT_FALSE(receiver.Reset);
  EXPECT_EQ(receiver.Received.size(), all.size());
  EXPECT_EQ(Checksum(receiver.Received), Checksum(all));
  receiver.ShutdownWhenSent = true;
  ASSERT_TRUE(Run([&] { return sender.Eof && Relay->Idle(); }));

  const std::vector<TDriverEntry> entries = Relay->Finish();
  std::vector<std::size_t> pieces;  // the data entries of the direction, in order
  std::size_t total = 0;
  for (const TDriverEntry& e : entries) {
    EXPECT_EQ(e.Title.rfind("Error", 0), std::string::npos) << e.Title << ": " << e.Body;
    EXPECT_EQ(e.Title.rfind("Reset", 0), std::string::npos) << e.Title;
    if (e.Title != title) continue;
    pieces.push_back(e.Length);
    total += e.Length;
  }
  EXPECT_EQ(total, all.size()) << "every byte is logged once";
  ASSERT_GE(pieces.size(), 2u);
  // The pieces that left before a line end held at least the limit; what followed them is the end
  // of the line (or of the stream) and, after a line, the short line on its own.
  const std::size_t tail = shape == TShape::BinaryWithoutLineEnds ? 1 : 2;
  for (std::size_t i = 0; i + tail < pieces.size(); ++i) EXPECT_GE(pieces[i], kLineLimit) << "piece " << i;
  if (shape != TShape::BinaryWithoutLineEnds) {
    EXPECT_EQ(pieces.back(), 6u) << "\"next\" and its CR LF";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LongLines,
    ::testing::Combine(::testing::Values(TRelayMode::Windows, TRelayMode::Headless),
                       ::testing::Values(TDirection::FromLocal, TDirection::FromRemote),
                       ::testing::Values(TShape::LineInPieces, TShape::TenMiBLine, TShape::BinaryWithoutLineEnds)),
    Name);

}  // namespace
