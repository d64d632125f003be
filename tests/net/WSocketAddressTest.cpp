// Address settings and the reports of misuse and failed calls, with their exact texts.
#include <gtest/gtest.h>

#include <algorithm>

#include "SocketTestSupport.h"

using namespace testsupport;

namespace {

// Runs Op and returns the ESocketException message it raised ("" when none).
template <typename F>
std::string MessageOf(F&& Op) {
  try {
    Op();
  } catch (ESocketException& E) {
    return E.Message();
  }
  return "";
}

struct Connected {
  RawListener listener;
  TWSocket sock{nullptr};
  int peer = -1;
  bool Open() {
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(listener.Port));
    sock.Connect();
    peer = listener.AcceptPumping();
    return peer >= 0 && PumpUntil([&] { return sock.State() == wsConnected; });
  }
  ~Connected() {
    if (peer >= 0) ::close(peer);
  }
};

TEST(AddressSettings, SettersRefuseChangesUnlessClosedButAcceptTheSameText) {
  Connected c;
  ASSERT_TRUE(c.Open());
  std::string port = c.sock.Port();
  EXPECT_EQ(MessageOf([&] { c.sock.SetPort(port); }), "") << "the same text changes nothing";
  struct Row {
    std::function<void()> op;
    const char* message;
  } rows[] = {
      {[&] { c.sock.SetAddr("10.0.0.1"); }, "Cannot change Addr if not closed"},
      {[&] { c.sock.SetPort("81"); }, "Cannot change Port if not closed"},
      {[&] { c.sock.SetProto("udp"); }, "Cannot change Proto if not closed"},
      {[&] { c.sock.SetLocalPort("0"); }, "Cannot change LocalPort if not closed"},
      {[&] { c.sock.SetLocalAddr("0.0.0.0"); }, "Cannot change LocalAddr if not closed"},
      {[&] { c.sock.Connect(); }, "Connect: Socket already in use"},
  };
  for (auto& r : rows) EXPECT_EQ(MessageOf(r.op), r.message);
  EXPECT_EQ(c.sock.Port(), port);
  EXPECT_EQ(c.sock.State(), wsConnected);
}

TEST(AddressSettings, TrimmingAndTheLocalAddressForms) {
  TWSocket s(nullptr);
  s.SetPort("  8080\t ");
  EXPECT_EQ(s.Port(), "8080");
  s.SetPort("   ");
  s.SetAddr("127.0.0.1");
  EXPECT_EQ(MessageOf([&] { s.Connect(); }), "Connect: No Port Specified");
  s.SetLocalPort(" 0 ");
  EXPECT_EQ(s.LocalPort(), " 0 ") << "LocalPort is stored as given";
  s.SetLocalAddr("");
  EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
  EXPECT_EQ(MessageOf([&] { s.SetLocalAddr("255.255.255.255"); }), "SetLocalAddr(): Invalid IP address");
  EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
}

TEST(AddressSettings, ConnectReportsWhatIsMissingOrUnresolvable) {
  TWSocket s(nullptr);
  EXPECT_EQ(MessageOf([&] { s.Connect(); }), "Connect: No Port Specified");
  s.SetPort("80");
  EXPECT_EQ(MessageOf([&] { s.Connect(); }), "Connect: No IP Address Specified");
  s.SetAddr("127.0.0.1");
  s.SetProto("");
  EXPECT_EQ(MessageOf([&] { s.Connect(); }), "Connect: No Protocol Specified");
  s.SetProto("tcp");
  s.SetAddr("nonexistent.invalid");
  std::string m = MessageOf([&] { s.Connect(); });
  EXPECT_EQ(m.rfind("connect: WSocketResolveHost: Cannot convert host address 'nonexistent.invalid', Error #", 0), 0u) << m;
  EXPECT_EQ(s.State(), wsClosed);
}

TEST(AddressSettings, MisuseReportsTakeTheSocketErrorForm) {
  TWSocket s(nullptr);
  EXPECT_EQ(MessageOf([&] { s.Accept(); }), "Error 10022 in function not a listening socket\r\nInvalid argument");
  EXPECT_EQ(MessageOf([&] { s.Dup(0); }), "Error 10022 in function Dup\r\nInvalid argument");
  EXPECT_EQ(MessageOf([&] { s.Listen(); }), "Error 10022 in function listen: port not assigned\r\nInvalid argument");
  s.SetPort("0");
  EXPECT_EQ(MessageOf([&] { s.Listen(); }), "Error 10022 in function listen: address not assigned\r\nInvalid argument");
  EXPECT_EQ(MessageOf([&] { s.ApplyLinger(); }), "Cannot set linger option at this time");
  EXPECT_EQ(MessageOf([&] { s.SetSendFlags(7); }), "Invalid SendFlags");
  EXPECT_EQ(s.SendFlags(), wsSendNormal);
}

