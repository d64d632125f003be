// SOCKS negotiation against a scripted peer: the exact request bytes, every failure reply with its
// code and text, replies split into single bytes or arriving with the first data, and settings
// that a request buffer could not hold.
#include <gtest/gtest.h>

#include "SocksTestSupport.h"

using namespace testsupport;
using Events = std::vector<std::string>;

namespace {

const std::string kMethodNone = Bytes({5, 1, 0}), kMethodUser = Bytes({5, 1, 2});
const std::string kAuth = Bytes({1, 5}) + "alice" + Bytes({6}) + "s3cret";
const std::string kPort = Bytes({0x1F, 0x90});  // 8080
const std::string kConnect5 = Bytes({5, 1, 0, 3, 9}) + "127.0.0.1" + kPort;
const std::string kConnect4 = Bytes({4, 1}) + kPort + Bytes({127, 0, 0, 1}) + "alice" + Bytes({0});
const std::string kGranted5 = Bytes({5, 0, 0, 1, 127, 0, 0, 1}) + kPort;
const std::string kGranted4 = Bytes({0, 90}) + kPort + Bytes({127, 0, 0, 1});
const std::string kLoopback6 = std::string(15, '\0') + Bytes({1});
const std::string kGranted6 = Bytes({5, 0, 0, 4}) + kLoopback6 + kPort;

// The message of the ESocketException that Action raises, or a note that it raised none.
std::string RefusalOf(const std::function<void()>& Action) {
  try {
    Action();
  } catch (const ESocketException& e) {
    return e.Message();
  }
  return "(accepted)";
}

struct Settings {
  std::string Level = "5";
  TSocksAuthentication Auth = socksNoAuthentication;
  std::string Addr = "127.0.0.1";
  std::string User = "alice", Password = "s3cret";
};

struct ScriptedSession {
  ScriptedPeer Peer;
  SocksTrace Trace;
  TWSocket Sock{nullptr};

