// The program from its command line, as a script would run it: the headless relay against real
// loopback peers, its entries on standard output, its errors and exit statuses, and its signals.
#include <map>
#include <sstream>

#include "RelayDrivers.h"

using namespace apptest;

namespace {

// The header lines of the entries, with their date and time (LC_ALL=C, TZ=UTC) replaced by "#".
std::string WithoutDates(const std::string& Out) {
  std::string result;
  for (std::size_t at = 0; at < Out.size();) {
    std::size_t end = Out.find('\n', at);
    end = end == std::string::npos ? Out.size() : end + 1;
    const std::string line = Out.substr(at, end - at);
    const std::size_t date = DateLength(line);
    result += date != 0 ? "#" + line.substr(date) : line;
    at = end;
  }
  return result;
}

class Headless : public ::testing::Test {
protected:
  // Starts the headless relay on a free port, relaying to the remote server.
  std::unique_ptr<TChildProgram> Start(std::vector<std::string> Extra = {}, const TChildSetup& Setup = {}) {
    std::vector<std::string> args{"--headless", "--local-port", "0", "--remote-addr", "127.0.0.1", "--remote-port",
                                  std::to_string(Remote.Listener.Port)};
    args.insert(args.end(), Extra.begin(), Extra.end());
    auto p = std::make_unique<TChildProgram>(args, Setup);
    Port = p->ListeningPort();
    EXPECT_NE(Port, 0) << p->Err();
    return p;
  }
  TPeer& NewLocal() {
    Locals.push_back(std::make_unique<TPeer>(RawConnect(Port)));
    return *Locals.back();
  }
  bool Run(const std::function<bool()>& Cond, int TimeoutMs = 60000) {
    return RunUntil(Cond, [this] {
      Remote.Service();
      for (auto& l : Locals) l->Service();
    }, TimeoutMs);
  }
  // A scripted session: a request, an answer with bytes 0 and 0xFF, the local client closes,
  // then the remote side, each end passed on as an end of stream. Returns the program's standard output once it has ended on SIGTERM.
  std::string ScriptedSession(std::vector<std::string> Extra) {
    auto p = Start(std::move(Extra));
    TPeer& local = NewLocal();
    EXPECT_TRUE(Run([&] { return Remote.Peers.size() == 1; }));
    local.ToSend = "hello\r\n";
    EXPECT_TRUE(Run([&] { return Remote.Peers[0]->Received == "hello\r\n"; }));
    Remote.Peers[0]->ToSend = std::string("world\0\xFF", 7);
    EXPECT_TRUE(Run([&] { return local.Received.size() == 7; }));
    local.Close();
    EXPECT_TRUE(Run([&] { return Remote.Peers[0]->Eof; }));
    Remote.Peers[0]->Close();
    p->Signal(SIGTERM);
    EXPECT_EQ(p->WaitExit(), 0) << p->Err();
    return WithoutDates(p->Out());
  }

