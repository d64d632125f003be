// Half-closing the send side: Shutdown(1) and Shutdown(2) with bytes still in the send chain
// deliver every one of them before the end of the stream, and a Send after the shutdown fails as
// the socket call would (10058) instead of queueing bytes that can never leave.
#include <gtest/gtest.h>

#include "SocketTestSupport.h"

using namespace testsupport;

namespace {

// A component connected to a raw peer whose receive buffer is small, so that a large Send leaves
// most of its bytes in the chain.
struct SlowPeerSession {
  RawListener listener;
  std::vector<std::string> events;  // outlives the socket, whose destruction raises OnChangeState
  TWSocket sock{nullptr};
  int peer = -1;

  bool Open() {
    SmallReceiveBuffer(listener.Fd);
    sock.OnSessionClosed = [&](TComponent*, std::uint16_t e) { events.push_back("Closed " + std::to_string(e)); };
    sock.OnBgException = [&](TComponent*, Exception& E, bool&) { events.push_back("BgException " + E.Message()); };
    sock.OnChangeState = [&](TComponent*, TSocketState o, TSocketState n) {
      events.push_back("State " + std::to_string(o) + ">" + std::to_string(n));
    };
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(listener.Port));
    sock.Connect();
    peer = listener.AcceptPumping();
    bool ok = peer >= 0 && PumpUntil([&] { return sock.State() == wsConnected; });
    events.clear();
    return ok;
  }

  // Reads until the end of the stream (or an error), a few KiB at a time, pumping between reads.
  // Errno of the failed read, or 0 for an orderly end; -1 when neither came in time.
  int PeerReadToEnd(std::string& Got, std::size_t Chunk = 4096) { return ReadToEnd(peer, Got, Chunk); }

  ~SlowPeerSession() {
    if (peer >= 0) ::close(peer);
  }
};

class ShutdownWithQueuedBytes : public ::testing::TestWithParam<int> {};

TEST_P(ShutdownWithQueuedBytes, DeliversEveryQueuedByteBeforeTheEndOfStream) {
  SlowPeerSession s;
  ASSERT_TRUE(s.Open());
  std::string data = Pattern(8 << 20, 7);
  ASSERT_EQ(s.sock.Send(data.data(), static_cast<std::int32_t>(data.size())), static_cast<std::int32_t>(data.size()));
  ASSERT_GT(s.sock.BufferedSendBytes(), 1 << 20) << "most of it must still wait in the chain";
  s.sock.Shutdown(GetParam());
  EXPECT_EQ(s.sock.State(), wsConnected);

  std::string got;
  EXPECT_EQ(s.PeerReadToEnd(got), 0) << "an orderly end of stream after the last byte";
  ASSERT_EQ(got.size(), data.size());
  EXPECT_EQ(Checksum(got), Checksum(data));
  EXPECT_TRUE(s.events.empty()) << TracePrint(s.events);
  EXPECT_EQ(s.sock.State(), wsConnected) << "a half-close is not a close";
  EXPECT_EQ(s.sock.BufferedSendBytes(), 0);

  ::close(s.peer);
  s.peer = -1;
  ASSERT_TRUE(PumpUntil([&] { return s.sock.State() == wsClosed; }));
  EXPECT_EQ(s.events, (std::vector<std::string>{"Closed 0", "State 4>7"}));
}

INSTANTIATE_TEST_SUITE_P(Shutdown, ShutdownWithQueuedBytes, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& I) {
                           return I.param == 1 ? std::string("SendSide") : std::string("BothSides");
                         });