  explicit ScriptedSession(const Settings& S, std::vector<ScriptStep> Script = {}) {
    Peer.Script = std::move(Script);
    Trace.Attach(Sock);
    Sock.SetSocksServer("127.0.0.1");
    Sock.SetSocksPort(std::to_string(Peer.Listener.Port));
    Sock.SetSocksLevel(S.Level);
    Sock.SetSocksAuthentication(S.Auth);
    Sock.SetSocksUsercode(S.User);
    Sock.SetSocksPassword(S.Password);
    Sock.SetAddr(S.Addr);
    Sock.SetPort("8080");
  }
  bool Pump(const std::function<bool()>& Until) {
    return PumpUntil([&] {
      Peer.Advance();
      return Until();
    });
  }
  bool RunScript() {
    Sock.Connect();
    return Pump([&] { return Peer.Next == Peer.Script.size() || Peer.Mismatch || Trace.Ended(); });
  }
};

TEST(SocksWire, EachLevelSendsExactlyItsRequestsAndConnectsOnTheGrant) {
  const std::string host121(121, 'h');
  struct Case {
    const char* Name;
    Settings S;
    std::vector<ScriptStep> Script;
    Events Expected;
  } cases[] = {
      {"5 without authentication, a dotted Addr still goes as a name", {},
       {{kMethodNone, Bytes({5, 0})}, {kConnect5, kGranted5}}, {"SocksConnected 0", "Connected 0"}},
      {"5 with user and password", {.Auth = socksAuthenticateUsercode},
       {{kMethodUser, Bytes({5, 2})}, {kAuth, Bytes({1, 0})}, {kConnect5, kGranted5}},
       {"SocksConnected 0", "Auth 0", "Auth 1", "Connected 0"}},
      {"5 user and password offered, none needed", {.Auth = socksAuthenticateUsercode},
       {{kMethodUser, Bytes({5, 0})}, {kConnect5, kGranted5}}, {"SocksConnected 0", "Auth 3", "Connected 0"}},
      {"5 with a bound name in the reply", {},
       {{kMethodNone, Bytes({5, 0})}, {kConnect5, Bytes({5, 0, 0, 3, 4}) + "host" + kPort}},
       {"SocksConnected 0", "Connected 0"}},
      {"5 with a host name that fills the 128-byte request", {.Addr = host121},
       {{kMethodNone, Bytes({5, 0})}, {Bytes({5, 1, 0, 3, 121}) + host121 + kPort, kGranted5}},
       {"SocksConnected 0", "Connected 0"}},
      {"5 with an IPv6 destination as its 16 bytes, and an IPv6 bound address in the reply",
       {.Addr = "[::1]"},
       {{kMethodNone, Bytes({5, 0})}, {Bytes({5, 1, 0, 4}) + kLoopback6 + kPort, kGranted6}},
       {"SocksConnected 0", "Connected 0"}},
      {"5 with a zoned IPv6 destination: the zone stays here", {.Addr = "fe80::a:b%1"},
       {{kMethodNone, Bytes({5, 0})},
        {Bytes({5, 1, 0, 4, 0xfe, 0x80}) + std::string(11, '\0') + Bytes({0x0a, 0, 0x0b}) + kPort, kGranted6}},
       {"SocksConnected 0", "Connected 0"}},
      {"4 with the resolved address and the user id", {.Level = "4"}, {{kConnect4, kGranted4}},
       {"SocksConnected 0", "Connected 0"}},
      {"4 with an empty user id", {.Level = "4", .User = ""},
       {{Bytes({4, 1}) + kPort + Bytes({127, 0, 0, 1, 0}), kGranted4}}, {"SocksConnected 0", "Connected 0"}},
      {"4A with 0.0.0.1 and the name after the user id", {.Level = "4a", .Addr = "echo.example"},
       {{Bytes({4, 1}) + kPort + Bytes({0, 0, 0, 1}) + "alice" + Bytes({0}) + "echo.example" + Bytes({0}), kGranted4}},
       {"SocksConnected 0", "Connected 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ScriptedSession s(c.S, c.Script);
    ASSERT_TRUE(s.RunScript());
    ASSERT_TRUE(s.Pump([&] { return s.Trace.Has("Connected 0"); })) << TracePrint(s.Trace.Events);
    s.Peer.Send("after the grant\r\n");
    ASSERT_TRUE(s.Pump([&] { return s.Trace.Data.size() == 17; }));
    EXPECT_EQ(s.Trace.Data, "after the grant\r\n");
    Events expected = c.Expected;
    expected.push_back("Data");
    EXPECT_EQ(s.Trace.Events, expected);
    EXPECT_EQ(s.Peer.Got, s.Peer.Expected()) << "nothing more than the requests was sent";
    EXPECT_EQ(s.Sock.SocksPhase(), spRelaying);
  }
}

TEST(SocksWire, EveryFailureReplyReportsItsCodeAndTextThenClosesWithIt) {
  struct Case {
    std::string Name;
    Settings S;
    std::vector<ScriptStep> Script;
    std::int32_t Code;
    std::string Text;
    Events Before = {"SocksConnected 0"};
  };
  const Settings withUser{.Auth = socksAuthenticateUsercode};
  std::vector<Case> cases = {
      {"method reply of version 4", {}, {{kMethodNone, Bytes({4, 0})}}, 20002, "socks version error"},
      {"method refused", {}, {{kMethodNone, Bytes({5, 0xFF})}}, 20003, "authentification method not acceptable"},
      {"auth reply of version 5", withUser, {{kMethodUser, Bytes({5, 2})}, {kAuth, Bytes({5, 0})}}, 20002,
       "socks version error", {"SocksConnected 0", "Auth 0"}},
      {"auth refused", withUser, {{kMethodUser, Bytes({5, 2})}, {kAuth, Bytes({1, 1})}}, 20015,
       "socks authentication failed", {"SocksConnected 0", "Auth 0"}},
      {"auth reply of 3 bytes", withUser, {{kMethodUser, Bytes({5, 2})}, {kAuth, Bytes({1, 0, 0})}}, 20001,
       "too much data availaible", {"SocksConnected 0", "Auth 0"}},
      {"connect reply whose first byte is wrong, alone", {}, {{kMethodNone, Bytes({5, 0})}, {kConnect5, Bytes({4})}},
       20002, "socks version error"},
      {"address type 5 after 5 bytes", {}, {{kMethodNone, Bytes({5, 0})}, {kConnect5, Bytes({5, 0, 0, 5, 0})}},
       20011, "address type not supported"},
      {"a bound name longer than the reply buffer", {},
       {{kMethodNone, Bytes({5, 0})}, {kConnect5, Bytes({5, 0, 0, 3, 200}) + std::string(100, 'n')}}, 20011,
       "bound address too long"},
      {"SOCKS 4 reply of version 4", {.Level = "4"}, {{kConnect4, Bytes({4, 90, 0, 0, 0, 0, 0, 0})}}, 20002,
       "socks version error"},
  };
  const char* texts5[] = {"general SOCKS server failure", "connection not allowed by ruleset", "network unreachable",
                          "host unreachable", "connection refused", "time to live expired",
                          "command not supported", "address type not supported", "unassigned error #9"};
  for (int code = 1; code <= 9; ++code)
    cases.push_back({"SOCKS 5 reply code " + std::to_string(code), {},
                     {{kMethodNone, Bytes({5, 0})}, {kConnect5, Bytes({5, code})}}, 20003 + code, texts5[code - 1]});
  const std::pair<int, std::pair<int, const char*>> results4[] = {{91, {20016, "request rejected or failed"}},
                                                                  {92, {20008, "connection refused"}},
                                                                  {93, {20015, "authentification failed"}},
                                                                  {89, {20012, "unassigned error #89"}},
                                                                  {255, {20012, "unassigned error #255"}}};
  for (const auto& [result, failure] : results4)
    cases.push_back({"SOCKS 4 result " + std::to_string(result), {.Level = "4"},
                     {{kConnect4, Bytes({0, result, 0, 0, 0, 0, 0, 0})}}, failure.first, failure.second});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ScriptedSession s(c.S, c.Script);
    ASSERT_TRUE(s.RunScript());
    ASSERT_TRUE(s.Pump([&] { return s.Trace.Ended(); })) << TracePrint(s.Trace.Events);
    Events expected = c.Before;
    const std::string code = std::to_string(c.Code);
    for (std::string e : {"SocksError " + code + " " + c.Text, "Connected " + code, "Closed " + code})
      expected.push_back(e);
    EXPECT_EQ(s.Trace.Events, expected);
    EXPECT_EQ(s.Peer.Got, s.Peer.Expected());
    EXPECT_EQ(s.Sock.State(), wsClosed);
  }
}

TEST(SocksWire, ProxyClosingWhileTheAuthReplyIsAwaitedReportsAuthFailedAndNoConnect) {
  ScriptedSession s({.Auth = socksAuthenticateUsercode}, {{kMethodUser, Bytes({5, 2})}, {kAuth, "", true}});
  ASSERT_TRUE(s.RunScript());
  ASSERT_TRUE(s.Pump([&] { return s.Trace.Ended(); }));
  EXPECT_EQ(s.Trace.Events, (Events{"SocksConnected 0", "Auth 0", "Auth 2", "Closed 0"}));
}

TEST(SocksWire, ReadErrorDuringNegotiationFailsWithThatCode) {
  ScriptedSession s({}, {{kMethodNone, Bytes({5, 0})}, {kConnect5, ""}});
  ASSERT_TRUE(s.RunScript());
  ASSERT_TRUE(s.Pump([&] { return s.Sock.SocksPhase() == spAwaitConnect; }));
  // Linux reports no error with readable data; this is the notification that a platform would post.
  platform::PostMessage(s.Sock.NotifyWindow(), MsgSocketEvent, s.Sock.SocketHandle(),
                        platform::MakeLong(platform::FD_READ, 10054));
  ASSERT_TRUE(s.Pump([&] { return s.Trace.Ended(); }));
  EXPECT_EQ(s.Trace.Events,
            (Events{"SocksConnected 0", "SocksError 10054 data receive error", "Connected 10054", "Closed 10054"}));
}

TEST(SocksWire, Socks4NameThatCannotBeResolvedClosesWith20017AndSendsNothing) {
  ScriptedSession s({.Level = "4", .Addr = "example.invalid"});
  s.Sock.Connect();
  ASSERT_TRUE(s.Pump([&] { return s.Trace.Ended(); }));
  ASSERT_EQ(s.Trace.Events.size(), 3u) << TracePrint(s.Trace.Events);
  EXPECT_EQ(s.Trace.Events[0], "SocksConnected 0");
  EXPECT_EQ(s.Trace.Events[1].rfind("SocksError 20017 ESocketException ", 0), 0u) << s.Trace.Events[1];
  EXPECT_EQ(s.Trace.Events[2], "Closed 20017") << "no OnSessionConnected in this case";
  EXPECT_EQ(s.Peer.Got, "");
}

TEST(SocksReply, SplitIntoSingleBytesIsCollectedUntilComplete) {
  ScriptedSession s({}, {{kMethodNone, Bytes({5, 0})}, {kConnect5, ""}});
  ASSERT_TRUE(s.RunScript());
  for (std::size_t i = 0; i < kGranted5.size(); ++i) {
    ASSERT_FALSE(s.Trace.Has("Connected 0")) << "connected after " << i << " bytes";
    const std::int32_t before = s.Sock.ReadCount();
    s.Peer.Send(kGranted5.substr(i, 1));
    ASSERT_TRUE(s.Pump([&] { return s.Sock.ReadCount() == before + 1; })) << "byte " << i;
  }
  EXPECT_EQ(s.Trace.Events, (Events{"SocksConnected 0", "Connected 0"}));
}

TEST(SocksReply, DataArrivingWithTheReplyIsReadFirstAndWhole) {
  // 200 bytes with the reply: a SOCKS 5 reply read of 127 bytes leaves 83 of them in the network,
  // behind the surplus.
  const std::string lines = "line one\r\nline two\r\npart", binary = Pattern(200, 5), more = "ial\r\n";
  struct Case {
    const char* Name;
    std::string Level;
    const std::string& First;
    bool LineMode, ReadWhenConnected;
  } cases[] = {{"SOCKS 5, one byte per read", "5", binary, false, false},
               {"SOCKS 5, all read inside OnSessionConnected", "5", binary, false, true},
               {"SOCKS 5, line mode", "5", lines, true, false},
               {"SOCKS 4, the data stays in the network", "4", binary, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<ScriptStep> script;
    if (c.Level == "5") script = {{kMethodNone, Bytes({5, 0})}, {kConnect5, kGranted5 + c.First}};
    else script = {{kConnect4, kGranted4 + c.First}};
    ScriptedSession s({.Level = c.Level}, script);
    s.Sock.SetLineMode(c.LineMode);
    std::vector<std::string> reads;
    s.Trace.Read = [&](TWSocket& w) {
      char buf[64];
      std::int32_t n = w.Receive(buf, c.LineMode ? sizeof buf : 1);
      if (n <= 0) return;
      s.Trace.Data.append(buf, static_cast<std::size_t>(n));
      reads.emplace_back(buf, static_cast<std::size_t>(n));
    };
    if (c.ReadWhenConnected) {
      auto traced = s.Sock.OnSessionConnected;
      s.Sock.OnSessionConnected = [&, traced](TComponent* w, std::uint16_t e) {
        traced(w, e);
        s.Trace.Data += s.Sock.ReceiveText();
      };
    }
    ASSERT_TRUE(s.RunScript());
    ASSERT_TRUE(s.Pump([&] { return s.Trace.Data.size() == (c.LineMode ? 20 : c.First.size()); }))
        << "the surplus must not wait for more network data: " << s.Trace.Data.size();
    s.Peer.Send(more);
    ASSERT_TRUE(s.Pump([&] { return s.Trace.Data.size() == c.First.size() + more.size(); }));
    EXPECT_EQ(s.Trace.Data, c.First + more);
    EXPECT_EQ(s.Trace.Events, (Events{"SocksConnected 0", "Connected 0", "Data"}));
    if (c.LineMode) {
      EXPECT_EQ(reads, (std::vector<std::string>{"line one\r\n", "line two\r\n", "partial\r\n"}));
    }
  }
}

TEST(SocksLimits, SettingsTooLongForTheRequestAreRefusedBeforeAnythingIsSent) {
  struct Case {
    Settings S;
    const char* Message;
  } cases[] = {
      {{.Auth = socksAuthenticateUsercode, .User = std::string(100, 'u'), .Password = std::string(26, 'p')},
       "Socks usercode and password too long (at most 125 bytes together)"},
      {{.Auth = socksAuthenticateUsercode, .User = std::string(300, 'u')},
       "Socks usercode and password too long (at most 125 bytes together)"},
      {{.Addr = std::string(122, 'h')}, "Socks destination host name too long (at most 121 bytes)"},
      {{.Level = "4", .User = std::string(120, 'u')}, "Socks usercode too long (at most 119 bytes)"},
      {{.Level = "4A", .Addr = std::string(59, 'h'), .User = std::string(60, 'u')},
       "Socks usercode and destination host name too long (at most 118 bytes together)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Message);
    ScriptedSession s(c.S);
    EXPECT_EQ(RefusalOf([&] { s.Sock.Connect(); }), c.Message);
    EXPECT_EQ(s.Sock.State(), wsClosed);
    EXPECT_EQ(s.Sock.SocketHandle(), platform::INVALID_SOCKET) << "no connection was opened";
    EXPECT_EQ(s.Sock.SocksPhase(), spRelaying);
  }
  ScriptedSession s({.Level = "4", .User = std::string(120, 'u')});
  int errors = 0;
  s.Sock.OnError = [&](TComponent*) { ++errors; };
  EXPECT_NO_THROW(s.Sock.Connect());
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.Sock.SocketHandle(), platform::INVALID_SOCKET);
}

// SOCKS 4 has four bytes for the destination and 4A servers would look the text up as a name:
// an IPv6 destination is refused in Connect, before the proxy is even connected to.
TEST(SocksLimits, Socks4And4ARefuseAnIPv6DestinationBeforeConnecting) {
  for (const char* level : {"4", "4A"}) {
    for (const char* addr : {"::1", "[2001:db8::7]"}) {
      SCOPED_TRACE(std::string(level) + " " + addr);
      ScriptedSession s({.Level = level, .Addr = addr});
      EXPECT_EQ(RefusalOf([&] { s.Sock.Connect(); }),
                std::string("Socks ") + level + " cannot carry the IPv6 address " + addr + ": use socks level 5");
      EXPECT_EQ(s.Sock.State(), wsClosed);
      EXPECT_EQ(s.Sock.SocketHandle(), platform::INVALID_SOCKET) << "the proxy was not connected to";
      EXPECT_EQ(s.Sock.SocksPhase(), spRelaying);
      EXPECT_TRUE(s.Trace.Events.empty()) << TracePrint(s.Trace.Events);
    }
  }
  ScriptedSession s({.Level = "4A", .Addr = "::1"});
  int errors = 0;
  s.Sock.OnError = [&](TComponent*) { ++errors; };
  EXPECT_NO_THROW(s.Sock.Connect());
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.Sock.SocketHandle(), platform::INVALID_SOCKET);
  PumpIdle();
  EXPECT_LT(::accept4(s.Peer.Listener.Fd, nullptr, nullptr, SOCK_CLOEXEC), 0) << "nothing reached the proxy";
}

TEST(SocksLimits, UsercodeLengthenedDuringTheNegotiationFailsItInsteadOfSendingIt) {
  ScriptedSession s({.Level = "4"});
  s.Sock.OnSocksConnected = [&](TComponent*, std::uint16_t) { s.Sock.SetSocksUsercode(std::string(200, 'u')); };
  s.Sock.Connect();
  ASSERT_TRUE(s.Pump([&] { return s.Trace.Ended(); }));
  EXPECT_EQ(s.Trace.Events, (Events{"SocksError 20013 Socks usercode too long (at most 119 bytes)",
                                    "Connected 20013", "Closed 20013"}));
  EXPECT_EQ(s.Peer.Got, "");
}

TEST(SocksSettings, SettersCheckStateAndValueAndCloseResetsThem) {
  TWSocket sock(nullptr);
  EXPECT_EQ(sock.SocksLevel(), "5");
  EXPECT_FALSE(sock.UseSocks());
  sock.SetSocksLevel("4a");
  EXPECT_EQ(sock.SocksLevel(), "4A");
  for (const char* bad : {"6", "", "4 ", "5a"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(RefusalOf([&] { sock.SetSocksLevel(bad); }), "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(sock.SocksLevel(), "4A");
  }
  sock.SetSocksServer("  127.0.0.1 ");
  sock.SetSocksPort(" 1080 ");
  EXPECT_EQ(sock.SocksServer(), "127.0.0.1");
  EXPECT_EQ(sock.SocksPort(), "1080");
  EXPECT_TRUE(sock.UseSocks());

  sock.SetAddr("127.0.0.1");
  sock.SetPort("0");
  EXPECT_EQ(RefusalOf([&] { sock.Listen(); }), "Listening is not supported thru socks server");
  sock.SetProto("udp");
  EXPECT_EQ(RefusalOf([&] { sock.Connect(); }), "tcp is the only protocol supported thru socks server");
  sock.SetProto("tcp");
  sock.SetSocksServer("example.invalid");
  const std::string unresolvable = RefusalOf([&] { sock.Connect(); });
  EXPECT_EQ(unresolvable.rfind("connect: ", 0), 0u) << unresolvable;
  EXPECT_EQ(sock.State(), wsClosed);

  ScriptedSession s({}, {{kMethodNone, ""}});
  ASSERT_TRUE(s.RunScript());
  const std::pair<std::function<void()>, const char*> refused[] = {
      {[&] { s.Sock.SetSocksLevel("4"); }, "Can't change socks level if not closed"},
      {[&] { s.Sock.SetSocksPort("1"); }, "Can't change socks port if not closed"},
      {[&] { s.Sock.SetSocksServer(""); }, "Can't change socks server if not closed"},
      {[&] { s.Sock.Connect(); }, "Connect: Socket already in use"}};
  for (const auto& [change, message] : refused) EXPECT_EQ(RefusalOf(change), message);
  EXPECT_EQ(s.Sock.SocksPhase(), spAwaitMethod);
  s.Sock.Close();
  EXPECT_EQ(s.Sock.SocksServer(), "");
  EXPECT_EQ(s.Sock.SocksPort(), "");
  EXPECT_EQ(s.Sock.SocksLevel(), "5");
  EXPECT_FALSE(s.Sock.UseSocks());
  EXPECT_EQ(s.Sock.SocksPhase(), spRelaying);
}

TEST(SocksSettings, RefusedSocksConnectLeavesNoNegotiationForTheNextPlainConnection) {
  ScriptedSession s({.Addr = ""});
  EXPECT_THROW(s.Sock.Connect(), ESocketException);
  EXPECT_EQ(s.Sock.SocksPhase(), spRelaying);
  s.Sock.SetSocksServer("");
  s.Sock.SetAddr("127.0.0.1");
  s.Sock.SetPort(std::to_string(s.Peer.Listener.Port));
  s.Sock.Connect();
  ASSERT_TRUE(s.Pump([&] { return s.Trace.Has("Connected 0"); }));
  s.Sock.SendText("plain");
  ASSERT_TRUE(s.Pump([&] { return s.Peer.Got.size() == 5; }));
  EXPECT_EQ(s.Peer.Got, "plain") << "no SOCKS request went out";
  EXPECT_EQ(s.Trace.Events, (Events{"Connected 0"}));
}

}  // namespace
