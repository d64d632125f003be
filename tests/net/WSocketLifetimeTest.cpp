// Closing and freeing from inside handlers, deferred messages, background exceptions, and the
// count of socket components that keeps the socket library loaded.
#include <gtest/gtest.h>

#include "SocketTestSupport.h"
#include "net/WinsockBinding.h"

using namespace testsupport;
using Events = std::vector<std::string>;

namespace {

struct Session {
  RawListener listener;
  TWSocket* sock;
  Trace trace;
  int peer = -1;
  explicit Session(TComponent* owner = nullptr) : sock(new TWSocket(owner)) {}
  bool Open() {
    trace.Attach(*sock);
    sock->SetAddr("127.0.0.1");
    sock->SetPort(std::to_string(listener.Port));
    sock->Connect();
    peer = listener.AcceptPumping();
    return peer >= 0 && PumpUntil([&] { return trace.Has("DataSent 0"); });
  }
  ~Session() {
    if (peer >= 0) ::close(peer);
  }
};

TEST(Lifetime, HandlerThatClosesOnSessionClosedClosesOnceAndRaisesOnce) {
  Session s;
  std::unique_ptr<TWSocket> own(s.sock);
  ASSERT_TRUE(s.Open());
  s.trace.Events.clear();
  s.sock->OnSessionClosed = [&](TComponent*, std::uint16_t e) {
    s.trace.Events.push_back("Closed " + std::to_string(e));
    s.sock->Close();
  };
  ::close(s.peer);
  s.peer = -1;
  ASSERT_TRUE(PumpUntil([&] { return s.sock->State() == wsClosed; }));
  PumpIdle();
  EXPECT_EQ(s.trace.WithoutData(), (Events{"Closed 0", "State 4>7"}));
}

TEST(Lifetime, CloseLaterTwiceClosesOnce) {
  Session s;
  std::unique_ptr<TWSocket> own(s.sock);
  ASSERT_TRUE(s.Open());
  s.trace.Events.clear();
  s.sock->CloseLater();
  s.sock->CloseLater();
  EXPECT_EQ(s.sock->State(), wsConnected) << "nothing happens before the loop runs";
  PumpIdle();
  EXPECT_EQ(s.trace.Events, (Events{"State 4>7", "Closed 0"}));
}

TEST(Lifetime, FreeLaterFromAHandlerDestroysFromTheLoopAndLeavesTheOwner) {
  TComponent owner(nullptr);
  Session s(&owner);
  ASSERT_TRUE(s.Open());
  EXPECT_EQ(owner.ComponentCount(), 1);
  s.sock->OnDataAvailable = [&](TComponent* sender, std::uint16_t) {
    auto* me = static_cast<TWSocket*>(sender);
    me->ReceiveText();
    me->FreeLater();
  };
  ASSERT_EQ(::send(s.peer, "x", 1, 0), 1);
  ASSERT_TRUE(PumpUntil([&] { return owner.ComponentCount() == 0; }));
}

TEST(Lifetime, MessagesForADestroyedComponentAreDropped) {
  auto* sock = new TWSocket(nullptr);
  platform::HWND wnd = sock->NotifyWindow();
  sock->CloseLater();
  sock->FreeLater();
  delete sock;
  EXPECT_FALSE(platform::IsWindow(wnd));
  EXPECT_FALSE(platform::PostMessage(wnd, MsgCloseLater, 0, 0));
  PumpIdle();  // under AddressSanitizer a delivered message would be a use after free
}

TEST(Lifetime, ExceptionInAHandlerAbortsUnlessOnBgExceptionKeepsTheSocket) {
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "kept" : "aborted");
    Session s;
    std::unique_ptr<TWSocket> own(s.sock);
    std::string seen;
    s.trace.Attach(*s.sock);
    s.sock->OnSessionConnected = [&](TComponent*, std::uint16_t) {
      s.trace.Events.push_back("Connected");
      throw ESocketException("boom");
    };
    if (keep)
      s.sock->OnBgException = [&](TComponent*, Exception& E, bool& CanClose) {
        seen = E.Message();
        CanClose = false;
      };
    s.sock->SetAddr("127.0.0.1");
    s.sock->SetPort(std::to_string(s.listener.Port));
    s.sock->Connect();
    ASSERT_TRUE(PumpUntil([&] { return s.trace.Has("Connected"); }));
    if (keep) {
      EXPECT_EQ(seen, "boom");
      EXPECT_EQ(s.sock->State(), wsConnected);
    } else {
      auto e = s.trace.Events;
      auto it = std::find(e.begin(), e.end(), "Connected");
      ASSERT_NE(it, e.end());
      EXPECT_EQ(Events(it, e.end()), (Events{"Connected", "State 4>7", "Closed 0"}));
    }
  }
}