  TRemoteServer Remote;
  std::vector<std::unique_ptr<TPeer>> Locals;
  std::uint16_t Port = 0;
};

// With too few descriptors for every client at once (a tight limit the program cannot raise), each
// client is either relayed or reset with the reason in the log: those that the relay cannot accept
// wait in the backlog until sessions end, those whose remote side cannot be opened are refused. The
// listener stays, so that once the burst has gone the next client is served; SIGTERM ends it all.
TEST_F(Headless, ABurstBeyondTheDescriptorLimitIsServedOrRefusedAndTheListenerStays) {
  Remote.Echo = true;
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' runtime needs descriptors of its own: it checks an object's dynamic type by
  // reading its memory through a pipe, and symbolizes through files, so a child out of descriptors
  // takes exception objects for invalid ones. The plain build runs this case.
  GTEST_SKIP() << "a sanitized program cannot run out of descriptors";
#endif
  const std::vector<std::string> env;
  auto p = std::make_unique<TChildProgram>(
      std::vector<std::string>{"--headless", "--local-port", "0", "--remote-addr", "127.0.0.1", "--remote-port",
                               std::to_string(Remote.Listener.Port)},
      env, 24);
  Port = p->ListeningPort();
  ASSERT_NE(Port, 0) << p->Err();
  constexpr int kClients = 40;
  for (int i = 0; i < kClients; ++i) NewLocal().ToSend = "hello " + std::to_string(i) + "\n";
  auto settled = [&](const TPeer& l, int i) { return l.Reset || l.Received == "hello " + std::to_string(i) + "\n"; };
  ASSERT_TRUE(Run([&] {
    bool all = true;
    for (int i = 0; i < kClients; ++i) {
      TPeer& l = *Locals[static_cast<std::size_t>(i)];
      if (settled(l, i))
        l.Close();  // done: its descriptors in the relay are free for the next
      else
        all = false;
    }
    return all;
  }, 60000));
  int served = 0;
  for (const auto& l : Locals) served += !l->Reset;
  EXPECT_GT(served, 0);
  Locals.clear();
  Remote.Peers.clear();
  // The burst has gone: a client now is served.
  TPeer& late = NewLocal();
  late.ToSend = "late\n";
  ASSERT_TRUE(Run([&] { return late.Received == "late\n" || late.Reset; }));
  EXPECT_EQ(late.Received, "late\n");
  late.Close();
  p->Signal(SIGTERM);
  EXPECT_EQ(p->WaitExit(), 0) << p->Err();
  const std::string out = p->Out();
  std::size_t failed = 0;
  for (std::size_t at = 0; (at = out.find("Error: Connection failed", at)) != std::string::npos; ++at) ++failed;
  EXPECT_EQ(failed, static_cast<std::size_t>(kClients - served)) << "each refused client has its entry";
  EXPECT_TRUE(failed > 0 || p->Err().find("it waits until a session ends") != std::string::npos)
      << "the limit was never reached: the case tests nothing\n" << p->Err();
  // While accepting rests, the clients waiting in the backlog are no sessions yet: nothing is
  // logged for an accept that failed. Every session, served or refused, is closed once.
  std::istringstream in(out);
  std::map<std::string, int> titles;
  for (const TDriverEntry& e : ParseHeadlessEntries(in)) ++titles[e.Title];
  EXPECT_EQ(titles["Connection Opened"], served + 1) << "the burst's served clients and the late one";
  EXPECT_EQ(titles["Connection Closed"], kClients + 1) << "one for each session, none for a failed accept";
}

// Standard output to a file is written in large pieces, but an idle relay has written everything:
// a file being followed shows each entry while the program runs.
TEST_F(Headless, AnIdleRelayHasWrittenEveryEntryToItsFile) {
  Remote.Echo = true;
  auto p = Start();
  TPeer& local = NewLocal();
  local.ToSend = "ping\n";
  ASSERT_TRUE(Run([&] { return local.Received == "ping\n"; }));
  EXPECT_TRUE(Run([&] { return p->Out().find("From Remote") != std::string::npos; }, 10000)) << p->Out();
  EXPECT_NE(p->Out().find("Connection Opened"), std::string::npos);
  p->Signal(SIGTERM);
  EXPECT_EQ(p->WaitExit(), 0) << p->Err();
}

TEST_F(Headless, RelaysByteExactBothWaysFromOneByteToSixtyFourMiB) {
  Remote.Echo = true;
  auto p = Start();
  for (std::size_t size : {std::size_t{1}, std::size_t{100000}, std::size_t{64} << 20}) {
    SCOPED_TRACE(size);
    TPeer& local = NewLocal();
    local.ToSend = Pattern(size, static_cast<std::uint32_t>(size));
    ASSERT_TRUE(Run([&] { return local.Received.size() >= size; }, 120000));
    EXPECT_EQ(local.Received.size(), size);
    EXPECT_EQ(Checksum(local.Received), Checksum(local.ToSend));
  }
  p->Signal(SIGTERM);
  EXPECT_EQ(p->WaitExit(), 0) << p->Err();
  EXPECT_NE(p->Out().find("From Local"), std::string::npos);
}

TEST_F(Headless, WritesEachEntryAsTheLogShowsItInTextMode) {
  EXPECT_EQ(ScriptedSession({}),
            "#Connection Opened\n"
            "\n"
            "#From Local\n"
            "hello..\n"
            "\n"
            "#From Remote\n"
            "world.\xC3\xBF\n"  // 0xFF is shown as y with diaeresis, written in UTF-8
            "\n"
            "#End of Stream from Local\n"
            "\n"  // an empty body is an empty line, which also parts it from the next entry
            "#End of Stream from Remote\n"
            "\n"
            "#Connection Closed\n"
            "\n");
}

// --fault from the command line acts on every session, and its entry is in the output.
TEST_F(Headless, AFaultFromTheCommandLineResetsAfterItsBytesAndSaysSo) {
  auto p = Start({"--fault", "remote:reset=5", "--fault", "local:latency=1ms"});
  TPeer& local = NewLocal();
  ASSERT_TRUE(Run([&] { return Remote.Peers.size() == 1; }));
  local.ToSend = "hello world";
  ASSERT_TRUE(Run([&] { return Remote.Peers[0]->Eof && local.Eof; }));
  EXPECT_EQ(Remote.Peers[0]->Received, "hello");
  EXPECT_TRUE(Remote.Peers[0]->Reset);
  EXPECT_TRUE(local.Reset);
  p->Signal(SIGTERM);
  EXPECT_EQ(p->WaitExit(), 0) << p->Err();
  const std::string out = WithoutDates(p->Out());
  EXPECT_NE(out.find("#From Local\nhello\n\n#Fault: reset after 5 bytes toward Remote\n"), std::string::npos) << out;
}

TEST_F(Headless, WritesEachEntryAsTheLogShowsItInHexMode) {
  EXPECT_EQ(ScriptedSession({"--hex"}),
            "#Connection Opened\n"
            "\n"
            "#From Local\n"
            "0000 68 65 6C 6C 6F 0D 0A                            hello..\n"
            "\n"
            "#From Remote\n"
            "0000 77 6F 72 6C 64 00 FF                            world.\xC3\xBF\n"
            "\n"
            "#End of Stream from Local\n"
            "\n"
            "#End of Stream from Remote\n"
            "\n"
            "#Connection Closed\n");
}

TEST_F(Headless, QuietRelaysWithoutWritingEntries) {
  Remote.Echo = true;
  auto p = Start({"--quiet"});
  TPeer& local = NewLocal();
  local.ToSend = Pattern(300000, 3);
  ASSERT_TRUE(Run([&] { return local.Received.size() >= local.ToSend.size(); }));
  EXPECT_EQ(Checksum(local.Received), Checksum(local.ToSend));
  p->Signal(SIGINT);
  EXPECT_EQ(p->WaitExit(), 0) << p->Err();
  EXPECT_EQ(p->Out(), "");
}

// SIGTERM acts as "Cancel": every session is closed and the program ends with status 0, also in
// the middle of a transfer to a reader that does not keep up.
TEST_F(Headless, SigtermInTheMiddleOfATransferClosesTheSessionsAndEndsWithStatusZero) {
  Remote.OnAccept = [](TPeer& Peer) { Peer.ToSend = Pattern(32 << 20, 9); };
  auto p = Start({"--quiet"});
  TPeer& local = NewLocal();
  local.SlowReader(4096);
  ASSERT_TRUE(Run([&] { return local.Received.size() > 100000; }));
  p->Signal(SIGTERM);
  EXPECT_EQ(p->WaitExit(), 0) << p->Err();
  ASSERT_TRUE(Run([&] { return local.Eof; }));
  EXPECT_LT(local.Received.size(), std::size_t{32} << 20);
  EXPECT_EQ(Checksum(local.Received), Checksum(Pattern(32 << 20, 9).substr(0, local.Received.size())));
}

// Standard output that goes away (a reader such as `head` that has read enough) or that takes no
// more (a full disk) ends the entries, not the relay: the open session and a new one relay
// byte-exact, and standard error says so once. A reader that went away wanted no more, so the
// status stays 0; a full disk left output that a script must not take for the whole, status 1.
struct TLostOutput {
  const char* Name;
  std::string Output;  // of the child: "|" a pipe that the test closes
  const char* Reason;
  int Status;
};

void PrintTo(const TLostOutput& C, std::ostream* Out) { *Out << C.Name; }

class HeadlessLostOutput : public Headless, public ::testing::WithParamInterface<TLostOutput> {};

TEST_P(HeadlessLostOutput, StopsTheEntriesSaysSoOnceAndTheRelayGoesOn) {
  const TLostOutput& c = GetParam();
  Remote.Echo = true;
  TChildSetup setup;
  setup.Output = c.Output;
  auto p = Start({}, setup);
  TPeer& local = NewLocal();
  local.ToSend = "first\n";
  ASSERT_TRUE(Run([&] { return local.Received == "first\n"; }));
  if (c.Output == "|") {
    // The entries so far have come; then the reader goes.
    ASSERT_TRUE(Run([&] { return p->ReadOut().find("From Remote") != std::string::npos; }, 10000)) << p->ReadOut();
    p->CloseOut();
  }
  const std::string more = Pattern(4 << 20, 41);
  local.ToSend += more;
  ASSERT_TRUE(Run([&] { return local.Received.size() >= local.ToSend.size() || local.Eof; }, 120000));
  EXPECT_FALSE(local.Eof) << p->Err();
  EXPECT_EQ(local.Received.size(), local.ToSend.size());
  EXPECT_EQ(Checksum(local.Received), Checksum(local.ToSend));
  TPeer& second = NewLocal();
  second.ToSend = Pattern(1 << 20, 42);
  ASSERT_TRUE(Run([&] { return second.Received.size() >= second.ToSend.size() || second.Eof; }, 120000));
  EXPECT_EQ(Checksum(second.Received), Checksum(second.ToSend));
  EXPECT_FALSE(p->Exited());
  p->Signal(SIGTERM);
  EXPECT_EQ(p->WaitExit(), c.Status) << p->Err();
  const std::string line =
      std::string("vantrel: writing entries stopped (the relay goes on): standard output: ") + c.Reason + "\n";
  const std::string& err = p->Err();
  std::size_t said = 0;
  for (std::size_t at = 0; (at = err.find(line, at)) != std::string::npos; at += line.size()) ++said;
  EXPECT_EQ(said, 1u) << err;
}

INSTANTIATE_TEST_SUITE_P(
    StandardOutput, HeadlessLostOutput,
    ::testing::Values(TLostOutput{"AReaderThatGoes", "|", "Broken pipe", 0},
                      TLostOutput{"AFullDisk", "/dev/full", "No space left on device", 1}),
    [](const ::testing::TestParamInfo<TLostOutput>& Info) { return std::string(Info.param.Name); });

TEST_F(Headless, LoadsNoQtGuiLibrary) {
  auto p = Start();
  const std::string maps = p->Maps();
  EXPECT_NE(maps.find("libQt6Core"), std::string::npos) << "the check must see the libraries";
  EXPECT_EQ(maps.find("libQt6Gui"), std::string::npos);
  EXPECT_EQ(maps.find("libQt6Widgets"), std::string::npos);
}

TEST_F(Headless, ALocalPortInUseIsAnErrorOnStandardErrorWithStatusOne) {
  RawListener busy;
  TChildProgram p({"--headless", "--local-port", std::to_string(busy.Port), "--remote-addr", "127.0.0.1",
                   "--remote-port", "80"});
  EXPECT_EQ(p.WaitExit(), 1);
  EXPECT_EQ(p.Err(), "vantrel: cannot listen on port " + std::to_string(busy.Port) +
                         ": Error 10048 in function Bind: Address already in use\n");
  EXPECT_EQ(p.Out(), "");
}

struct TBadArguments {
  const char* Name;
  std::vector<std::string> Args;
  const char* Message;  // the whole of standard error
};

void PrintTo(const TBadArguments& C, std::ostream* Out) { *Out << C.Name; }

class BadArguments : public ::testing::TestWithParam<TBadArguments> {};

// A bad argument is refused with one line that names it and says what is accepted, status 2, and
// nothing is started: the port it would have listened on stays free.
TEST_P(BadArguments, AreRefusedWithOneLineAndStatusTwoBeforeAnythingStarts) {
  const std::uint16_t port = UnusedPort();
  std::vector<std::string> args = GetParam().Args;
  for (std::string& a : args)
    if (a == "FREE") a = std::to_string(port);
  TChildProgram p(args);
  EXPECT_EQ(p.WaitExit(), 2);
  EXPECT_EQ(p.Err(), std::string("vantrel: ") + GetParam().Message + "\n");
  EXPECT_LT(RawConnect(port), 0) << "nothing may listen";
}

const std::vector<std::string> kHeadless{"--headless", "--local-port", "FREE", "--remote-addr", "127.0.0.1"};
std::vector<std::string> With(std::vector<std::string> A, std::vector<std::string> B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, BadArguments,
    ::testing::Values(
        TBadArguments{"UnknownOption", {"--bogus"}, "Unknown option 'bogus'."},
        TBadArguments{"MissingValue", {"--remote-port"}, "Missing value after '--remote-port'."},
        TBadArguments{"PositionalArgument", {"8080"}, "unexpected argument '8080' (options start with --)"},
        TBadArguments{"RemotePortTooHigh", With(kHeadless, {"--remote-port", "70000"}),
                      "--remote-port: expected a port number from 1 to 65535, got '70000'"},
        TBadArguments{"RemotePortZero", With(kHeadless, {"--remote-port", "0"}),
                      "--remote-port: expected a port number from 1 to 65535, got '0'"},
        TBadArguments{"RemotePortLetters", With(kHeadless, {"--remote-port", "http"}),
                      "--remote-port: expected a port number from 1 to 65535, got 'http'"},
        TBadArguments{"RemotePortEmpty", With(kHeadless, {"--remote-port", ""}),
                      "--remote-port: expected a port number from 1 to 65535, got ''"},
        TBadArguments{"LocalPortNegative", {"--headless", "--local-port=-1"},
                      "--local-port: expected a port number from 0 to 65535, got '-1'"},
        TBadArguments{"LocalPortTooHigh", {"--headless", "--local-port", "70000", "--remote-addr", "127.0.0.1",
                                           "--remote-port", "80"},
                      "--local-port: expected a port number from 0 to 65535, got '70000'"},
        TBadArguments{"WindowsLocalPortZero", {"--local-port", "0"},
                      "--local-port: expected a port number from 1 to 65535, got '0'"},
        TBadArguments{"EmptyRemoteAddress", With(kHeadless, {"--remote-port", "80", "--remote-addr", " "}),
                      "--remote-addr: expected a host name or address, got an empty text"},
        TBadArguments{"HeadlessWithoutRemotePort", kHeadless, "--headless needs --remote-port (see --help)"},
        TBadArguments{"QuietWithoutHeadless", {"--quiet"}, "--quiet: only with --headless"},
        TBadArguments{"SaveToAnUnknownKindOfFile", With(kHeadless, {"--remote-port", "80", "--save", "/tmp/x.dat"}),
                      "--save: expected a file ending in .pcapng or .txt, or a folder (ending in /), got '/tmp/x.dat'"},
        TBadArguments{"SaveWithoutHeadless", {"--save", "/tmp/x.pcapng"},
                      "--save: only with --headless or --replay; the windows save with \"Save As...\" in the log's menu"},
        TBadArguments{"ListenWhenHeadless", With(kHeadless, {"--remote-port", "80", "--listen"}),
                      "--listen: only for the windows; --headless listens at once"},
        TBadArguments{"FaultWithAnUnknownUnit", With(kHeadless, {"--remote-port", "80", "--fault", "remote:latency=100xs"}),
                      "--fault: 'latency=100xs': unknown unit 'xs' (a time is a number with us, ms or s)"},
        TBadArguments{"FaultThatDoesNotParse", With(kHeadless, {"--remote-port", "80", "--fault", "remote:latency"}),
                      "--fault: 'latency': expected latency=VALUE"},
        TBadArguments{"FaultProbabilityAboveOne", {"--fault", "refuse=1.5"},
                      "--fault: 'refuse=1.5': a probability is from 0 to 1 (or 0% to 100%)"},
        TBadArguments{"FaultOfAnUnknownKind", {"--fault", "remote:lag=1ms"},
                      "--fault: unknown fault 'lag' in 'remote:lag=1ms' (expected latency, bandwidth, slicer, stall, limit, "
                      "reset, refuse or corrupt)"},
        TBadArguments{"FaultWithReplay", {"--replay", "/tmp/x.pcapng", "--fault", "remote:latency=1ms"},
                      "--fault: not with --replay, which connects to the remote side and listens on nothing"},
        TBadArguments{"EmptyFault", {"--fault", ""}, "--fault: empty fault rule (expected DIRECTION:KIND=VALUE, e.g. remote:latency=100ms)"}),
    [](const ::testing::TestParamInfo<TBadArguments>& Info) { return std::string(Info.param.Name); });

// The headless program listens with the engine's own check: a remote address and port that are
// its own listening port are refused at once, however the address is written, with the message
// the window's box gives, on standard error, and status 1.
struct TOwnAddress {
  const char* Name;
  std::string Addr;  // "HOSTNAME": this machine's name
};

void PrintTo(const TOwnAddress& C, std::ostream* Out) { *Out << C.Name; }

class RelayIntoItself : public ::testing::TestWithParam<TOwnAddress> {};

TEST_P(RelayIntoItself, IsRefusedAtListenWithStatusOne) {
  std::string addr = GetParam().Addr;
  if (addr == "HOSTNAME") {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    addr = host;
  }
  const std::string port = std::to_string(UnusedPort());
  TChildProgram p({"--headless", "--local-port", port, "--remote-addr", addr, "--remote-port", port});
  EXPECT_EQ(p.WaitExit(5000), 1);
  EXPECT_EQ(p.Err(), "vantrel: cannot listen on port " + port + ": Remote address '" + addr + "' port " + port +
                         " is this relay's own listening port: every client would be relayed back into the relay\n");
  EXPECT_EQ(p.Out(), "");
  const int fd = RawConnect(static_cast<std::uint16_t>(std::stoi(port)));
  EXPECT_LT(fd, 0) << "nothing may listen";
  if (fd >= 0) ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, RelayIntoItself,
    ::testing::Values(TOwnAddress{"Localhost", "localhost"}, TOwnAddress{"Loopback", "127.0.0.1"},
                      TOwnAddress{"OtherLoopback", "127.5.5.5"}, TOwnAddress{"AnyAddress", "0.0.0.0"},
                      TOwnAddress{"HostName", "HOSTNAME"},
                      // The short and numeric forms, as the lookup reads them: all 127.0.0.1.
                      TOwnAddress{"LoopbackInTwoParts", "127.1"}, TOwnAddress{"LoopbackAsOneNumber", "2130706433"},
                      TOwnAddress{"LoopbackWithAnOctalGroup", "127.0.0.01"}),
    [](const ::testing::TestParamInfo<TOwnAddress>& Info) { return std::string(Info.param.Name); });

// Another name of a loopback address in /etc/hosts, one that the check at Listen cannot know
// without a lookup; empty when there is none.
std::string LoopbackAlias() {
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  std::ifstream in("/etc/hosts");
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line.substr(0, line.find('#')));
    std::string addr, name;
    if (!(fields >> addr) || addr.rfind("127.", 0) != 0) continue;
    while (fields >> name) {
      std::string lower = name;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (lower != "localhost" && !lower.ends_with(".localhost") && lower != host) return name;
    }
  }
  return std::string();
}