// Once the send side is shut, or waits to be shut, no byte can leave any more: a Send is refused
// as the socket call refuses it, and nothing is queued.
TEST(Shutdown, SendAfterAPendingOrDoneShutdownFailsWith10058AndQueuesNothing) {
  for (bool pending : {true, false}) {
    SCOPED_TRACE(pending ? "pending" : "done");
    SlowPeerSession s;
    ASSERT_TRUE(s.Open());
    if (pending) {
      std::string data = Pattern(4 << 20);
      s.sock.Send(data.data(), static_cast<std::int32_t>(data.size()));
      ASSERT_FALSE(s.sock.AllSent());
    }
    s.sock.Shutdown(1);
    const std::int64_t queued = s.sock.BufferedSendBytes();
    try {
      s.sock.SendText("late");
      ADD_FAILURE() << "Send after Shutdown must report";
    } catch (ESocketException& E) {
      EXPECT_EQ(E.Message(), "Error 10058 in function Send\r\nCan't send after socket shutdown");
    }
    int errors = 0;
    s.sock.OnError = [&](TComponent*) { ++errors; };
    EXPECT_EQ(s.sock.SendText("late"), -1);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.sock.LastError(), 10058);
    EXPECT_EQ(s.sock.BufferedSendBytes(), queued) << "nothing of the refused sends is queued";
    EXPECT_EQ(s.sock.State(), wsConnected) << "10058 does not close the socket";

    std::string got;
    EXPECT_EQ(s.PeerReadToEnd(got), 0);
    EXPECT_EQ(got.size(), pending ? std::size_t{4 << 20} : 0u) << "and none of them reaches the peer";
    EXPECT_TRUE(s.events.empty()) << TracePrint(s.events);
  }
}

// Close and Abort keep their meaning: a close does not wait for a pending shutdown's bytes.
TEST(Shutdown, CloseWhileTheShutdownWaitsForTheChainClosesAtOnce) {
  SlowPeerSession s;
  ASSERT_TRUE(s.Open());
  std::string data = Pattern(4 << 20);
  s.sock.Send(data.data(), static_cast<std::int32_t>(data.size()));
  s.sock.Shutdown(1);
  s.sock.Close();
  EXPECT_EQ(s.events, (std::vector<std::string>{"State 4>7", "Closed 0"}));
  PumpIdle();
  EXPECT_EQ(s.events.size(), 2u) << "nothing of the pending shutdown survives the close";
}

}  // namespace

namespace {

// A lingering close pumps messages until the kernel has delivered what it holds. The chain's bytes
// stay unsent (a close does not wait for them): the FD_WRITE notifications that the pump delivers
// must not push them after the close's own shutdown, which failed with 10058, aborted the socket
// from inside the close and made the close report 10038 on the handle the abort had closed.
TEST(Shutdown, LingeringCloseWithBytesInTheChainEndsOnceAndDeliversWhatTheKernelHeld) {
  TWSocket listener(nullptr), peer(nullptr), sock(nullptr);
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.Listen();
  int rcvbuf = 16 << 10;  // taken over by the accepted socket: a small window from the start
  ::setsockopt(static_cast<int>(listener.SocketHandle()), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  listener.OnSessionAvailable = [&](TComponent*, std::uint16_t) { peer.Dup(listener.Accept()); };
  std::string got;
  std::vector<std::string> peerEvents, events;
  peer.OnDataAvailable = [&](TComponent*, std::uint16_t) { got += peer.ReceiveText(); };
  peer.OnSessionClosed = [&](TComponent*, std::uint16_t e) { peerEvents.push_back("Closed " + std::to_string(e)); };
  sock.OnSessionClosed = [&](TComponent*, std::uint16_t e) { events.push_back("Closed " + std::to_string(e)); };
  sock.OnBgException = [&](TComponent*, Exception& E, bool&) { events.push_back("BgException " + E.Message()); };
  sock.OnChangeState = [&](TComponent*, TSocketState o, TSocketState n) {
    events.push_back("State " + std::to_string(o) + ">" + std::to_string(n));
  };
  sock.SetLingerTimeout(30);  // with LingerOnOff's default, on
  sock.SetAddr("127.0.0.1");
  sock.SetPort(listener.GetBoundPort());
  sock.Connect();
  ASSERT_TRUE(PumpUntil([&] { return sock.State() == wsConnected && peer.State() == wsConnected; }));
  events.clear();
  std::string data = Pattern(4 << 20, 11);
  sock.Send(data.data(), static_cast<std::int32_t>(data.size()));
  ASSERT_GT(sock.BufferedSendBytes(), 0);
  EXPECT_NO_THROW(sock.Close());
  EXPECT_EQ(events, (std::vector<std::string>{"State 4>7", "Closed 0"}));
  ASSERT_TRUE(PumpUntil([&] { return !peerEvents.empty(); }));
  EXPECT_EQ(peerEvents, (std::vector<std::string>{"Closed 0"})) << "an orderly end, after every byte the kernel held";
  ASSERT_GT(got.size(), 0u);
  ASSERT_LT(got.size(), data.size()) << "the chain's bytes are not sent by a close";
  EXPECT_EQ(Checksum(got), Checksum(data.substr(0, got.size())));
}

}  // namespace