TEST(AddressSettings, WithOnErrorAssignedReportsRaiseItInsteadAndRecordTheCode) {
  TWSocket s(nullptr);
  int errors = 0;
  s.OnError = [&](TComponent*) { ++errors; };
  EXPECT_EQ(s.Accept(), platform::INVALID_SOCKET);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.LastError(), 10022);
  s.ApplyLinger();
  EXPECT_EQ(errors, 2);
  int dnsDone = -1;
  s.OnDnsLookupDone = [&](TComponent*, std::uint16_t e) { dnsDone = e; };
  s.DnsLookup("");
  EXPECT_EQ(errors, 3);
  EXPECT_EQ(dnsDone, 10022);
}

TEST(AddressSettings, ListenOnAPortInUseReportsBindAndLeavesNothingOpen) {
  RawListener busy;
  TWSocket s(nullptr);
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(busy.Port));
  EXPECT_EQ(MessageOf([&] { s.Listen(); }), "Error 10048 in function Bind\r\nAddress already in use");
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(s.SocketHandle(), platform::INVALID_SOCKET);
}

TEST(AddressSettings, ListenAgainRightAfterClosingTheListener) {
  TWSocket s(nullptr);
  s.SetAddr("0.0.0.0");
  s.SetPort("0");
  s.Listen();
  std::string port = s.GetBoundPort();
  int peer = RawConnect(static_cast<std::uint16_t>(std::stoi(port)));
  ASSERT_GE(peer, 0);
  TWSocket accepted(nullptr);
  accepted.SetLingerOnOff(wsLingerOff);  // an orderly close, so that TIME_WAIT follows
  accepted.Dup(s.Accept());
  accepted.Close();  // our side closes first: its end lingers in TIME_WAIT
  ::close(peer);
  s.Close();
  s.SetAddr("0.0.0.0");
  s.SetPort(port);
  EXPECT_EQ(MessageOf([&] { s.Listen(); }), "");
  EXPECT_EQ(s.State(), wsListening);
}

TEST(AddressSettings, BindLocalReadsBackTheChosenPort) {
  RawListener l;
  TWSocket s(nullptr);
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(l.Port));
  s.SetLocalAddr("127.0.0.1");
  s.Connect();
  EXPECT_NE(s.LocalPort(), "0");
  int peer = l.AcceptPumping();
  ASSERT_GE(peer, 0);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getpeername(peer, reinterpret_cast<sockaddr*>(&a), &len);
  EXPECT_EQ(s.LocalPort(), std::to_string(::ntohs(a.sin_port)));
  ::close(peer);
}

TEST(DnsLookup, DottedAddressIsAnsweredBeforeTheCallReturns) {
  Trace t;
  TWSocket s(nullptr);
  t.Attach(s);
  s.DnsLookup("127.000.0.1");
  EXPECT_EQ(t.Events, (std::vector<std::string>{"Dns 0"}));
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");
  EXPECT_TRUE(s.DnsResultList().empty());
}

TEST(DnsLookup, NameIsAnsweredFromTheLoopAndOnlyTheLatestLookupAnswers) {
  Trace t;
  TWSocket s(nullptr);
  t.Attach(s);
  s.DnsLookup("nonexistent.invalid");
  s.DnsLookup("localhost");
  EXPECT_TRUE(t.Events.empty());
  ASSERT_TRUE(PumpUntil([&] { return !t.Events.empty(); }));
  PumpIdle(20);
  EXPECT_EQ(t.Events, (std::vector<std::string>{"Dns 0"}));
  // The list may start with ::1 where the hosts file names it for localhost; DnsResult is the
  // first IPv4 address all the same.
  auto firstIPv4 = std::find_if(s.DnsResultList().begin(), s.DnsResultList().end(),
                                [](const std::string& a) { return a.find(':') == std::string::npos; });
  ASSERT_NE(firstIPv4, s.DnsResultList().end());
  EXPECT_EQ(s.DnsResult(), *firstIPv4);
  bool loopback = false;
  for (auto& a : s.DnsResultList()) loopback |= a == "127.0.0.1";
  EXPECT_TRUE(loopback);
}

TEST(DnsLookup, CancelRaisesTheInterruptedCodeAndNothingElseArrives) {
  Trace t;
  TWSocket s(nullptr);
  t.Attach(s);
  s.CancelDnsLookup();
  EXPECT_TRUE(t.Events.empty()) << "nothing pending: nothing happens";
  s.DnsLookup("localhost");
  s.CancelDnsLookup();
  EXPECT_EQ(t.Events, (std::vector<std::string>{"Dns 10004"}));
  PumpIdle(20);
  EXPECT_EQ(t.Events.size(), 1u);
}

TEST(DnsLookup, ReverseLookupGivesTheOfficialName) {
  Trace t;
  TWSocket s(nullptr);
  t.Attach(s);
  s.ReverseDnsLookup("127.0.0.1");
  ASSERT_TRUE(PumpUntil([&] { return !t.Events.empty(); }));
  EXPECT_EQ(t.Events, (std::vector<std::string>{"Dns 0"}));
  EXPECT_FALSE(s.DnsResult().empty());
  EXPECT_EQ(s.DnsResultList(), (std::vector<std::string>{s.DnsResult()}));
}

}  // namespace
