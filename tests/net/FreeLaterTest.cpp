// FreeLater from a handler that then pumps messages: the pump delivers MsgFreeLater while the
// handler, and the component's code around it, still run. The component must outlive them and be
// destroyed from the loop afterwards, whichever operation pumped.
#include <gtest/gtest.h>

#include <memory>

#include "SocksTestSupport.h"

using namespace testsupport;

namespace {

// Tells through a flag that outlives it when its destruction begins.
class TWatchedSocket : public TWSocket {
public:
  TWatchedSocket(TComponent* AOwner, bool& Destroyed) : TWSocket(AOwner), FDestroyed(Destroyed) {}
  ~TWatchedSocket() override { FDestroyed = true; }

private:
  bool& FDestroyed;
};

enum class Pump { PumpMessages, Flush, WaitForFlag, LingeringClose };

std::string PumpName(Pump P) {
  switch (P) {
    case Pump::PumpMessages: return "PumpMessages";
    case Pump::Flush: return "Flush";
    case Pump::WaitForFlag: return "WaitForFlag";
    case Pump::LingeringClose: return "LingeringClose";
  }
  return "?";
}
void PrintTo(Pump P, std::ostream* Out) { *Out << PumpName(P); }

// Watched (heap, owned by Owner) connected to Peer, a component that reads whatever comes.
struct FreeLaterSession {
  TComponent Owner{nullptr};
  TWSocket Listener{nullptr};
  TWSocket Peer{nullptr};
  bool Destroyed = false;
  TWatchedSocket* Watched = new TWatchedSocket(&Owner, Destroyed);
  std::size_t PeerGot = 0;