TEST(Lifetime, TestExceptionMessageReachesOnBgException) {
  TWSocket sock(nullptr);
  std::string seen;
  sock.OnBgException = [&](TComponent*, Exception& E, bool&) { seen = E.Message(); };
  platform::PostMessage(sock.NotifyWindow(), MsgTestException, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "Test exception in WSocket");
}

TEST(Lifetime, NotificationAboutAnotherHandleIsIgnored) {
  Session s;
  std::unique_ptr<TWSocket> own(s.sock);
  ASSERT_TRUE(s.Open());
  s.trace.Events.clear();
  platform::PostMessage(s.sock->NotifyWindow(), MsgSocketEvent, s.sock->SocketHandle() + 1000,
                        platform::MakeLong(platform::FD_CLOSE, 0));
  platform::PostMessage(s.sock->NotifyWindow(), MsgSocketEvent, s.sock->SocketHandle() + 1000,
                        platform::MakeLong(platform::FD_CONNECT, 10061));
  PumpIdle();
  EXPECT_TRUE(s.trace.Events.empty());
  EXPECT_EQ(s.sock->State(), wsConnected);
}

TEST(Lifetime, LastComponentReleasesTheLibraryAndTheNextLoadsItAgain) {
  ASSERT_EQ(winsock::WinsockUsers, 0) << "no socket component may outlive its test";
  int cleanups = platform::CleanupCount();
  int startups = platform::StartupCount();
  {
    TWSocket a(nullptr);
    {
      TWSocket b(nullptr);
      b.SetAddr("127.0.0.1");
      b.SetPort("0");
      b.Listen();  // any socket call loads the library
      EXPECT_EQ(winsock::WinsockUsers, 2);
    }
    EXPECT_EQ(platform::CleanupCount(), cleanups) << "one of two destroyed keeps the library";
    EXPECT_TRUE(winsock::WinsockLoaded());
  }
  EXPECT_EQ(platform::CleanupCount(), cleanups + 1);
  EXPECT_FALSE(winsock::WinsockLoaded());
  EXPECT_EQ(winsock::WinsockUsers, 0);
  TWSocket c(nullptr);
  c.DnsLookup("127.0.0.1");
  EXPECT_EQ(platform::StartupCount(), startups + 2);
}

TEST(Lifetime, MissingNotifyWindowIsReportedByTheFirstSelect) {
  platform::FailNextWindowCreations(1);
  TWSocket sock(nullptr);
  EXPECT_EQ(sock.NotifyWindow(), 0u);
  RawListener l;
  sock.SetAddr("127.0.0.1");
  sock.SetPort(std::to_string(l.Port));
  try {
    sock.Connect();
    FAIL() << "Connect must report the failed WSAAsyncSelect";
  } catch (ESocketException& E) {
    EXPECT_NE(E.Message().find(" in function WSAAsyncSelect\r\n"), std::string::npos) << E.Message();
  }
  EXPECT_EQ(sock.State(), wsOpened) << "the caller ends a half-opened socket";
  sock.Close();
  EXPECT_EQ(sock.State(), wsClosed);
}

}  // namespace
