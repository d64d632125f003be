// TLS through the relay engine, with real peers on both sides: curl and Python's ssl module as
// clients, Python's HTTPS server, nghttpd (HTTP/2), openssl s_server and small Python servers
// as the remote side. The relay runs in this process on the loop that the tests pump; what it
// logs is recorded and checked with the bytes both ends saw.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "record/RecordSearch.h"
#include "record/TrafficRecord.h"
#include "record/TrafficWriter.h"
#include "relay/Relay.h"
#include "tls/TlsTestSupport.h"

using namespace tlstest;

namespace {

const std::string kPeers = std::string(VANTREL_RELAY_TEST_DIR) + "/tls-peers.py";

struct TRecorded {
  std::string Title, Body;
  std::uint64_t Session = 0;
  TEntryDirection Direction = edNone;
};

// Keeps every entry, and the same in a traffic record, as the log window keeps it (search and
// saving read that).
class TRecordingSink : public TEntrySink {
public:
  std::vector<TRecorded> Entries;
  std::map<std::uint64_t, TSessionInfo> Sessions;
  TTrafficRecord Record;

  void SetEntryColor(TColor) override {}
  void SetEntryTitle(const std::string& Value) override { FTitle = Value; }
  void AddEntry(const std::string& Body) override {
    Entries.push_back({FTitle, Body, 0, edNone});
    Record.Add(FTitle, clBlack, emText, TEntrySource{}, Body);
  }
  void AddEntry(const std::string& Body, const TEntrySource& Source) override {
    Entries.push_back({FTitle, Body, Source.Session, Source.Direction});
    Record.Add(FTitle, clBlack, emText, Source, Body);
  }
  void SessionChanged(const TSessionInfo& Info) override {
    Sessions[Info.Id] = Info;
    Record.SetSession(Info);
  }

  // Every body of one direction, joined: the plaintext of that direction.
  std::string Stream(TEntryDirection Direction) const {
    std::string s;
    for (const TRecorded& e : Entries)
      if (e.Direction == Direction) s += e.Body;
    return s;
  }
  const TRecorded* Find(const std::string& Title) const {
    for (const TRecorded& e : Entries)
      if (e.Title == Title) return &e;
    return nullptr;
  }
  std::string Titles() const {
    std::string s;
    for (const TRecorded& e : Entries) s += e.Title + " | ";
    return s;
  }
  std::size_t IndexOf(const std::string& Title) const {
    for (std::size_t i = 0; i < Entries.size(); ++i)
      if (Entries[i].Title == Title) return i;
    return Entries.size();
  }

private:
  std::string FTitle;
};

// A peer that prints its port as its first line.
struct TServerPeer {
  std::unique_ptr<TChild> Child;
  std::string Port;
  bool Start(const std::vector<std::string>& Argv) {
    Child = std::make_unique<TChild>(Argv);
    const bool up = PumpUntil([&] {
      Child->Read();
      return Child->Output.find('\n') != std::string::npos || Child->Exited();
    }, 10000);
    if (!up || Child->Output.find('\n') == std::string::npos) return false;
    Port = Child->Output.substr(0, Child->Output.find('\n'));
    return true;
  }
};

// The relay with TLS settings, on a free port, its authority in a folder of the test's own.
struct TTlsRelay {
  TTempDir Data;
  TRecordingSink Sink;
  TRelay Relay{nullptr, &Sink};
  std::string Port;