// What Listen cannot tell comes back to the relay when the first client arrives: that session is
// cut with an entry on each side of the loop, and the program goes on listening.
TEST_F(Headless, AConnectionThatComesBackToTheRelayIsCutAtOnceWithAnEntryOnEachSide) {
  const std::string alias = LoopbackAlias();
  if (alias.empty()) GTEST_SKIP() << "no other name for a loopback address in /etc/hosts";
  const std::string port = std::to_string(UnusedPort());
  TChildProgram p({"--headless", "--local-port", port, "--remote-addr", alias, "--remote-port", port});
  Port = p.ListeningPort();
  ASSERT_NE(Port, 0) << p.Err();
  TPeer& local = NewLocal();
  local.ToSend = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_TRUE(Run([&] { return local.Eof && SocketsOf(p.Pid()) == 1; }, 20000)) << "sockets " << SocketsOf(p.Pid());
  EXPECT_TRUE(local.Received.empty());
  EXPECT_FALSE(p.Exited());
  p.Signal(SIGTERM);
  EXPECT_EQ(p.WaitExit(), 0) << p.Err();
  std::ifstream out(p.OutPath(), std::ios::binary);
  std::vector<std::string> titles;
  for (const TDriverEntry& e : ParseHeadlessEntries(out)) titles.push_back(e.Title);
  EXPECT_EQ(std::count(titles.begin(), titles.end(), "Error: Relay into itself"), 2) << ::testing::PrintToString(titles);
  EXPECT_EQ(std::count(titles.begin(), titles.end(), "Connection Closed"), 2) << "the client's session and the one that came back, no more";
}

