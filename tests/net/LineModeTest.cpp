// Line mode: cutting at LineEnd, partial reads, the limit, editing and echo, switching the mode
// with bytes buffered, the last line at close, and closing from inside a line's offer.
#include <gtest/gtest.h>

#include "SocketTestSupport.h"

using namespace testsupport;
using Lines = std::vector<std::string>;

namespace {

struct LineSession {
  RawListener listener;
  Lines lines;  // one entry per OnDataAvailable
  std::vector<std::string> order;  // lines and the close, as they came
  std::function<void()> read;
  TWSocket sock{nullptr};
  int peer = -1;
  LineSession() : read([this] { Got(sock.ReceiveText()); }) {}
  void Got(const std::string& text) {
    lines.push_back(text);
    order.push_back(text);
  }
  bool Open() {
    sock.SetLineMode(true);
    sock.OnDataAvailable = [this](TComponent*, std::uint16_t) { read(); };
    sock.OnSessionClosed = [this](TComponent*, std::uint16_t) { order.push_back("<closed>"); };
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(listener.Port));
    sock.Connect();
    peer = listener.AcceptPumping();
    return peer >= 0 && PumpUntil([&] { return sock.State() == wsConnected; });
  }
  void PeerSend(const std::string& s) { ASSERT_EQ(::send(peer, s.data(), s.size(), 0), static_cast<ssize_t>(s.size())); }
  void PeerClose() {
    ::close(peer);
    peer = -1;
  }
  std::string PeerReceived(std::size_t n) {
    std::string got(n, '\0');
    std::size_t have = 0;
    PumpUntil([&] {
      ssize_t r = ::recv(peer, got.data() + have, n - have, MSG_DONTWAIT);
      if (r > 0) have += static_cast<std::size_t>(r);
      return have == n;
    });
    got.resize(have);
    return got;
  }
  ~LineSession() {
    if (peer >= 0) ::close(peer);
  }
};

// A handler that forwards lines learns whether more lines of the same read are on their way.
TEST(LineMode, MoreLinesBufferedTellsWhetherAnotherCompleteLineFollowsTheOneOnOffer) {
  LineSession s;
  std::vector<bool> more;
  s.read = [&] {
    s.Got(s.sock.ReceiveText());
    more.push_back(s.sock.MoreLinesBuffered());
  };
  ASSERT_TRUE(s.Open());
  s.PeerSend("a\r\nbb\r\nccc\r\npartial");
  ASSERT_TRUE(PumpUntil([&] { return s.lines.size() == 3; }));
  EXPECT_EQ(s.lines, (Lines{"a\r\n", "bb\r\n", "ccc\r\n"}));
  EXPECT_EQ(more, (std::vector<bool>{true, true, false})) << "a partial line is no line";
  EXPECT_FALSE(s.sock.MoreLinesBuffered()) << "outside an offer";
}

TEST(LineMode, TwoLinesInOneReadAreOfferedOneByOneAndTheRestAtClose) {
  LineSession s;
  ASSERT_TRUE(s.Open());
  s.PeerSend("ab\r\nxy\r\nz");
  ASSERT_TRUE(PumpUntil([&] { return s.lines.size() == 2; }));
  EXPECT_EQ(s.lines, (Lines{"ab\r\n", "xy\r\n"}));
  EXPECT_EQ(s.sock.LineBufferCount(), 1);
  s.PeerClose();
  ASSERT_TRUE(PumpUntil([&] { return s.sock.State() == wsClosed; }));
  EXPECT_EQ(s.order, (std::vector<std::string>{"ab\r\n", "xy\r\n", "z", "<closed>"}));
}

TEST(LineMode, LineEndSplitOverTwoReadsIsFound) {
  LineSession s;
  ASSERT_TRUE(s.Open());
  s.PeerSend("ab\r");
  ASSERT_TRUE(PumpUntil([&] { return s.sock.LineBufferCount() == 3; }));
  EXPECT_TRUE(s.lines.empty());
  s.PeerSend("\ncd");
  ASSERT_TRUE(PumpUntil([&] { return s.lines.size() == 1; }));
  EXPECT_EQ(s.lines[0], "ab\r\n");
}

TEST(LineMode, HandlerThatReadsPartOfALineIsCalledAgainForTheRest) {
  LineSession s;
  s.read = [&] {
    char buf[4];
    std::int32_t n = s.sock.Receive(buf, 4);
    s.Got(std::string(buf, static_cast<std::size_t>(std::max(n, 0))));
  };
  ASSERT_TRUE(s.Open());
  s.PeerSend("abcd\r\nef\r\n");
  ASSERT_TRUE(PumpUntil([&] { return s.lines.size() == 3; }));
  EXPECT_EQ(s.lines, (Lines{"abcd", "\r\n", "ef\r\n"}));
}

