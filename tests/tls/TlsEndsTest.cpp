// The ends of a TLS stream over the socket component: close_notify in either direction is a
// half-close with the other direction still flowing, Shutdown before the handshake has completed
// waits for it, a TCP end without close_notify is a truncation, a reset stays a reset, and a
// slow reader holds the sender back. Both ends are our sockets here (OpenSSL on both), except
// where openssl's own client ends the stream.
#include <gtest/gtest.h>

#include "TlsTestSupport.h"

using namespace tlstest;

namespace {

constexpr TWSocketOptions kHalfOpen{wsoAllowHalfOpen};

struct THalfCloseCase {
  const char* Name;
  bool ClientFirst;  // the client ends its side first
};
void PrintTo(const THalfCloseCase& C, std::ostream* Os) { *Os << C.Name; }  // the case's name in test lists

class TlsHalfClose : public testing::TestWithParam<THalfCloseCase> {};

TEST_P(TlsHalfClose, CloseNotifyEndsOneDirectionAndTheOtherStillFlows) {
  TTlsPair p;
  p.Client.SetComponentOptions(kHalfOpen);
  p.Server.SetComponentOptions(kHalfOpen);
  ASSERT_TRUE(p.Open());
  ASSERT_EQ(p.ClientEvents.HandshakeError, 0) << p.ClientEvents.ErrorText;
  TWSocket& first = GetParam().ClientFirst ? p.Client : p.Server;
  TWSocket& second = GetParam().ClientFirst ? p.Server : p.Client;
  TTlsEvents& firstEvents = GetParam().ClientFirst ? p.ClientEvents : p.ServerEvents;
  TTlsEvents& secondEvents = GetParam().ClientFirst ? p.ServerEvents : p.ClientEvents;
  std::string atFirst, atSecond;
  Collect(first, atFirst);
  Collect(second, atSecond);

  const std::string one = Pattern(3 << 20, 11), two = Pattern(5 << 20, 12);
  first.Send(one.data(), static_cast<std::int32_t>(one.size()));
  first.Shutdown(1);  // close_notify behind the 3 MiB
  EXPECT_THROW(first.Send("x", 1), ESocketException);  // nothing may follow the end
  ASSERT_TRUE(PumpUntil([&] { return secondEvents.PeerShutdowns > 0; }, 20000));
  EXPECT_EQ(atSecond.size(), one.size());
  EXPECT_EQ(Checksum(atSecond), Checksum(one));
  EXPECT_EQ(secondEvents.EndSeen, tpeCloseNotify);
  EXPECT_EQ(second.State(), wsConnected);

  // The other direction goes on after the first one has ended.
  second.Send(two.data(), static_cast<std::int32_t>(two.size()));
  ASSERT_TRUE(PumpUntil([&] { return atFirst.size() >= two.size(); }, 20000));
  EXPECT_EQ(firstEvents.PeerShutdowns, 0);
  second.Shutdown(1);
  ASSERT_TRUE(PumpUntil([&] { return firstEvents.Closes > 0 && secondEvents.Closes > 0; }, 20000));
  EXPECT_EQ(atFirst.size(), two.size());
  EXPECT_EQ(Checksum(atFirst), Checksum(two));
  EXPECT_EQ(firstEvents.PeerShutdowns, 1);
  EXPECT_EQ(firstEvents.EndSeen, tpeCloseNotify);
  EXPECT_EQ(firstEvents.CloseError, 0);
  EXPECT_EQ(secondEvents.CloseError, 0);
}

INSTANTIATE_TEST_SUITE_P(Order, TlsHalfClose,
                         testing::Values(THalfCloseCase{"ClientFirst", true}, THalfCloseCase{"ServerFirst", false}),
                         [](const testing::TestParamInfo<THalfCloseCase>& i) { return std::string(i.param.Name); });

TEST(TlsEnds, SendAndShutdownBeforeTheHandshakeWaitForIt) {
  ComponentPair p;
  ASSERT_TRUE(p.Open());
  TTlsEvents client, server;
  client.Attach(p.Client);
  server.Attach(p.Server);
  p.Server.SetComponentOptions(kHalfOpen);
  std::string got;
  Collect(p.Server, got);
  int sent = 0;
  p.Client.OnDataSent = [&](TComponent*, std::uint16_t) { ++sent; };
  p.Server.StartTls(std::make_unique<TTlsEngine>(ServerContext()));
  p.Client.StartTls(std::make_unique<TTlsEngine>(ClientContext(), "localhost"));
  const std::string data = Pattern(200000, 5);
  p.Client.Send(data.data(), static_cast<std::int32_t>(data.size()));
  EXPECT_GE(p.Client.BufferedSendBytes(), static_cast<std::int64_t>(data.size()));  // held for the handshake
  EXPECT_FALSE(p.Client.AllSent());
  p.Client.Shutdown(1);
  ASSERT_TRUE(PumpUntil([&] { return server.PeerShutdowns > 0; }));
  EXPECT_EQ(client.HandshakeError, 0);
  EXPECT_EQ(got.size(), data.size());
  EXPECT_EQ(Checksum(got), Checksum(data));
  EXPECT_EQ(server.EndSeen, tpeCloseNotify);
  EXPECT_EQ(p.Client.BufferedSendBytes(), 0);
  EXPECT_TRUE(PumpUntil([&] { return sent > 0; }));  // OnDataSent once the plaintext had gone
}

struct TTruncationCase {
  const char* Name;
  bool HalfOpen;
};
void PrintTo(const TTruncationCase& C, std::ostream* Os) { *Os << C.Name; }  // the case's name in test lists

class TlsTruncation : public testing::TestWithParam<TTruncationCase> {};

TEST_P(TlsTruncation, TcpEndWithoutCloseNotifyIsReportedAsTruncated) {
  TTlsPair p;
  if (GetParam().HalfOpen) p.Server.SetComponentOptions(kHalfOpen);
  ASSERT_TRUE(p.Open());
  std::string got;
  Collect(p.Server, got);
  const std::string data = Pattern(1 << 20, 9);
  p.Client.SetTlsCloseNotify(false);  // the client ends as a peer that loses its last record would
  p.Client.Send(data.data(), static_cast<std::int32_t>(data.size()));
  p.Client.Shutdown(1);
  ASSERT_TRUE(PumpUntil([&] { return p.ServerEvents.PeerShutdowns > 0 || p.ServerEvents.Closes > 0; }));
  EXPECT_EQ(got.size(), data.size());
  EXPECT_EQ(Checksum(got), Checksum(data));
  EXPECT_EQ(p.ServerEvents.EndSeen, tpeTruncated);
  if (GetParam().HalfOpen) {
    EXPECT_EQ(p.ServerEvents.PeerShutdowns, 1);
    EXPECT_EQ(p.Server.State(), wsConnected);
  } else {
    EXPECT_EQ(p.ServerEvents.CloseError, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, TlsTruncation,
                         testing::Values(TTruncationCase{"HalfOpen", true}, TTruncationCase{"Closing", false}),
                         [](const testing::TestParamInfo<TTruncationCase>& i) { return std::string(i.param.Name); });

TEST(TlsEnds, ResetAfterDataStaysAResetAndTheDataArrivesFirst) {
  TTlsPair p;
  ASSERT_TRUE(p.Open());
  std::string got;
  Collect(p.Server, got);
  const std::string data = Pattern(2 << 20, 13);
  p.Client.Send(data.data(), static_cast<std::int32_t>(data.size()));
  p.Client.CloseWithReset();  // after the last record has been acknowledged
  ASSERT_TRUE(PumpUntil([&] { return p.ServerEvents.Closes > 0; }, 20000));
  EXPECT_EQ(p.ServerEvents.CloseError, platform::WSAECONNRESET);
  EXPECT_EQ(got.size(), data.size());
  EXPECT_EQ(Checksum(got), Checksum(data));
  EXPECT_EQ(p.ServerEvents.PeerShutdowns, 0);
}

TEST(TlsEnds, CloseSendsCloseNotify) {
  TTlsPair p;
  p.Server.SetComponentOptions(kHalfOpen);
  ASSERT_TRUE(p.Open());
  p.Client.Close();
  ASSERT_TRUE(PumpUntil([&] { return p.ServerEvents.PeerShutdowns > 0; }));
  EXPECT_EQ(p.ServerEvents.EndSeen, tpeCloseNotify);
}

TEST(TlsEnds, PeerCloseNotifyWithoutHalfOpenClosesAndAnswers) {
  TTlsPair p;
  p.Client.SetComponentOptions(kHalfOpen);
  ASSERT_TRUE(p.Open());
  std::string got;
  Collect(p.Client, got);
  p.Server.SendText("last words");
  p.Server.Shutdown(1);
  // The server's side is not half-open: the client's answering close_notify ends it.
  ASSERT_TRUE(PumpUntil([&] { return p.ClientEvents.PeerShutdowns > 0; }));
  EXPECT_EQ(got, "last words");
  p.Client.Shutdown(1);
  ASSERT_TRUE(PumpUntil([&] { return p.ServerEvents.Closes > 0 && p.ClientEvents.Closes > 0; }));
  EXPECT_EQ(p.ServerEvents.CloseError, 0);
  EXPECT_EQ(p.ServerEvents.EndSeen, tpeCloseNotify);
}

TEST(TlsEnds, OpenSslClientsCloseNotifyIsAPeerShutdown) {
  TWSocket listener{nullptr}, sock{nullptr};
  TTlsEvents events;
  std::string got;
  sock.SetComponentOptions(kHalfOpen);
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.Listen();
  listener.OnSessionAvailable = [&](TComponent*, std::uint16_t) {
    sock.Dup(listener.Accept());
    sock.StartTls(std::make_unique<TTlsEngine>(ServerContext()));
  };
  events.Attach(sock);
  Collect(sock, got);
  // -brief: at the end of its input the client sends close_notify, then leaves; -nocommands:
  // a line of the data that starts with Q or R is data, not a command.
  TChild peer({"openssl", "s_client", "-connect", "127.0.0.1:" + listener.GetBoundPort(), "-brief", "-nocommands"});
  const std::string data = Pattern(300000, 21);
  std::size_t written = 0;
  ASSERT_TRUE(PumpUntil([&] {
    peer.Read();
    if (events.Handshakes > 0) peer.Write(data, written);
    return got.size() >= data.size() || events.Closes > 0;
  }, 20000)) << peer.Errors;
  EXPECT_EQ(events.PeerShutdowns, 0);
  peer.CloseInput();
  ASSERT_TRUE(PumpUntil([&] { return events.PeerShutdowns > 0 || events.Closes > 0; })) << peer.Errors;
  EXPECT_EQ(got.size(), data.size());
  EXPECT_EQ(Checksum(got), Checksum(data));
  EXPECT_EQ(events.PeerShutdowns, 1);
  EXPECT_EQ(events.EndSeen, tpeCloseNotify);
}

TEST(TlsEnds, KilledOpenSslClientIsATruncation) {
  TWSocket listener{nullptr}, sock{nullptr};
  TTlsEvents events;
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.Listen();
  listener.OnSessionAvailable = [&](TComponent*, std::uint16_t) {
    sock.Dup(listener.Accept());
    sock.StartTls(std::make_unique<TTlsEngine>(ServerContext()));
  };
  events.Attach(sock);
  TChild peer({"openssl", "s_client", "-connect", "127.0.0.1:" + listener.GetBoundPort(), "-quiet"});
  ASSERT_TRUE(PumpUntil([&] { return events.Handshakes > 0; }));
  // Once the client has read everything (our session tickets too), its kernel ends the stream
  // with an orderly end rather than a reset when it is killed.
  sock.SendText("ping\n");
  ASSERT_TRUE(PumpUntil([&] {
    peer.Read();
    return peer.Output == "ping\n";
  }));
  ::kill(peer.Pid, SIGKILL);
  ASSERT_TRUE(PumpUntil([&] { return events.Closes > 0; }));
  EXPECT_EQ(events.CloseError, 0);
  EXPECT_EQ(events.EndSeen, tpeTruncated);
}

// ---- flow control ----

TEST(TlsFlowControl, PausedReaderHoldsTheSenderBack) {
  TTlsPair p;
  ASSERT_TRUE(p.Open());
  std::string got;
  Collect(p.Server, got);
  p.Server.PauseReceiving();
  const std::string data = Pattern(32 << 20, 31);
  p.Client.Send(data.data(), static_cast<std::int32_t>(data.size()));
  PumpIdle(50);
  // The reader takes nothing while paused, and the bytes stay with the sender, not in the
  // reader's memory: at most what the kernels' buffers hold (some MiB) has left the sender.
  EXPECT_EQ(got.size(), 0u);
  EXPECT_GT(p.Client.BufferedSendBytes(), static_cast<std::int64_t>(16 << 20));
  p.Server.ResumeReceiving();
  ASSERT_TRUE(PumpUntil([&] { return got.size() >= data.size(); }, 30000))
      << got.size() << " " << p.Client.BufferedSendBytes() << " " << p.Server.RcvdCount() << " " << p.Server.ReceivingPaused();
  EXPECT_EQ(got.size(), data.size());
  EXPECT_EQ(Checksum(got), Checksum(data));
}

TEST(TlsFlowControl, PlaintextHeldByTheLayerIsNotifiedAfterResuming) {
  TTlsPair p;
  ASSERT_TRUE(p.Open());
  std::string got;
  bool pauseNext = true;
  p.Server.OnDataAvailable = [&](TComponent*, std::uint16_t) {
    char buf[1000];
    std::int32_t n = p.Server.Receive(buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    if (pauseNext) {
      pauseNext = false;
      p.Server.PauseReceiving();
    }
  };
  // One record: after the first 1000 bytes the rest is in the engine, none in the kernel.
  const std::string data = Pattern(15000, 41);
  p.Client.Send(data.data(), static_cast<std::int32_t>(data.size()));
  ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }));
  PumpIdle(20);
  EXPECT_EQ(got.size(), 1000u);
  EXPECT_EQ(p.Server.RcvdCount(), 14000);
  p.Server.ResumeReceiving();
  ASSERT_TRUE(PumpUntil([&] { return got.size() >= data.size(); }));
  EXPECT_EQ(got, data);
}

TEST(TlsFlowControl, OneNotificationPerReadWithNoReceiveLoop) {
  TTlsPair p;
  p.Server.SetComponentOptions(TWSocketOptions{wsoNoReceiveLoop});
  ASSERT_TRUE(p.Open());
  std::string got;
  int notifications = 0;
  p.Server.OnDataAvailable = [&](TComponent*, std::uint16_t) {
    ++notifications;
    char buf[4096];
    std::int32_t n = p.Server.Receive(buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
  };
  const std::string data = Pattern(100000, 43);
  p.Client.Send(data.data(), static_cast<std::int32_t>(data.size()));
  ASSERT_TRUE(PumpUntil([&] { return got.size() >= data.size(); }));
  EXPECT_EQ(got, data);
  EXPECT_GE(notifications, static_cast<int>(data.size() / 4096));
}

// A peer that sends its last bytes and close_notify in one write, then keeps the TCP connection
// open waiting for our close_notify (as openssl s_server -www does): nothing more arrives from the
// kernel, so the end read behind the bytes must be notified by the layer itself.
TEST(TlsEnds, CloseNotifyReadWithTheLastBytesIsAPeerShutdownWithOneReadPerNotification) {
  ComponentPair p;
  p.Server.SetComponentOptions(TWSocketOptions{wsoNoReceiveLoop, wsoAllowHalfOpen});
  ASSERT_TRUE(p.Open());
  TTlsEvents events;
  events.Attach(p.Server);
  std::string got;
  Collect(p.Server, got);
  p.Server.StartTls(std::make_unique<TTlsEngine>(ServerContext()));
  // The peer: a client engine over the plain socket, driven by hand.
  TTlsEngine peer(ClientContext(), "localhost");
  std::string fromServer;
  p.Client.OnDataAvailable = [&](TComponent*, std::uint16_t) {
    char buf[65536];
    const std::int32_t n = p.Client.Receive(buf, sizeof buf);
    if (n > 0) peer.PutCiphertext(buf, static_cast<std::size_t>(n));
  };
  auto pushOut = [&] {
    std::string out(peer.CiphertextPending(), '\0');
    out.resize(peer.ReadCiphertext(out.data(), out.size()));
    if (!out.empty()) p.Client.SendText(out);
  };
  ASSERT_TRUE(PumpUntil([&] {
    const bool done = peer.Advance();
    pushOut();
    return done && events.Handshakes > 0;
  }));
  const std::string last = Pattern(5000, 44);
  ASSERT_EQ(peer.WritePlaintext(last.data(), static_cast<std::int32_t>(last.size())), static_cast<std::int32_t>(last.size()));
  ASSERT_TRUE(peer.SendCloseNotify());
  pushOut();  // records and close_notify leave in one send
  ASSERT_TRUE(PumpUntil([&] { return events.PeerShutdowns > 0; }, 5000)) << "the end behind the bytes was not notified";
  EXPECT_EQ(got.size(), last.size());
  EXPECT_EQ(Checksum(got), Checksum(last));
  EXPECT_EQ(events.EndSeen, tpeCloseNotify);
}

TEST(TlsFlowControl, ReceiveOutsideTheHandlerGetsTheRestNotified) {
  TTlsPair p;
  ASSERT_TRUE(p.Open());
  int notifications = 0;
  p.Server.OnDataAvailable = [&](TComponent*, std::uint16_t) { ++notifications; };  // reads nothing
  p.Client.SendText("0123456789");
  ASSERT_TRUE(PumpUntil([&] { return notifications > 0; }));
  PumpIdle(10);
  EXPECT_EQ(notifications, 1);  // a handler that leaves the bytes is not called again and again
  char buf[4];
  ASSERT_EQ(p.Server.Receive(buf, sizeof buf), 4);
  ASSERT_TRUE(PumpUntil([&] { return notifications > 1; }));  // the rest is news again
  EXPECT_EQ(p.Server.ReceiveText(), "456789");
}

}  // namespace

namespace {

struct TEarlyEndCase {
  const char* Name;
  bool Reset;
  std::size_t HelloBytes;  // how much of a hello the client sends before it goes
};
void PrintTo(const TEarlyEndCase& C, std::ostream* Os) { *Os << C.Name; }  // the case's name in test lists

class TlsEndDuringHandshake : public testing::TestWithParam<TEarlyEndCase> {};

TEST_P(TlsEndDuringHandshake, IsAFailedHandshakeThenTheClose) {
  TWSocket listener{nullptr}, sock{nullptr};
  TTlsEvents events;
  sock.SetComponentOptions(kHalfOpen);  // a session without a handshake cannot stay half-open
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.Listen();
  listener.OnSessionAvailable = [&](TComponent*, std::uint16_t) {
    sock.Dup(listener.Accept());
    sock.StartTls(std::make_unique<TTlsEngine>(ServerContext()));
  };
  events.Attach(sock);
  int peer = RawConnect(static_cast<std::uint16_t>(std::stoi(listener.GetBoundPort())));
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(PumpUntil([&] { return sock.TlsActive(); }));
  const std::string hello = std::string("\x16\x03\x01\x01\x00\x01\x00\x00\xfc\x03\x03", 11) + std::string(64, 'r');
  if (GetParam().HelloBytes > 0) {
    ASSERT_GT(::send(peer, hello.data(), GetParam().HelloBytes, 0), 0);
  }
  if (GetParam().Reset)
    RawReset(peer);
  else
    ::close(peer);
  ASSERT_TRUE(PumpUntil([&] { return events.Closes > 0; }));
  EXPECT_EQ(events.Handshakes, 1);
  EXPECT_EQ(events.HandshakeError, TlsHandshakeFailed);
  EXPECT_NE(events.ErrorText.find(GetParam().Reset ? "reset during the handshake" : "ended during the handshake"),
            std::string::npos)
      << events.ErrorText;
  EXPECT_EQ(events.PeerShutdowns, 0);
  EXPECT_EQ(events.CloseError, GetParam().Reset ? platform::WSAECONNRESET : TlsHandshakeFailed);
}

INSTANTIATE_TEST_SUITE_P(Ends, TlsEndDuringHandshake,
                         testing::Values(TEarlyEndCase{"CloseBeforeHello", false, 0},
                                         TEarlyEndCase{"CloseInsideHello", false, 40},
                                         TEarlyEndCase{"ResetInsideHello", true, 40}),
                         [](const testing::TestParamInfo<TEarlyEndCase>& i) { return std::string(i.param.Name); });

}  // namespace

namespace {

TEST(TlsIdleMemory, BuffersGoBackOnceTheConnectionIsIdle) {
  TTlsPair p;
  ASSERT_TRUE(p.Open());
  std::string got;
  Collect(p.Server, got);
  const std::string data = Pattern(8 << 20, 51);
  p.Client.Send(data.data(), static_cast<std::int32_t>(data.size()));
  ASSERT_TRUE(PumpUntil([&] { return got.size() >= data.size(); }, 20000));
  EXPECT_EQ(Checksum(got), Checksum(data));
  // Busy, the buffers stay (a slice of plaintext is encrypted at a time: no 8 MiB buffer).
  EXPECT_GT(p.Server.TlsEngine()->BufferCapacity(), 16384u);
  EXPECT_LT(p.Client.TlsEngine()->BufferCapacity(), 256u * 1024);
  EXPECT_EQ(p.Client.SendChainBlocks(), 0u);
  // Idle, they go; the connection still works afterwards.
  ASSERT_TRUE(PumpUntil([&] {
    return p.Server.TlsEngine()->BufferCapacity() < 4096 && p.Client.TlsEngine()->BufferCapacity() < 4096;
  }, 5000)) << p.Server.TlsEngine()->BufferCapacity() << " " << p.Client.TlsEngine()->BufferCapacity();
  got.clear();
  p.Client.SendText("still there");
  ASSERT_TRUE(PumpUntil([&] { return got == "still there"; }));
}

}  // namespace