TEST(CommandLine, HelpListsEveryOptionAndExamplesVersionSaysWhichAndBothEndWithStatusZero) {
  TChildProgram help({"--help"});
  EXPECT_EQ(help.WaitExit(), 0);
  const std::string text = help.Out();
  for (const char* option : {"--local-port P", "--remote-addr HOST", "--remote-port P", "--line-mode", "--hex",
                             "--listen", "--headless", "--quiet", "--save PATH", "--replay FILE", "--session N", "--settle MS",
                             "--original-timing", "--ignore REGEX", "--help", "--version"})
    EXPECT_NE(text.find(std::string("\n  ") + option + " "), std::string::npos) << option;
  EXPECT_NE(text.find("Examples:\n  vantrel "), std::string::npos);
  TChildProgram version({"--version"});
  EXPECT_EQ(version.WaitExit(), 0);
  EXPECT_EQ(version.Out().rfind("vantrel ", 0), 0u);
}

// The windows take the same options: the fields filled in and Listen pressed (line mode on too).
TEST_F(Headless, TheWindowsTakeTheirFieldsFromTheOptionsAndListenWhenAsked) {
  Remote.Echo = true;
  Port = UnusedPort();
  TChildProgram p({"--local-port", std::to_string(Port), "--remote-addr", "127.0.0.1", "--remote-port",
                   std::to_string(Remote.Listener.Port), "--line-mode", "--listen"},
                  {"QT_QPA_PLATFORM=offscreen"});
  int fd = -1;
  ASSERT_TRUE(Run([&] { return (fd = RawConnect(Port)) >= 0 || p.Exited(); }, 30000)) << p.Err();
  ASSERT_GE(fd, 0) << p.Err();
  Locals.push_back(std::make_unique<TPeer>(fd));
  TPeer& local = *Locals.back();
  local.ToSend = "one\r\ntwo\r\n";
  ASSERT_TRUE(Run([&] { return local.Received.size() >= local.ToSend.size(); }));
  EXPECT_EQ(local.Received, local.ToSend);
}

TEST(CommandLine, WithoutADisplayTheWindowsSaySoAndPointToTheHeadlessMode) {
  TChildProgram p({}, {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
  EXPECT_EQ(p.WaitExit(), 1);
  EXPECT_NE(p.Err().find("no display"), std::string::npos) << p.Err();
  EXPECT_NE(p.Err().find("--headless"), std::string::npos) << p.Err();
}

}  // namespace