TEST(LineMode, WithoutAHandlerCompleteLinesAreDropped) {
  LineSession s;
  ASSERT_TRUE(s.Open());
  s.sock.OnDataAvailable = nullptr;
  s.PeerSend("lost\r\nlost too\r\n");
  ASSERT_TRUE(PumpUntil([&] { return s.sock.RcvdCount() == 0 && platform::PendingMessageCount() == 0; }));
  PumpIdle();
  s.sock.OnDataAvailable = [&](TComponent*, std::uint16_t) { s.lines.push_back(s.sock.ReceiveText()); };
  s.PeerSend("kept\r\n");
  ASSERT_TRUE(PumpUntil([&] { return !s.lines.empty(); }));
  EXPECT_EQ(s.lines, (Lines{"kept\r\n"}));
}

TEST(LineMode, LineLimitClearsTheBufferUnlessTheHandlerKeepsIt) {
  for (bool clear : {true, false}) {
    SCOPED_TRACE(clear ? "cleared" : "kept");
    LineSession s;
    ASSERT_TRUE(s.Open());
    s.sock.SetLineLimit(10);
    std::vector<std::int32_t> exceeded;
    s.sock.OnLineLimitExceeded = [&](TComponent*, std::int32_t n, bool& ClearData) {
      EXPECT_TRUE(ClearData);
      exceeded.push_back(n);
      ClearData = clear;
    };
    s.PeerSend("0123456789A");
    ASSERT_TRUE(PumpUntil([&] { return !exceeded.empty(); }));
    EXPECT_EQ(exceeded, (std::vector<std::int32_t>{11}));
    EXPECT_EQ(s.sock.LineBufferCount(), clear ? 0 : 11);
    s.PeerSend("B");
    if (clear) {
      ASSERT_TRUE(PumpUntil([&] { return s.sock.LineBufferCount() == 1; }));
      EXPECT_EQ(exceeded.size(), 1u);
    } else {
      ASSERT_TRUE(PumpUntil([&] { return exceeded.size() == 2; }));
      EXPECT_EQ(exceeded.back(), 12);
      s.PeerSend("\r\n");
      ASSERT_TRUE(PumpUntil([&] { return !s.lines.empty(); }));
      EXPECT_EQ(s.lines[0], "0123456789AB\r\n") << "kept bytes are not lost";
    }
  }
}

// A handler of the limit that takes the partial line instead of dropping it gets the bytes as they
// stand, all but a CR that may start the line end; a line on offer is never taken from.
TEST(LineMode, APartialLineTakenAtTheLimitLeavesTheStartOfItsLineEndToBeFound) {
  LineSession s;
  std::vector<std::string> taken;
  s.read = [&] {
    EXPECT_EQ(s.sock.TakePartialLine(), "") << "a line on offer";
    s.Got(s.sock.ReceiveText());
  };
  ASSERT_TRUE(s.Open());
  s.sock.SetLineLimit(10);
  s.sock.OnLineLimitExceeded = [&](TComponent*, std::int32_t, bool& ClearData) {
    ClearData = false;
    taken.push_back(s.sock.TakePartialLine());
  };
  s.PeerSend("ab\r\n0123456789AB\r");
  ASSERT_TRUE(PumpUntil([&] { return !taken.empty(); }));
  EXPECT_EQ(s.lines, (Lines{"ab\r\n"}));
  EXPECT_EQ(taken, (std::vector<std::string>{"0123456789AB"}));
  EXPECT_EQ(s.sock.LineBufferCount(), 1) << "the CR stays";
  s.PeerSend("\nnext\r\n");
  ASSERT_TRUE(PumpUntil([&] { return s.lines.size() == 3; }));
  EXPECT_EQ(s.lines, (Lines{"ab\r\n", "\r\n", "next\r\n"}));
  EXPECT_EQ(taken.size(), 1u);
  EXPECT_EQ(s.sock.LineBufferCount(), 0);
}

TEST(LineMode, EmptyLineEndBehavesAsPlainModeWithReadsOfAtMost255) {
  LineSession s;
  ASSERT_TRUE(s.Open());
  s.sock.SetLineEnd("");
  std::string data = Pattern(1000);
  s.PeerSend(data);
  ASSERT_TRUE(PumpUntil([&] {
    std::size_t total = 0;
    for (auto& l : s.lines) total += l.size();
    return total == 1000;
  }));
  std::string joined;
  for (auto& l : s.lines) {
    EXPECT_LE(l.size(), 255u);
    joined += l;
  }
  EXPECT_EQ(joined, data);
}

