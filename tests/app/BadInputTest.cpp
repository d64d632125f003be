// Bad texts in the main window's three fields, through the real windows. Each gives its error box,
// its listening port or its session that never connects, and never a crash, a hang or a window
// that refuses a good Listen afterwards.
#include <netdb.h>

#include "RelayPeers.h"
#include "net/WSocketResolve.h"

using namespace apptest;

namespace {

// A listening socket at Addr:Port (host order), or -1 when that cannot be bound.
int ListenAt(std::uint32_t Addr, std::uint16_t Port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int on = 1;  // as the program's listening sockets: a connection in TIME_WAIT does not block it
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(Port);
  a.sin_addr.s_addr = ::htonl(Addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool CanListenOnAll(std::uint16_t Port) {
  int fd = ListenAt(INADDR_ANY, Port);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

const std::string kLong(1000, '7');  // digits all the way: the length check must come first

class BadInput : public AppFixture {
protected:
  void SetUp() override {
    AppFixture::SetUp();
    // Background exceptions are neither shown nor logged: the test reads their messages, and the
    // window's own handler still decides.
    WSocketServer->OnBgException = [this](TComponent* S, Exception& E, bool& C) {
      BgErrors.push_back(E.Message());
      Main->BgException(S, E, C);
    };
    // Lookup answers that arrive from the loop, seen on their way to the session's handler.
    WSocketServer->OnClientConnect = [this](TComponent* S, TWSocketClient* C, std::uint16_t E) {
      Main->Relay()->WSocketServerClientConnect(S, C, E);
      TWSocket* r = static_cast<TClient*>(C)->Remote;
      auto inner = r->OnDnsLookupDone;
      r->OnDnsLookupDone = [this, inner](TComponent* S2, std::uint16_t E2) {
        Lookups.push_back(E2);
        inner(S2, E2);
      };
    };
    Main->RemoteAddr->setText("127.0.0.1");
    Main->RemotePort->setText(QString::number(Remote.Listener.Port));
  }
  void TearDown() override {
    Locals.clear();
    Remote.Peers.clear();
    AppFixture::TearDown();
  }

  bool Run(const std::function<bool()>& Cond, int TimeoutMs = 20000) {
    return RunUntil(Cond, [this] {
      Remote.Service();
      for (auto& l : Locals) l->Service();
    }, TimeoutMs);
  }
  TPeer& NewLocal(std::uint16_t Port) {
    Locals.push_back(std::make_unique<TPeer>(ConnectFrom(1, Port)));
    return *Locals.back();
  }
  void ExpectIdle() {
    EXPECT_EQ(Main->ListenBtnTag(), 0);
    EXPECT_EQ(Main->ListenBtn->text(), "Listen");
    EXPECT_TRUE(Main->LocalPoort->isEnabled());
    EXPECT_TRUE(Main->RemoteAddr->isEnabled());
    EXPECT_TRUE(Main->RemotePort->isEnabled());
    EXPECT_EQ(WSocketServer->State(), wsClosed);
  }
  // The window is not stuck: a good port listens, and Cancel makes it Idle again.
  void ExpectAGoodListenStillWorks() {
    Errors.clear();
    StartListening();
    EXPECT_TRUE(Errors.empty());
    Main->ListenBtn->click();
    ExpectIdle();
  }
  // A session relays both ways through the listening window, to the remote server at Server.
  void ExpectRelays(std::uint16_t LocalPort, TRemoteServer& Server) {
    Server.Echo = true;
    TPeer& l = NewLocal(LocalPort);
    l.ToSend = Pattern(3000, LocalPort);
    ASSERT_TRUE(RunUntil([&] { return l.Received.size() >= l.ToSend.size(); }, [&] {
      Server.Service();
      l.Service();
    }, 20000));
    EXPECT_EQ(Checksum(l.Received), Checksum(l.ToSend));
    EXPECT_EQ(l.Received.size(), l.ToSend.size());
  }
  TRemoteServer Remote;
  std::vector<std::unique_ptr<TPeer>> Locals;
  std::vector<std::string> BgErrors;
  std::vector<std::uint16_t> Lookups;
};

// ---- the local port: read when Listen is clicked ----

struct TLocalPortCase {
  const char* Name;
  std::string Text;
  std::string Error;   // the message box's text; empty when the window listens
  std::uint16_t Port;  // where it listens: 0 for a port the system chose
};

void PrintTo(const TLocalPortCase& C, std::ostream* Out) { *Out << C.Name; }

class LocalPort : public BadInput, public ::testing::WithParamInterface<TLocalPortCase> {};

TEST_P(LocalPort, GivesItsErrorBoxOrListensWhereTheTextSays) {
  const TLocalPortCase& c = GetParam();
  if (c.Text == "http" && ::getservbyname("http", "tcp") == nullptr) GTEST_SKIP() << "no services database";
  std::string error = c.Error;
  // A fixed port that is taken, or that this user may not bind, fails in bind like any other.
  bool bindFails = error.empty() && c.Port != 0 && !CanListenOnAll(c.Port);
  Main->LocalPoort->setText(QString::fromStdString(c.Text));
  Main->ListenBtn->click();
  if (!error.empty() || bindFails) {
    ASSERT_EQ(Errors.size(), 1u);
    if (bindFails)
      EXPECT_EQ(Errors[0].rfind("Error ", 0), 0u) << Errors[0];
    else
      EXPECT_EQ(Errors[0], error);
    ExpectIdle();
    ExpectAGoodListenStillWorks();
    return;
  }
  ASSERT_TRUE(Errors.empty()) << Errors[0];
  EXPECT_EQ(Main->ListenBtnTag(), 1);
  EXPECT_EQ(Main->ListenBtn->text(), "Cancel");
  EXPECT_FALSE(Main->LocalPoort->isEnabled());
  std::uint16_t bound = static_cast<std::uint16_t>(std::stoi(WSocketServer->GetBoundPort()));
  if (c.Port != 0)
    EXPECT_EQ(bound, c.Port);
  else
    EXPECT_NE(bound, 0);
  ExpectRelays(bound, Remote);
  Main->ListenBtn->click();
  ExpectIdle();
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LocalPort,
    ::testing::Values(
        TLocalPortCase{"Empty", "", "Error 10022 in function listen: port not assigned\r\nInvalid argument", 0},
        TLocalPortCase{"Letters", "abc", "listen: WSocketResolvePort: Cannot convert port 'abc', Error #11004", 0},
        TLocalPortCase{"Zero", "0", "", 0},
        TLocalPortCase{"Highest", "65535", "", 65535},
        TLocalPortCase{"OnePastHighestIsRefused", "65536",
                       "Local port '65536' is out of range: a port is a number from 0 to 65535", 0},
        TLocalPortCase{"WouldWrapToAPortIsRefused", "70000",
                       "Local port '70000' is out of range: a port is a number from 0 to 65535", 0},
        TLocalPortCase{"Negative", "-1", "listen: WSocketResolvePort: Cannot convert port '-1', Error #11004", 0},
        TLocalPortCase{"BlanksAround", " 80 ", "", 80},
        TLocalPortCase{"ServiceName", "http", "", 80},
        TLocalPortCase{"ThousandCharacters", kLong, "listen: WSocketResolvePort: Invalid Port.", 0}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// ---- the remote port: checked at Listen, read as each client connects ----

enum class TRemoteOutcome {
  Refused,  // Listen refuses it with an error box and nothing listens
  Reaches,  // the session relays to a server at Port
};

struct TRemotePortCase {
  const char* Name;
  std::string Text;
  TRemoteOutcome Outcome;
  std::string Message;  // of the error box, for Refused
  std::uint16_t Port;   // for Reaches
};

void PrintTo(const TRemotePortCase& C, std::ostream* Out) { *Out << C.Name; }

class RemotePort : public BadInput, public ::testing::WithParamInterface<TRemotePortCase> {};

TEST_P(RemotePort, IsRefusedAtListenOrReachesThePortTheTextSays) {
  const TRemotePortCase& c = GetParam();
  if (c.Text == "http" && ::getservbyname("http", "tcp") == nullptr) GTEST_SKIP() << "no services database";
  TRemoteServer at;  // the server at the port the text names, where this user may listen there
  if (c.Outcome == TRemoteOutcome::Reaches) {
    int fd = ListenAt(INADDR_LOOPBACK, c.Port);
    if (fd < 0) GTEST_SKIP() << "cannot listen on port " << c.Port << " here";
    ::close(at.Listener.Fd);
    at.Listener.Fd = fd;
    at.Listener.Port = c.Port;
  }
  Main->RemotePort->setText(QString::fromStdString(c.Text));
  if (c.Outcome == TRemoteOutcome::Refused) {
    // Caught before anything listens, not when the first client arrives.
    Main->LocalPoort->setText(QString::number(UnusedPort()));
    Main->ListenBtn->click();
    EXPECT_EQ(Errors, std::vector<std::string>{c.Message});
    ExpectIdle();
    Main->RemotePort->setText(QString::number(Remote.Listener.Port));
    ExpectAGoodListenStillWorks();
    return;
  }
  std::uint16_t port = StartListening();
  Locals.clear();
  ExpectRelays(port, at);
  EXPECT_TRUE(BgErrors.empty());
  EXPECT_TRUE(Remote.Peers.empty());
  EXPECT_EQ(static_cast<TClient*>(WSocketServer->Client(0))->Remote->Port(), TrimBlanks(c.Text));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RemotePort,
    ::testing::Values(
        TRemotePortCase{"Empty", "", TRemoteOutcome::Refused, "Remote port: no port given", 0},
        TRemotePortCase{"Letters", "abc", TRemoteOutcome::Refused,
                        "Remote port: WSocketResolvePort: Cannot convert port 'abc', Error #11004", 0},
        TRemotePortCase{"Zero", "0", TRemoteOutcome::Refused,
                        "Remote port '0' is out of range: a port is a number from 1 to 65535", 0},
        TRemotePortCase{"Highest", "65535", TRemoteOutcome::Reaches, "", 65535},
        TRemotePortCase{"OnePastHighest", "65536", TRemoteOutcome::Refused,
                        "Remote port '65536' is out of range: a port is a number from 1 to 65535", 0},
        TRemotePortCase{"WouldWrapToAPort", "70000", TRemoteOutcome::Refused,
                        "Remote port '70000' is out of range: a port is a number from 1 to 65535", 0},
        TRemotePortCase{"Negative", "-1", TRemoteOutcome::Refused,
                        "Remote port: WSocketResolvePort: Cannot convert port '-1', Error #11004", 0},
        TRemotePortCase{"BlanksAround", " 80 ", TRemoteOutcome::Reaches, "", 80},
        TRemotePortCase{"ServiceName", "http", TRemoteOutcome::Reaches, "", 80},
        TRemotePortCase{"ThousandCharacters", kLong, TRemoteOutcome::Refused,
                        "Remote port: WSocketResolvePort: Invalid Port.", 0}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// ---- the remote address: looked up as each client connects ----

// An address that names no host at all is refused at Listen, rather than at the first client's
// arrival, which would abort the listener without a word.
TEST_F(BadInput, EmptyOrZeroByteRemoteAddressIsRefusedAtListen) {
  for (auto [text, message] : {std::pair{std::string(""), "Remote address: no host name or address given"},
                               std::pair{std::string("  "), "Remote address: no host name or address given"},
                               std::pair{std::string("127.0.0.1\0x", 11),
                                         "Remote address: a host name or address cannot hold a zero byte"}}) {
    SCOPED_TRACE(text);
    Errors.clear();
    Main->RemoteAddr->setText(QString::fromStdString(text));
    Main->ListenBtn->click();
    EXPECT_EQ(Errors, std::vector<std::string>{message});
    ExpectIdle();
  }
  Main->RemoteAddr->setText("127.0.0.1");
  ExpectAGoodListenStillWorks();
}

// The default fields relay into the relay itself: refused at Listen, by name, address or port text.
TEST_F(BadInput, ARemoteThatIsThisRelaysOwnPortIsRefusedAtListen) {
  const std::uint16_t port = UnusedPort();
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  for (const std::string& addr : {std::string("localhost"), std::string("127.0.0.1"), std::string("127.5.5.5"),
                                  std::string("0.0.0.0"), std::string("LocalHost"), std::string(host)}) {
    SCOPED_TRACE(addr);
    Errors.clear();
    Main->LocalPoort->setText(QString::number(port));
    Main->RemoteAddr->setText(QString::fromStdString(addr));
    Main->RemotePort->setText(" " + QString::number(port));
    Main->ListenBtn->click();
    EXPECT_EQ(Errors, std::vector<std::string>{"Remote address '" + addr + "' port " + std::to_string(port) +
                                               " is this relay's own listening port: every client would be "
                                               "relayed back into the relay"});
    ExpectIdle();
  }
}

// Texts that are no address and that the name service cannot resolve: the lookup answers with an
// error, which the log gives, and the local client is reset; nothing reaches any server.
TEST_F(BadInput, UnresolvableRemoteAddressesFailTheSessionWithTheLookupsError) {
  for (const std::string& text : {std::string("999.1.1.1"), std::string(300, 'a')}) {
    SCOPED_TRACE(text);
    Lookups.clear();
    Log->Clear1Click(Log);
    Main->RemoteAddr->setText(QString::fromStdString(text));
    TPeer& local = NewLocal(StartListening());
    local.ToSend = "never forwarded";
    ASSERT_TRUE(Run([&] { return local.Eof && WSocketServer->ClientCount() == 0; }));
    ASSERT_EQ(Lookups.size(), 1u);
    EXPECT_NE(Lookups[0], 0);
    EXPECT_TRUE(local.Reset);
    EXPECT_EQ(Titles(), (std::vector<std::string>{"Error: Lookup failed", "Connection Closed"}));
    EXPECT_TRUE(BgErrors.empty());
    EXPECT_EQ(Main->ListenBtnTag(), 1);
    Main->ListenBtn->click();
    Locals.clear();
    Remote.Service();
    EXPECT_TRUE(Remote.Peers.empty()) << "nothing may reach the remote server";
  }
}

// The three-part form a.b.c means a.b.0.c, as inet_addr reads it: "1.2.3" is 1.2.0.3.
// Shown here on loopback, where 127.1.2 is 127.1.0.2.
TEST_F(BadInput, ThreePartRemoteAddressIsReadAsTheClassicForm) {
  EXPECT_EQ(winsock::inet_addr("1.2.3"), ::htonl(0x01020003u));
  TRemoteServer at;
  int fd = ListenAt(0x7F010002u, 0);
  ASSERT_GE(fd, 0);
  ::close(at.Listener.Fd);
  at.Listener.Fd = fd;
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  at.Listener.Port = ::ntohs(a.sin_port);
  Main->RemoteAddr->setText("127.1.2");
  Main->RemotePort->setText(QString::number(at.Listener.Port));
  ExpectRelays(StartListening(), at);
  EXPECT_EQ(static_cast<TClient*>(WSocketServer->Client(0))->Remote->DnsResult(), "127.1.0.2");
}

}  // namespace
