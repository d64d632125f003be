// The headless relay at the limit of its descriptors, in rounds: with room for a handful of
// sessions, bursts of clients many times that come and go again and again. Each client is either
// relayed byte-exact or refused with a reset and an entry that says why; every session logs its
// close; the listener stays, and once each burst has gone a client is served at once. What the
// relay keeps per descriptor, per endpoint and per client is made and dropped at every round, at
// the point where the system refuses descriptors.
#include "RelayDrivers.h"

using namespace apptest;

namespace {

std::size_t Occurrences(const std::string& Text, const std::string& What) {
  std::size_t n = 0;
  for (std::size_t at = 0; (at = Text.find(What, at)) != std::string::npos; at += What.size()) ++n;
  return n;
}

TEST(DescriptorLimit, BurstsInRoundsAreServedOrRefusedAndEverySessionEnds) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' runtime needs descriptors of its own (see the burst test of the headless
  // relay); the plain build runs this case.
  GTEST_SKIP() << "a sanitized program cannot run out of descriptors";
#endif
  TRemoteServer remote;
  remote.Echo = true;
  TChildProgram program({"--headless", "--local-port", "0", "--remote-addr", "127.0.0.1", "--remote-port",
                         std::to_string(remote.Listener.Port)},
                        {}, 40);
  const std::uint16_t port = program.ListeningPort();
  ASSERT_NE(port, 0) << program.Err();
  constexpr int kRounds = 3, kClients = 48;
  int served = 0, refused = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round + 1));
    std::vector<std::unique_ptr<TPeer>> locals;
    auto message = [round](int i) { return "round " + std::to_string(round) + " client " + std::to_string(i) + "\n"; };
    for (int i = 0; i < kClients; ++i) {
      locals.push_back(std::make_unique<TPeer>(RawConnect(port)));
      locals.back()->ToSend = message(i);
    }
    auto service = [&] {
      remote.Service();
      for (auto& l : locals) l->Service();
    };
    ASSERT_TRUE(RunUntil([&] {
      bool all = true;
      for (int i = 0; i < kClients; ++i) {
        TPeer& l = *locals[static_cast<std::size_t>(i)];
        const bool settled = l.Reset || l.Received == message(i);
        if (settled && !l.Closed) l.Close();  // its descriptors in the relay are free for the next
        all = all && settled;
      }
      return all;
    }, service, 60000)) << program.Err();
    for (int i = 0; i < kClients; ++i) {
      const TPeer& l = *locals[static_cast<std::size_t>(i)];
      if (l.Reset) {
        ++refused;
        EXPECT_TRUE(message(i).rfind(l.Received, 0) == 0) << "a refused client gets nothing but its own bytes";
      } else {
        ++served;
      }
    }
    // The burst has gone (the remote server has seen every session of it end): a client is
    // served again, at the latest once the relay has closed what those sessions held.
    ASSERT_TRUE(RunUntil([&] {
      for (const auto& peer : remote.Peers)
        if (!peer->Closed) return false;
      return true;
    }, service, 30000));
    remote.Peers.clear();
    bool lateServed = false;
    for (int attempt = 0; attempt < 50 && !lateServed; ++attempt) {
      TPeer late(RawConnect(port));
      late.ToSend = "late " + std::to_string(round) + "\n";
      ASSERT_TRUE(RunUntil([&] { return late.Received == late.ToSend || late.Reset; }, [&] {
        remote.Service();
        late.Service();
      }, 30000));
      lateServed = !late.Reset;
      ++(lateServed ? served : refused);
      late.Close();
      ASSERT_TRUE(RunUntil([&] {
        for (const auto& peer : remote.Peers)
          if (!peer->Closed) return false;
        return true;
      }, [&] { remote.Service(); }, 30000));
      remote.Peers.clear();
    }
    EXPECT_TRUE(lateServed) << program.Err();
  }
  program.Signal(SIGTERM);
  EXPECT_EQ(program.WaitExit(), 0) << program.Err();
  const std::string out = program.Out();
  const int clients = served + refused;
  EXPECT_GE(clients, kRounds * (kClients + 1));
  EXPECT_GT(served, kRounds * 2) << "every round serves some";
  EXPECT_EQ(Occurrences(out, "Error: Connection failed"), static_cast<std::size_t>(refused))
      << "each refused client has its entry";
  EXPECT_EQ(Occurrences(out, "Connection Opened"), static_cast<std::size_t>(served));
  // Every session ends; a client object whose accept failed for want of a descriptor logs its
  // close too, without a session.
  EXPECT_GE(Occurrences(out, "Connection Closed"), static_cast<std::size_t>(clients)) << "every session ends";
  EXPECT_TRUE(refused > 0 || program.Err().find("it waits until a session ends") != std::string::npos)
      << "the limit was never reached: the case tests nothing\n" << program.Err();
}

}  // namespace