TEST(LineMode, EditingAppliesBackspaceAndTabsAndEchoesAsTyped) {
  struct Case {
    std::string in, line, echo;
  } cases[] = {
      {"ab\bx\r\n", "ax\r\n", std::string("ab\b \bx\r\n")},
      {"abc\tX\r\n", "abc     X\r\n", "abc     X\r\n"},
      {"abcdefgh\tX\r\n", "abcdefgh        X\r\n", "abcdefgh        X\r\n"},
      {"\bq\r\n", "q\r\n", "q\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    LineSession s;
    ASSERT_TRUE(s.Open());
    s.sock.SetLineEdit(true);
    s.sock.SetLineEcho(true);
    s.PeerSend(c.in);
    ASSERT_TRUE(PumpUntil([&] { return !s.lines.empty(); }));
    EXPECT_EQ(s.lines[0], c.line);
    EXPECT_EQ(s.PeerReceived(c.echo.size()), c.echo);
  }
}

TEST(LineMode, EchoWithoutEditingSendsTheBytesBack) {
  LineSession s;
  ASSERT_TRUE(s.Open());
  s.sock.SetLineEcho(true);
  s.PeerSend("hi\b\r\n");
  ASSERT_TRUE(PumpUntil([&] { return !s.lines.empty(); }));
  EXPECT_EQ(s.lines[0], "hi\b\r\n");
  EXPECT_EQ(s.PeerReceived(5), "hi\b\r\n");
}

TEST(LineMode, SwitchingOffWithBytesBufferedHandsThemOverAsPlainData) {
  LineSession s;
  ASSERT_TRUE(s.Open());
  s.PeerSend("ab");
  ASSERT_TRUE(PumpUntil([&] { return s.sock.LineBufferCount() == 2; }));
  s.sock.SetLineMode(false);
  ASSERT_TRUE(PumpUntil([&] { return !s.lines.empty(); }));
  EXPECT_EQ(s.lines, (Lines{"ab"}));
  EXPECT_EQ(s.sock.LineBufferCount(), 0);
}

TEST(LineMode, SwitchingOffInsideAnOfferKeepsTheUnreadRestInOrder) {
  LineSession s;
  bool first = true;
  s.read = [&] {
    if (first) {
      first = false;
      char buf[2];
      std::int32_t n = s.sock.Receive(buf, 2);
      s.Got(std::string(buf, static_cast<std::size_t>(n)));
      s.sock.SetLineMode(false);
      return;
    }
    s.Got(s.sock.ReceiveText());
  };
  ASSERT_TRUE(s.Open());
  s.PeerSend("abcdef\r\nrest\r\n");
  ASSERT_TRUE(PumpUntil([&] {
    std::string all;
    for (auto& l : s.lines) all += l;
    return all.size() >= 14;
  }));
  std::string all;
  for (auto& l : s.lines) all += l;
  EXPECT_EQ(all, "abcdef\r\nrest\r\n");
  EXPECT_EQ(s.lines[0], "ab");
}

TEST(LineMode, ClosingInsideAnOfferOffersOnlyWhatWasNotReadAndStopsSafely) {
  LineSession s;
  s.read = [&] {
    s.Got(s.sock.ReceiveText());
    if (s.lines.size() == 1) s.sock.Close();
  };
  ASSERT_TRUE(s.Open());
  s.PeerSend("one\r\ntwo\r\npartial");
  ASSERT_TRUE(PumpUntil([&] { return s.sock.State() == wsClosed; }));
  PumpIdle();
  EXPECT_EQ(s.order, (std::vector<std::string>{"one\r\n", "two\r\npartial", "<closed>"}));
  EXPECT_EQ(s.sock.LineBufferCount(), 0);
}

TEST(LineMode, LongLinesAndManyLinesArriveExactly) {
  LineSession s;
  ASSERT_TRUE(s.Open());
  s.sock.SetLineLimit(0);
  std::string data;
  for (int i = 0; i < 2000; ++i) data += Pattern(static_cast<std::size_t>(i * 37 % 3000), static_cast<std::uint32_t>(i)) + "\r\n";
  data += Pattern(200000, 9) + "\r\n";  // longer than any single read
  std::size_t off = 0;
  ASSERT_TRUE(PumpUntil([&] {
    if (off < data.size()) {
      ssize_t n = ::send(s.peer, data.data() + off, data.size() - off, MSG_DONTWAIT);
      if (n > 0) off += static_cast<std::size_t>(n);
    }
    return off == data.size();
  }, 30000));
  s.PeerClose();
  ASSERT_TRUE(PumpUntil([&] { return s.sock.State() == wsClosed; }, 30000));
  std::string joined;
  for (auto& l : s.lines) joined += l;
  EXPECT_EQ(joined.size(), data.size());
  EXPECT_EQ(Checksum(joined), Checksum(data));
  for (std::size_t i = 0; i + 1 < s.lines.size(); ++i) {
    // Every offer but a line of the pattern's own CR LF pairs ends at a line end.
    ASSERT_GE(s.lines[i].size(), 2u);
    EXPECT_EQ(s.lines[i].substr(s.lines[i].size() - 2), "\r\n");
  }
}

}  // namespace