  bool Open() {
    Listener.SetAddr("127.0.0.1");
    Listener.SetPort("0");
    Listener.Listen();
    // Accepted sockets take it over: Peer's window stays small from the start, so that what it
    // has not read stays unacknowledged in Watched's kernel.
    int rcvbuf = 16 << 10;
    ::setsockopt(static_cast<int>(Listener.SocketHandle()), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    Listener.OnSessionAvailable = [this](TComponent*, std::uint16_t) { Peer.Dup(Listener.Accept()); };
    Peer.OnDataAvailable = [this](TComponent*, std::uint16_t) { PeerGot += Peer.ReceiveText().size(); };
    Watched->SetAddr("127.0.0.1");
    Watched->SetPort(Listener.GetBoundPort());
    Watched->Connect();
    return PumpUntil([&] { return Watched->State() == wsConnected && Peer.State() == wsConnected; });
  }
  // Queues more than the kernels take at once, so that a flush or a lingering close must wait
  // for the peer's reads.
  void QueueMuch() {
    std::string data = Pattern(4 << 20);  // the kernel alone takes over a MiB on loopback
    Watched->Send(data.data(), static_cast<std::int32_t>(data.size()));
  }
};

class FreeLaterThenPump : public ::testing::TestWithParam<Pump> {};

TEST_P(FreeLaterThenPump, ComponentOutlivesItsHandlerAndGoesFromTheLoop) {
  FreeLaterSession s;
  ASSERT_TRUE(s.Open());
  bool destroyedInHandler = true, handled = false;
  std::size_t peerGotInHandler = 0;
  s.Watched->OnDataAvailable = [&](TComponent* Sender, std::uint16_t) {
    auto* me = static_cast<TWatchedSocket*>(Sender);
    me->ReceiveText();
    if (handled) return;
    handled = true;
    me->FreeLater();
    switch (GetParam()) {
      case Pump::PumpMessages:
        me->PumpMessages();
        break;
      case Pump::Flush:
        s.QueueMuch();
        me->Flush();
        break;
      case Pump::WaitForFlag: {
        bool pinged = false;
        s.Peer.OnDataAvailable = [&](TComponent*, std::uint16_t) { pinged = !s.Peer.ReceiveText().empty(); };
        me->SendText("ping");
        me->WaitForFlag(pinged);
        break;
      }
      case Pump::LingeringClose:
        me->SetLingerOnOff(wsLingerOn);
        me->SetLingerTimeout(30);
        me->ApplyLinger();
        s.QueueMuch();
        me->Close();
        break;
    }
    peerGotInHandler = s.PeerGot;
    destroyedInHandler = s.Destroyed;  // read from outside the object: safe either way
    if (!s.Destroyed) {
      EXPECT_EQ(me->Owner(), &s.Owner);
    }
  };
  ASSERT_EQ(s.Peer.SendText("go"), 2);
  ASSERT_TRUE(PumpUntil([&] { return handled; }));
  EXPECT_FALSE(destroyedInHandler) << "destroyed under its own running handler";
  if (GetParam() == Pump::Flush || GetParam() == Pump::LingeringClose) {
    EXPECT_GT(peerGotInHandler, 0u) << "the operation must really have pumped the peer's reads";
  }
  ASSERT_TRUE(PumpUntil([&] { return s.Destroyed; })) << "FreeLater must still destroy it";
  EXPECT_EQ(s.Owner.ComponentCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(FreeLater, FreeLaterThenPump,
                         ::testing::Values(Pump::PumpMessages, Pump::Flush, Pump::WaitForFlag, Pump::LingeringClose),
                         [](const ::testing::TestParamInfo<Pump>& I) { return PumpName(I.param); });

// The path the fault was found on: OnSessionConnected raised by a SOCKS 5 grant that came with
// data, whose handler frees the socket and pumps; the reply path then offers that data.
TEST(FreeLater, FromTheSocksGrantHandlerThatPumpsLeavesTheReplyPathItsObject) {
  ScriptedPeer peer;
  const std::string granted = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});
  peer.Script = {{Bytes({5, 1, 0}), Bytes({5, 0})},
                 {Bytes({5, 1, 0, 3, 9}) + "127.0.0.1" + Bytes({0x1F, 0x90}), granted + "hello"}};
  TComponent owner(nullptr);
  bool destroyed = false, destroyedInHandler = true, connected = false;
  std::string data;
  auto* sock = new TWatchedSocket(&owner, destroyed);
  sock->SetSocksServer("127.0.0.1");
  sock->SetSocksPort(std::to_string(peer.Listener.Port));
  sock->SetAddr("127.0.0.1");
  sock->SetPort("8080");
  sock->OnDataAvailable = [&](TComponent* Sender, std::uint16_t) { data += static_cast<TWSocket*>(Sender)->ReceiveText(); };
  sock->OnSessionConnected = [&](TComponent* Sender, std::uint16_t Error) {
    if (Error != 0) return;
    connected = true;
    auto* me = static_cast<TWSocket*>(Sender);
    me->FreeLater();
    me->PumpMessages();
    destroyedInHandler = destroyed;
  };
  sock->Connect();
  ASSERT_TRUE(PumpUntil([&] {
    peer.Advance();
    return destroyed || peer.Mismatch;
  }));
  EXPECT_FALSE(peer.Mismatch);
  EXPECT_TRUE(connected);
  EXPECT_FALSE(destroyedInHandler) << "destroyed under its own running handler";
  EXPECT_EQ(data, "hello") << "the bytes behind the grant still reach the application";
  EXPECT_EQ(owner.ComponentCount(), 0);
}

// A component's own pump outside any handler of it (here, another component's handler calls
// Flush on it after FreeLater) must not destroy it under the running Flush either.
TEST(FreeLater, FlushCalledFromAnotherComponentsHandlerKeepsTheFlushedComponent) {
  FreeLaterSession s;
  ASSERT_TRUE(s.Open());
  bool destroyedInFlush = true, handled = false;
  s.Peer.OnDataAvailable = [&](TComponent*, std::uint16_t) {
    s.PeerGot += s.Peer.ReceiveText().size();
    if (handled) return;
    handled = true;
    s.Watched->FreeLater();
    s.QueueMuch();
    s.Watched->Flush();
    destroyedInFlush = s.Destroyed;
  };
  ASSERT_EQ(s.Watched->SendText("go"), 2);
  ASSERT_TRUE(PumpUntil([&] { return handled; }));
  EXPECT_FALSE(destroyedInFlush);
  ASSERT_TRUE(PumpUntil([&] { return s.Destroyed; }));
}

}  // namespace