  TTlsSettings Defaults() const {
    TTlsSettings t;
    t.DataFolder = Data.Path + "/vantrel";
    t.CaFile = Certs().Ca;
    return t;
  }
  bool LineMode = false;
  void Start(const TTlsSettings& Tls, const std::string& RemotePort, const std::string& RemoteAddr = "localhost") {
    TRelaySettings s;
    s.LineMode = LineMode;
    s.LocalPort = "0";
    s.RemoteAddr = RemoteAddr;
    s.RemotePort = RemotePort;
    s.Tls = Tls;
    Relay.Listen(s);
    Port = Relay.WSocketServer()->GetBoundPort();
  }
  std::string AuthorityFile() const { return Data.Path + "/vantrel/ca-cert.pem"; }
  bool Idle(int TimeoutMs = 10000) {
    return PumpUntil([&] { return Relay.SessionCount() == 0 && Relay.WSocketServer()->ClientCount() == 0; }, TimeoutMs);
  }
  ~TTlsRelay() {
    if (Relay.Listening()) Relay.Cancel();
    Idle(5000);
  }
};

// Our socket component as a plaintext client of the relay: what it receives and, with HalfOpen
// (its sending side stays open after the remote side's end), whether that end reached it.
struct TRelayClient {
  TWSocket Socket{nullptr};
  std::string Got;
  bool Ended = false;
  explicit TRelayClient(bool HalfOpen = true) {
    Collect(Socket, Got);
    if (!HalfOpen) return;
    Socket.SetComponentOptions(TWSocketOptions{wsoAllowHalfOpen});
    Socket.OnPeerShutdown = [this](TComponent*, std::uint16_t) { Ended = true; };
  }
  // Connects to the relay at 127.0.0.1:Port; false when it did not connect in time.
  bool Connect(const std::string& Port) {
    Socket.SetAddr("127.0.0.1");
    Socket.SetPort(Port);
    Socket.Connect();
    return PumpUntil([&] { return Socket.State() == wsConnected; });
  }
};

// Runs a client program to its end while the relay serves it.
std::unique_ptr<TChild> RunClient(const std::vector<std::string>& Argv, int TimeoutMs = 20000) {
  auto c = std::make_unique<TChild>(Argv);
  EXPECT_TRUE(c->WaitExit(TimeoutMs)) << Argv[0] << " did not end";
  return c;
}

int ExitCode(const TChild& C) { return WIFEXITED(C.Status) ? WEXITSTATUS(C.Status) : -1; }

bool Contains(const std::string& Text, const std::string& Part) { return Text.find(Part) != std::string::npos; }

// ---- curl through both legs: HTTP/1.1 and HTTP/2 ----

struct THttpCase {
  const char* Name;
  bool Http2;
};
void PrintTo(const THttpCase& C, std::ostream* Os) { *Os << C.Name; }

class RelayTlsHttp : public testing::TestWithParam<THttpCase> {};

TEST_P(RelayTlsHttp, CurlGetsTheFileAndTheLogShowsThePlaintext) {
  const bool h2 = GetParam().Http2;
  TTempDir site;
  const std::string body = Pattern(300000, 7);
  WriteFile(site / "file.bin", body);
  TServerPeer server;
  if (h2) {
    const std::uint16_t port = UnusedPort();
    server.Child = std::make_unique<TChild>(std::vector<std::string>{
        "nghttpd", "--htdocs=" + site.Path, std::to_string(port), Certs().ServerKey, Certs().ServerCert});
    server.Port = std::to_string(port);
    ASSERT_TRUE(PumpUntil([&] { return Listening(port) || server.Child->Exited(); }, 10000) && !server.Child->Exited())
        << "nghttpd did not start";
  } else {
    ASSERT_TRUE(server.Start({"python3", kPeers, "https", site.Path, Certs().ServerCert, Certs().ServerKey}));
  }
  TTlsRelay relay;
  TTlsSettings tls = relay.Defaults();
  tls.LocalTls = tls.RemoteTls = true;
  tls.KeyLogFile = site / "keys.txt";
  relay.Start(tls, server.Port);
  auto curl = RunClient({"curl", "-sS", h2 ? "--http2" : "--http1.1", "--cacert", relay.AuthorityFile(), "-o",
                         site / "got.bin", "https://localhost:" + relay.Port + "/file.bin"});
  EXPECT_EQ(ExitCode(*curl), 0) << curl->Errors << "\n" << relay.Sink.Titles();
  const std::string got = ReadFile(site / "got.bin");
  EXPECT_EQ(got.size(), body.size());
  EXPECT_EQ(Checksum(got), Checksum(body));

  const TRecorded* remote = relay.Sink.Find("TLS with Remote");
  const TRecorded* local = relay.Sink.Find("TLS with Local");
  ASSERT_NE(remote, nullptr) << relay.Sink.Titles();
  ASSERT_NE(local, nullptr) << relay.Sink.Titles();
  const std::string alpn = h2 ? "ALPN: h2" : "ALPN: http/1.1";
  EXPECT_TRUE(Contains(remote->Body, alpn)) << remote->Body;
  EXPECT_TRUE(Contains(local->Body, alpn)) << local->Body;  // the protocol the server chose
  EXPECT_TRUE(Contains(remote->Body, "Verification: ok")) << remote->Body;
  EXPECT_TRUE(Contains(remote->Body, "Server name: localhost")) << remote->Body;
  EXPECT_TRUE(Contains(local->Body, "issued for localhost by the built-in authority")) << local->Body;
  // The key log holds the secrets of both legs: two TLS 1.3 handshakes, each with its own client random.
  std::istringstream keys(ReadFile(site / "keys.txt"));
  std::set<std::string> randoms;
  std::string label, random, secret;
  while (keys >> label >> random >> secret)
    if (label == "CLIENT_HANDSHAKE_TRAFFIC_SECRET") randoms.insert(random);
  EXPECT_EQ(randoms.size(), 2u);
  // Both handshakes come before the first byte of data.
  EXPECT_LT(relay.Sink.IndexOf("TLS with Local"), relay.Sink.IndexOf("From Local"));

  const std::string fromLocal = relay.Sink.Stream(edFromLocal);
  const std::string fromRemote = relay.Sink.Stream(edFromRemote);
  if (h2) {
    EXPECT_EQ(fromLocal.rfind("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 0), 0u) << "not the plaintext preface";
    EXPECT_GE(fromRemote.size(), body.size());  // DATA frames carry the file whole
  } else {
    EXPECT_EQ(fromLocal.rfind("GET /file.bin HTTP/1.1\r\n", 0), 0u) << fromLocal.substr(0, 80);
    EXPECT_TRUE(Contains(fromRemote, "HTTP/1.0 200 OK\r\n") || Contains(fromRemote, "HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(Contains(fromRemote, body)) << "the file is not in the log as it was sent";
    // Search finds a header of the decrypted response.
    TRecordSearch search(relay.Sink.Record, "content-LENGTH: 300000", false);
    std::atomic<bool> cancel{false};
    search.Run(relay.Sink.Record.Count(), cancel);
    EXPECT_EQ(search.Found(), 1u);
    // The saved capture holds the plaintext: tshark reads the request and the response as HTTP,
    // and the packets say that they were decrypted.
    std::string error;
    ASSERT_TRUE(SaveRecord(relay.Sink.Record, site / "saved.pcapng", sfCapture, error)) << error;
    const std::string tshark = "tshark -r '" + site / "saved.pcapng" + "' -d tcp.port==" + server.Port + ",http ";
    auto run = [](const std::string& Command) {
      std::string out;
      FILE* p = ::popen((Command + " 2>/dev/null").c_str(), "r");
      char buf[4096];
      std::size_t n;
      while (p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
      if (p != nullptr) ::pclose(p);
      return out;
    };
    EXPECT_EQ(run(tshark + "-Y http.request -T fields -e http.request.method -e http.request.uri"), "GET\t/file.bin\n");
    EXPECT_EQ(run(tshark + "-Y http.response -T fields -e http.response.code -e http.content_length"), "200\t300000\n");
    EXPECT_TRUE(Contains(run(tshark + "-Y http.request -T fields -e frame.comment"), "decrypted")) << "no comment says so";
  }
  EXPECT_TRUE(relay.Idle());
  ASSERT_FALSE(relay.Sink.Sessions.empty());
  const TSessionInfo& info = relay.Sink.Sessions.begin()->second;
  EXPECT_EQ(info.LocalTls, h2 ? "TLSv1.3 h2" : "TLSv1.3 http/1.1") << relay.Sink.Titles();
  // A client that ends without close_notify (curl does, over HTTP/2) has the relay end the remote
  // leg the same way, and a server may answer that with an alert.
  if (relay.Sink.Find("TLS from Local truncated") == nullptr) {
    EXPECT_EQ(info.RemoteTls, info.LocalTls) << relay.Sink.Titles();
  }
}

INSTANTIATE_TEST_SUITE_P(Protocols, RelayTlsHttp,
                         testing::Values(THttpCase{"Http11", false}, THttpCase{"Http2", true}),
                         [](const testing::TestParamInfo<THttpCase>& i) { return std::string(i.param.Name); });

// ---- remote TLS for a plaintext client: bytes exact both ways, and the ends ----

TEST(RelayTls, PlaintextClientToTlsServerIsExactBothWaysAndHalfClosesWithCloseNotify) {
  TServerPeer server;
  ASSERT_TRUE(server.Start({"python3", kPeers, "echo", Certs().ServerCert, Certs().ServerKey}));
  TTlsRelay relay;
  TTlsSettings tls = relay.Defaults();
  tls.RemoteTls = true;
  relay.Start(tls, server.Port);

  TRelayClient c;
  ASSERT_TRUE(c.Connect(relay.Port));
  TWSocket& client = c.Socket;
  std::string& got = c.Got;
  bool& ended = c.Ended;
  const std::string data = Pattern(6 << 20, 3);
  client.Send(data.data(), static_cast<std::int32_t>(data.size()));
  client.Shutdown(1);  // the end goes on as close_notify: the echo server answers it with its own
  ASSERT_TRUE(PumpUntil([&] { return ended; }, 30000)) << relay.Sink.Titles();
  EXPECT_EQ(got.size(), data.size());
  EXPECT_EQ(Checksum(got), Checksum(data));
  EXPECT_EQ(relay.Sink.Stream(edFromLocal).size(), data.size());
  EXPECT_EQ(Checksum(relay.Sink.Stream(edFromRemote)), Checksum(data));
  EXPECT_NE(relay.Sink.Find("End of Stream from Local"), nullptr);
  EXPECT_NE(relay.Sink.Find("End of Stream from Remote"), nullptr);
  EXPECT_EQ(relay.Sink.Find("TLS from Remote truncated"), nullptr);
  client.Close();
  ASSERT_TRUE(server.Child->WaitExit());
  EXPECT_TRUE(Contains(server.Child->Output, "done")) << server.Child->Errors;
}

// A local client that reads slowly, with TLS toward the echo server: the relay stops reading the
// remote side's TLS while the client's side is backed up, so what it buffers for the client stays
// far below what is sent, and every byte comes back in order.
TEST(RelayTls, ASlowLocalReaderHoldsTheTlsRemoteBackAndLosesNothing) {
  TServerPeer server;
  ASSERT_TRUE(server.Start({"python3", kPeers, "echo", Certs().ServerCert, Certs().ServerKey}));
  TTlsRelay relay;
  TTlsSettings tls = relay.Defaults();
  tls.RemoteTls = true;
  relay.Start(tls, server.Port);

  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int small = 32 << 10;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::uint16_t port = static_cast<std::uint16_t>(std::stoi(relay.Port));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = static_cast<std::uint16_t>((port >> 8) | (port << 8));
  a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

  const std::string data = Pattern(8 << 20, 9);
  std::string got;
  std::size_t sent = 0, mostBuffered = 0;
  bool shut = false;
  char buf[16384];
  ASSERT_TRUE(PumpUntil([&] {
    while (sent < data.size()) {
      const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    if (sent == data.size() && !shut) shut = ::shutdown(fd, SHUT_WR) == 0;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);  // one small read a round: a slow reader
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    if (relay.Relay.WSocketServer()->ClientCount() == 1)
      mostBuffered = std::max<std::size_t>(mostBuffered, relay.Relay.WSocketServer()->Client(0)->BufferedSendBytes());
    return n == 0;
  }, 240000)) << got.size() << " of " << data.size();
  ::close(fd);
  EXPECT_EQ(got.size(), data.size());
  EXPECT_EQ(Checksum(got), Checksum(data));
  EXPECT_LT(mostBuffered, data.size() / 4) << "the relay buffered for the slow reader without bound";
  EXPECT_EQ(relay.Sink.Stream(edFromRemote).size(), data.size());
  ASSERT_TRUE(server.Child->WaitExit());
  EXPECT_TRUE(Contains(server.Child->Output, "done")) << server.Child->Errors;
}

// The remote side ends without close_notify, or resets: the local client, over TLS too, sees the
// same end (a truncation, a reset) after every byte.
struct TEndCase {
  const char* Name;
  const char* Mode;
  const char* ClientSees;
  const char* Logged;
};
void PrintTo(const TEndCase& C, std::ostream* Os) { *Os << C.Name; }

class RelayTlsEnds : public testing::TestWithParam<TEndCase> {};

TEST_P(RelayTlsEnds, TheLocalClientSeesTheRemoteEndAfterEveryByte) {
  TServerPeer server;
  ASSERT_TRUE(server.Start({"python3", kPeers, GetParam().Mode, Certs().ServerCert, Certs().ServerKey, "700000"}));
  TTlsRelay relay;
  TTlsSettings tls = relay.Defaults();
  tls.LocalTls = tls.RemoteTls = true;
  relay.Start(tls, server.Port);
  // The relay's authority exists once it listens: the client trusts it.
  auto client = RunClient({"python3", kPeers, "tlsclient", relay.Port, relay.AuthorityFile()});
  // Python's ssl tells a reset read after the last record from a TCP end only at times; neither
  // is close_notify.
  const std::string seen = client->Output;
  EXPECT_TRUE(seen == std::string("700000 ") + GetParam().ClientSees + "\n" ||
              (std::string(GetParam().Mode) == "reset" && seen == "700000 truncated\n"))
      << seen << client->Errors << relay.Sink.Titles();
  EXPECT_NE(relay.Sink.Find(GetParam().Logged), nullptr) << relay.Sink.Titles();
  EXPECT_EQ(relay.Sink.Stream(edFromRemote).size(), 700000u);
}

INSTANTIATE_TEST_SUITE_P(Ends, RelayTlsEnds,
                         testing::Values(TEndCase{"Truncation", "truncate", "truncated", "TLS from Remote truncated"},
                                         TEndCase{"Reset", "reset", "reset", "Reset from Remote"}),
                         [](const testing::TestParamInfo<TEndCase>& i) { return std::string(i.param.Name); });

// ---- mutual TLS ----

TEST(RelayTls, ClientCertificateReachesAServerThatRequiresOne) {
  for (bool withCertificate : {true, false}) {
    SCOPED_TRACE(withCertificate ? "with a client certificate" : "without one");
    TOpenSslServer server;
    ASSERT_TRUE(server.Start({"-cert", Certs().ServerCert, "-key", Certs().ServerKey, "-Verify", "1", "-CAfile", Certs().Ca}));
    TTlsRelay relay;
    TTlsSettings tls = relay.Defaults();
    tls.RemoteTls = true;
    if (withCertificate) {
      tls.ClientCertFile = Certs().ClientCert;
      tls.ClientKeyFile = Certs().ClientKey;
    }
    relay.Start(tls, std::to_string(server.Port));
    TRelayClient c(false);
    ASSERT_TRUE(c.Connect(relay.Port));
    TWSocket& client = c.Socket;
    client.SendText("hello through mutual TLS\n");
    if (withCertificate) {
      ASSERT_TRUE(PumpUntil([&] {
        server.Child->Read();
        return Contains(server.Child->Output, "hello through mutual TLS\n");
      }, 10000)) << relay.Sink.Titles() << server.Child->Errors;
      const TRecorded* remote = relay.Sink.Find("TLS with Remote");
      ASSERT_NE(remote, nullptr);
    } else {
      // TLS 1.3: the server refuses the missing certificate after the client's handshake is done.
      ASSERT_TRUE(PumpUntil([&] { return relay.Sink.Find("Error: TLS with Remote failed") != nullptr; }, 10000))
          << relay.Sink.Titles();
      EXPECT_TRUE(Contains(relay.Sink.Find("Error: TLS with Remote failed")->Body, "certificate required"))
          << relay.Sink.Find("Error: TLS with Remote failed")->Body;
      EXPECT_EQ(relay.Sink.Find("Reset from Remote"), nullptr);
      // The client, plaintext, sees the end of the stream, not a reset.
      ASSERT_TRUE(PumpUntil([&] { return client.State() == wsClosed; }, 10000));
      EXPECT_FALSE(Contains(server.Child->Output, "hello"));
    }
    client.Close();
  }
}

// ---- bad input: refused at Listen, with the reason ----

struct TBadInputCase {
  const char* Name;
  std::function<void(TTlsSettings&, const TTempDir&)> Set;
  const char* Says;  // a part of the error's text
};
void PrintTo(const TBadInputCase& C, std::ostream* Os) { *Os << C.Name; }

class RelayTlsBadInput : public testing::TestWithParam<TBadInputCase> {};

TEST_P(RelayTlsBadInput, ListenIsRefusedWithTheReason) {
  TTempDir dir;
  TTlsRelay relay;
  TTlsSettings tls = relay.Defaults();
  GetParam().Set(tls, dir);
  try {
    relay.Start(tls, "9");
    FAIL() << "Listen went ahead";
  } catch (ESocketException& E) {
    EXPECT_TRUE(Contains(E.Message(), GetParam().Says)) << E.Message();
    EXPECT_EQ(E.Message().find('\n'), std::string::npos) << "not one line: " << E.Message();
  }
  EXPECT_FALSE(relay.Relay.Listening());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RelayTlsBadInput,
    testing::Values(
        TBadInputCase{"MissingCertificate",
                      [](TTlsSettings& t, const TTempDir& d) {
                        t.LocalTls = true;
                        t.CertFile = d / "none.pem";
                        t.KeyFile = Certs().ServerKey;
                      },
                      "none.pem"},
        TBadInputCase{"KeyOfAnotherCertificate",
                      [](TTlsSettings& t, const TTempDir&) {
                        t.LocalTls = true;
                        t.CertFile = Certs().ServerCert;
                        t.KeyFile = Certs().OtherNameKey;
                      },
                      "does not match"},
        TBadInputCase{"NotPem",
                      [](TTlsSettings& t, const TTempDir& d) {
                        WriteFile(d / "garbage.pem", "not a certificate\n");
                        t.RemoteTls = true;
                        t.ClientCertFile = d / "garbage.pem";
                        t.ClientKeyFile = Certs().ClientKey;
                      },
                      "garbage.pem"},
        TBadInputCase{"DataFolderThatCannotBeMade",
                      [](TTlsSettings& t, const TTempDir& d) {
                        WriteFile(d / "plain-file", "x");
                        t.LocalTls = true;
                        t.DataFolder = d / "plain-file/vantrel";
                      },
                      "plain-file"},
        TBadInputCase{"KeyLogThatCannotBeOpened",
                      [](TTlsSettings& t, const TTempDir& d) {
                        t.RemoteTls = true;
                        t.KeyLogFile = d / "no-such-folder/keys.txt";
                      },
                      "keys.txt"}),
    [](const testing::TestParamInfo<TBadInputCase>& i) { return std::string(i.param.Name); });

// ---- a server certificate that does not verify ----

struct TVerifyCase {
  const char* Name;
  std::string (*Cert)();
  std::string (*Key)();
  const char* Reason;
};
void PrintTo(const TVerifyCase& C, std::ostream* Os) { *Os << C.Name; }

class RelayTlsVerify : public testing::TestWithParam<TVerifyCase> {};

TEST_P(RelayTlsVerify, IsAnErrorEntryAndTheClientGetsAnAlert_InsecureGoesThrough) {
  for (bool insecure : {false, true}) {
    SCOPED_TRACE(insecure ? "--insecure" : "verifying");
    TTempDir site;
    WriteFile(site / "index.html", "hello\n");
    TServerPeer server;
    ASSERT_TRUE(server.Start({"python3", kPeers, "https", site.Path, GetParam().Cert(), GetParam().Key()}));
    TTlsRelay relay;
    TTlsSettings tls = relay.Defaults();
    tls.LocalTls = tls.RemoteTls = true;
    if (insecure) {
      tls.Insecure = true;
      tls.CaFile.clear();
    }
    relay.Start(tls, server.Port);
    auto curl = RunClient({"curl", "-sS", "--cacert", relay.AuthorityFile(), "https://localhost:" + relay.Port + "/index.html"});
    if (!insecure) {
      EXPECT_EQ(ExitCode(*curl), 35) << curl->Errors;  // curl's "SSL connect error": the alert
      EXPECT_TRUE(Contains(curl->Errors, "alert handshake failure")) << curl->Errors;
      const TRecorded* error = relay.Sink.Find("Error: TLS with Remote failed");
      ASSERT_NE(error, nullptr) << relay.Sink.Titles();
      EXPECT_TRUE(Contains(error->Body, GetParam().Reason)) << error->Body;
      EXPECT_EQ(relay.Sink.Find("Reset from Remote"), nullptr);
      ASSERT_FALSE(relay.Sink.Sessions.empty());
      EXPECT_EQ(relay.Sink.Sessions.begin()->second.RemoteTls, "failed");
    } else {
      EXPECT_EQ(ExitCode(*curl), 0) << curl->Errors;
      EXPECT_EQ(curl->Output, "hello\n");
      const TRecorded* remote = relay.Sink.Find("TLS with Remote");
      ASSERT_NE(remote, nullptr);
      EXPECT_TRUE(Contains(remote->Body, "Verification: skipped (--insecure)")) << remote->Body;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, RelayTlsVerify,
    testing::Values(TVerifyCase{"Expired", [] { return Certs().ExpiredCert; }, [] { return Certs().ExpiredKey; },
                                "certificate has expired"},
                    TVerifyCase{"OtherName", [] { return Certs().OtherNameCert; }, [] { return Certs().OtherNameKey; },
                                "hostname mismatch"},
                    TVerifyCase{"UnknownIssuer", [] { return Certs().StrangerCert; }, [] { return Certs().StrangerKey; },
                                "unable to get local issuer certificate"}),
    [](const testing::TestParamInfo<TVerifyCase>& i) { return std::string(i.param.Name); });

// ---- TLS that starts midway: STARTTLS, SSLRequest ----

// In line mode too: the hello, read as "lines" of whatever bytes it holds, is taken whole.
class RelayTlsSmtp : public testing::TestWithParam<bool> {};

TEST_P(RelayTlsSmtp, StartTlsShowsThePlaintextBeforeAndAfterTheUpgrade) {
  TServerPeer server;
  ASSERT_TRUE(server.Start({"python3", std::string(VANTREL_TLS_TEST_DIR) + "/starttls-server.py", Certs().ServerCert,
                            Certs().ServerKey}));
  TTlsRelay relay;
  relay.LineMode = GetParam();
  TTlsSettings tls = relay.Defaults();
  tls.DetectTls = true;
  relay.Start(tls, server.Port);
  TChild client({"openssl", "s_client", "-starttls", "smtp", "-connect", "localhost:" + relay.Port, "-CAfile",
                 relay.AuthorityFile(), "-verify_return_error", "-quiet", "-nocommands"});
  std::size_t at = 0;
  const std::string lines = "hello over tls\r\nQUIT\r\n";
  // The lines go once the upgrade has happened (the relay's handshake entry with Local).
  ASSERT_TRUE(PumpUntil([&] {
    client.Read();
    if (relay.Sink.Find("TLS with Local") != nullptr) client.Write(lines, at);
    return Contains(client.Output, "221 bye") || client.Exited();
  }, 20000)) << client.Errors << relay.Sink.Titles();
  EXPECT_TRUE(Contains(client.Output, "250 got 16")) << client.Output;
  const std::string fromLocal = relay.Sink.Stream(edFromLocal);
  const std::string fromRemote = relay.Sink.Stream(edFromRemote);
  // Before the upgrade, as sent; after it, the plaintext inside TLS.
  EXPECT_TRUE(Contains(fromLocal, "STARTTLS\r\n")) << fromLocal;
  EXPECT_TRUE(Contains(fromRemote, "220 2.0.0 Ready to start TLS\r\n")) << fromRemote;
  EXPECT_TRUE(Contains(fromLocal, "STARTTLS\r\nhello over tls\r\nQUIT\r\n")) << fromLocal;
  EXPECT_TRUE(Contains(fromRemote, "250 got 16\r\n221 bye\r\n")) << fromRemote;
  EXPECT_LT(relay.Sink.IndexOf("TLS with Remote"), relay.Sink.IndexOf("TLS with Local"));
  ASSERT_TRUE(server.Child->WaitExit());
  EXPECT_TRUE(Contains(server.Child->Output, "tls: hello over tls")) << server.Child->Output;
  if (GetParam()) {
    // Each line of the plaintext an entry of its own, on both sides of the upgrade.
    std::vector<std::string> local;
    for (const TRecorded& e : relay.Sink.Entries)
      if (e.Direction == edFromLocal) local.push_back(e.Body);
    EXPECT_NE(std::find(local.begin(), local.end(), "STARTTLS\r\n"), local.end());
    EXPECT_NE(std::find(local.begin(), local.end(), "hello over tls\r\n"), local.end());
    EXPECT_NE(std::find(local.begin(), local.end(), "QUIT\r\n"), local.end());
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, RelayTlsSmtp, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) { return std::string(i.param ? "LineMode" : "ChunkMode"); });

TEST(RelayTlsDetect, PostgresSslRequestAnsweredSThenTls) {
  TServerPeer server;
  ASSERT_TRUE(server.Start({"python3", kPeers, "pgserver", Certs().ServerCert, Certs().ServerKey}));
  TTlsRelay relay;
  TTlsSettings tls = relay.Defaults();
  tls.DetectTls = true;
  relay.Start(tls, server.Port);
  auto client = RunClient({"python3", kPeers, "pgclient", relay.Port, relay.AuthorityFile()});
  EXPECT_EQ(client->Output, "pong: ping over tls\n") << client->Errors << relay.Sink.Titles();
  const std::string sslRequest("\x00\x00\x00\x08\x04\xd2\x16\x2f", 8);
  EXPECT_EQ(relay.Sink.Stream(edFromLocal), sslRequest + "ping over tls\n");
  EXPECT_EQ(relay.Sink.Stream(edFromRemote), "Spong: ping over tls\n");
  EXPECT_NE(relay.Sink.Find("TLS with Local"), nullptr);
}

// The request to switch and the hello in one write: the hello is found behind the plaintext.
TEST(RelayTlsDetect, HelloInTheSameChunkAsThePlaintextBeforeIt) {
  TServerPeer server;
  ASSERT_TRUE(server.Start({"python3", kPeers, "mysqlserver", Certs().ServerCert, Certs().ServerKey}));
  TTlsRelay relay;
  TTlsSettings tls = relay.Defaults();
  tls.DetectTls = true;
  relay.Start(tls, server.Port);
  auto client = RunClient({"python3", kPeers, "mysqlclient", relay.Port, relay.AuthorityFile()});
  EXPECT_EQ(client->Output, "pong: ping over tls\n") << client->Errors << relay.Sink.Titles();
  const std::string request = std::string("\x20\x00\x00\x01\x00\x0a\x00\x00", 8) + std::string(28, '\0');
  EXPECT_EQ(relay.Sink.Stream(edFromLocal), request + "ping over tls\n");
  EXPECT_EQ(relay.Sink.Stream(edFromRemote), "pong: ping over tls\n");
}

// A client that speaks TLS where only the remote leg has it: relayed, and the log says so.
TEST(RelayTls, HelloFromTheClientWithOnlyRemoteTlsIsLogged) {
  TOpenSslServer server;
  ASSERT_TRUE(server.Start({"-cert", Certs().ServerCert, "-key", Certs().ServerKey}));
  TTlsRelay relay;
  TTlsSettings tls = relay.Defaults();
  tls.RemoteTls = true;
  relay.Start(tls, std::to_string(server.Port));
  auto curl = RunClient({"curl", "-sS", "-m", "5", "--cacert", Certs().Ca, "https://localhost:" + relay.Port + "/"});
  EXPECT_NE(ExitCode(*curl), 0);
  bool noted = false;
  for (const TRecorded& e : relay.Sink.Entries) noted = noted || Contains(e.Title, "Local speaks TLS, but only remote TLS is on");
  EXPECT_TRUE(noted) << relay.Sink.Titles();
}

// Intercept on a TLS leg holds and edits the plaintext: the edit is what the TLS server gets (its
// echo comes back), and the bytes after it follow exactly.
TEST(RelayTls, InterceptEditsThePlaintextOfATlsLeg) {
  TServerPeer server;
  ASSERT_TRUE(server.Start({"python3", kPeers, "echo", Certs().ServerCert, Certs().ServerKey}));
  TTlsRelay relay;
  TTlsSettings tls = relay.Defaults();
  tls.RemoteTls = true;
  relay.Start(tls, server.Port);
  TInterceptSettings intercept;
  intercept.On = true;
  intercept.Match = "EDIT";
  relay.Relay.SetIntercept(intercept);
  std::vector<std::uint64_t> held;
  relay.Relay.OnChunkHeld = [&](const TInterceptedChunk& C) { held.push_back(C.Number); };

  TRelayClient c;
  ASSERT_TRUE(c.Connect(relay.Port));
  TWSocket& client = c.Socket;
  std::string& got = c.Got;
  bool& ended = c.Ended;
  const std::string hello = "hello EDIT me;";
  client.Send(hello.data(), static_cast<std::int32_t>(hello.size()));
  ASSERT_TRUE(PumpUntil([&] { return held.size() == 1; })) << relay.Sink.Titles();
  std::string error;
  ASSERT_TRUE(relay.Relay.InterceptDecide(held[0], iaEdit, "hello, changed on the way;", error)) << error;
  ASSERT_TRUE(PumpUntil([&] { return got == "hello, changed on the way;"; })) << got << relay.Sink.Titles();
  const std::string data = Pattern(1 << 20, 5);
  client.Send(data.data(), static_cast<std::int32_t>(data.size()));
  client.Shutdown(1);
  ASSERT_TRUE(PumpUntil([&] { return ended; }, 30000)) << relay.Sink.Titles();
  const std::string expected = "hello, changed on the way;" + data;
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_EQ(Checksum(got), Checksum(expected));
  EXPECT_EQ(held.size(), 1u) << "a chunk without the match was held";
  EXPECT_EQ(relay.Sink.Stream(edFromLocal), expected);
  const TRecorded* original = relay.Sink.Find("Intercept: held #" + std::to_string(held[0]) + " to Remote");
  ASSERT_NE(original, nullptr) << relay.Sink.Titles();
  EXPECT_EQ(original->Body, "hello EDIT me;");
  EXPECT_NE(relay.Sink.Find("Edited to Remote"), nullptr);
  client.Close();
  ASSERT_TRUE(server.Child->WaitExit());
}

}  // namespace
