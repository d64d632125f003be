// TLS that starts in the middle of a stream: an SMTP-like STARTTLS with our socket as the server
// (`openssl s_client -starttls smtp` as the client) and as the client (a Python ssl server), a
// ClientHello sent right behind plaintext, found by the recogniser and handed over with the bytes
// already read, the same in line mode, where the hello sits in the line buffer; and the key log
// of both legs, checked against the one that openssl's client writes for the same connection.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TlsTestSupport.h"
#include "tls/TlsClientHello.h"

using namespace tlstest;

#ifndef VANTREL_TLS_TEST_DIR
#error "the TLS tests need VANTREL_TLS_TEST_DIR, the folder of their scripts"
#endif

namespace {

// The server side of an SMTP-like dialogue in line mode: the plaintext part, then TLS.
struct TSmtpServer {
  TWSocket Listener{nullptr};
  TWSocket Sock{nullptr};
  TTlsEvents Events;
  std::vector<std::string> Plain, Secret;  // the lines before and after the switch

  explicit TSmtpServer(std::shared_ptr<TTlsServerContext> Context) {
    Listener.SetAddr("127.0.0.1");
    Listener.SetPort("0");
    Listener.Listen();
    Listener.OnSessionAvailable = [this](TComponent*, std::uint16_t) {
      Sock.Dup(Listener.Accept());
      Sock.SendText("220 vantrel.test ESMTP\r\n");
    };
    Events.Attach(Sock);
    Sock.SetLineMode(true);
    Sock.SetComponentOptions(TWSocketOptions{wsoAllowHalfOpen});
    Sock.OnDataAvailable = [this, Context](TComponent*, std::uint16_t) {
      const std::string line = Sock.ReceiveText();
      if (line.empty()) return;
      if (!Sock.TlsActive()) {
        Plain.push_back(line);
        if (line.rfind("EHLO", 0) == 0) Sock.SendText("250-vantrel.test\r\n250-PIPELINING\r\n250 STARTTLS\r\n");
        if (line == "STARTTLS\r\n") {
          Sock.SendText("220 2.0.0 Ready to start TLS\r\n");  // plaintext, ahead of the records
          Sock.StartTls(std::make_unique<TTlsEngine>(Context));
        }
        return;
      }
      Secret.push_back(line);
      Sock.SendText(line.rfind("QUIT", 0) == 0 ? "221 bye\r\n" : "250 got " + std::to_string(line.size()) + "\r\n");
    };
  }
  std::string Port() { return Listener.GetBoundPort(); }
};

TEST(TlsStartTls, SmtpServerWithOpenSslStartTlsClient) {
  TSmtpServer server(ServerContext());
  TChild client({"openssl", "s_client", "-starttls", "smtp", "-connect", "127.0.0.1:" + server.Port(), "-quiet",
                 "-nocommands", "-CAfile", Certs().Ca, "-verify_return_error", "-servername", "localhost"});
  ASSERT_TRUE(PumpUntil([&] { return server.Events.Handshakes > 0 || server.Events.Closes > 0; })) << client.Errors;
  ASSERT_EQ(server.Events.HandshakeError, 0) << server.Events.ErrorText;
  ASSERT_EQ(server.Plain.size(), 2u);
  EXPECT_EQ(server.Plain[0].rfind("EHLO ", 0), 0u);
  EXPECT_EQ(server.Plain[1], "STARTTLS\r\n");
  const std::string mail = "MAIL FROM:<a@example.com>\r\nRCPT TO:<b@example.com>\r\nQUIT\r\n";
  std::size_t written = 0;
  ASSERT_TRUE(PumpUntil([&] {
    client.Read();
    client.Write(mail, written);
    return client.Output.find("221 bye\r\n") != std::string::npos;
  })) << client.Output << client.Errors;
  EXPECT_EQ(server.Secret, (std::vector<std::string>{"MAIL FROM:<a@example.com>\r\n", "RCPT TO:<b@example.com>\r\n", "QUIT\r\n"}));
  EXPECT_EQ(client.Output, "250 got 27\r\n250 got 25\r\n221 bye\r\n");
}

TEST(TlsStartTls, ClientOfPythonStartTlsServer) {
  TChild server({"python3", VANTREL_TLS_TEST_DIR "/starttls-server.py", Certs().ServerCert, Certs().ServerKey});
  ASSERT_TRUE(PumpUntil([&] {
    server.Read();
    return server.Output.find('\n') != std::string::npos || server.Exited();
  })) << server.Errors;
  const std::string port = server.Output.substr(0, server.Output.find('\n'));
  TWSocket sock{nullptr};
  TTlsEvents events;
  events.Attach(sock);
  sock.SetLineMode(true);
  sock.SetComponentOptions(TWSocketOptions{wsoAllowHalfOpen});
  std::vector<std::string> replies;
  const std::string block = Pattern(3 << 20, 77);
  std::string echoed;
  bool inBlock = false;
  sock.OnDataAvailable = [&](TComponent*, std::uint16_t) {
    if (inBlock) {  // the echoed block, read as plain data
      echoed += sock.ReceiveText();
      if (echoed.size() >= block.size()) {
        sock.SetLineMode(true);
        inBlock = false;
        sock.SendText("QUIT\r\n");
      }
      return;
    }
    const std::string line = sock.ReceiveText();
    if (line.empty()) return;
    replies.push_back(line);
    if (line == "220 starttls.test ESMTP\r\n") sock.SendText("EHLO vantrel\r\n");
    if (line == "250 STARTTLS\r\n") sock.SendText("STARTTLS\r\n");
    if (line == "220 2.0.0 Ready to start TLS\r\n")
      sock.StartTls(std::make_unique<TTlsEngine>(ClientContext(), "localhost"));
    if (line.rfind("354 ", 0) == 0) {
      sock.SetLineMode(false);
      inBlock = true;
    }
  };
  sock.OnTlsHandshake = [&](TComponent*, std::uint16_t e) {
    events.HandshakeError = e;
    ++events.Handshakes;
    if (e != 0) return;
    sock.SendText("HELLO over tls\r\n");
    sock.SendText("DATA " + std::to_string(block.size()) + "\r\n");
    sock.Send(block.data(), static_cast<std::int32_t>(block.size()));
  };
  sock.OnPeerShutdown = [&](TComponent*, std::uint16_t) {
    ++events.PeerShutdowns;
    events.EndSeen = sock.TlsPeerEnd();
    sock.Shutdown(1);  // our close_notify in return
  };
  sock.SetAddr("127.0.0.1");
  sock.SetPort(port);
  sock.Connect();
  ASSERT_TRUE(server.WaitExit(20000)) << server.Output << server.Errors;
  ASSERT_TRUE(PumpUntil([&] { return events.Closes > 0; }));
  EXPECT_EQ(events.HandshakeError, 0);
  EXPECT_NE(server.Output.find("plain: EHLO vantrel\nplain: STARTTLS\ntls: HELLO over tls\ntls: DATA 3145728\ntls: QUIT\ndone"),
            std::string::npos)
      << server.Output << server.Errors;
  EXPECT_EQ(echoed.size(), block.size());
  EXPECT_EQ(Checksum(echoed), Checksum(block));
  EXPECT_EQ(events.EndSeen, tpeCloseNotify);
  EXPECT_EQ(events.CloseError, 0);
  EXPECT_EQ(replies.back(), "221 bye\r\n");
}

// A client that sends plaintext and its ClientHello in one go: the server reads raw bytes, finds
// the hello with the recogniser and starts TLS with the bytes it has read from the hello on.
TEST(TlsMidStream, HelloFoundByTheRecogniserAndHandedOverWithTheBytesRead) {
  ComponentPair p;
  ASSERT_TRUE(p.Open());
  TTlsEvents client, server;
  client.Attach(p.Client);
  server.Attach(p.Server);
  std::string seen, plaintextBefore, got;
  TClientHello hello;
  p.Server.OnDataAvailable = [&](TComponent*, std::uint16_t) {
    if (p.Server.TlsActive()) {
      got += p.Server.ReceiveText();
      return;
    }
    seen += p.Server.ReceiveText();
    const std::size_t end = seen.find('\n');
    if (end == std::string::npos) return;
    const std::string rest = seen.substr(end + 1);
    THelloVerdict v = ScanClientHello(rest, &hello);
    if (v == hvNeedMore) return;
    plaintextBefore = seen.substr(0, end + 1);
    ASSERT_EQ(v, hvClientHello);
    p.Server.StartTls(std::make_unique<TTlsEngine>(ServerContext()), rest);
  };
  p.Client.SendText("PLAIN hello\n");
  p.Client.StartTls(std::make_unique<TTlsEngine>(ClientContext(), "localhost"));
  ASSERT_TRUE(PumpUntil([&] { return client.Handshakes > 0 && server.Handshakes > 0; }));
  EXPECT_EQ(client.HandshakeError, 0) << client.ErrorText;
  EXPECT_EQ(server.HandshakeError, 0) << server.ErrorText;
  EXPECT_EQ(plaintextBefore, "PLAIN hello\n");
  EXPECT_EQ(hello.ServerName, "localhost");
  const std::string data = Pattern(1 << 20, 99);
  p.Client.Send(data.data(), static_cast<std::int32_t>(data.size()));
  ASSERT_TRUE(PumpUntil([&] { return got.size() >= data.size(); }));
  EXPECT_EQ(Checksum(got), Checksum(data));
}

// In line mode the hello lands in the line buffer behind the STARTTLS line: it becomes the first
// ciphertext, and lines over TLS come as lines, the last one unterminated at the end.
TEST(TlsMidStream, PipelinedHelloBehindALineInLineMode) {
  ComponentPair p;
  ASSERT_TRUE(p.Open());
  TTlsEvents client, server;
  client.Attach(p.Client);
  server.Attach(p.Server);
  p.Server.SetLineMode(true);
  p.Server.SetComponentOptions(TWSocketOptions{wsoAllowHalfOpen});
  std::vector<std::string> lines;
  p.Server.OnDataAvailable = [&](TComponent*, std::uint16_t) {
    const std::string line = p.Server.ReceiveText();
    if (line.empty()) return;
    lines.push_back(line);
    if (line == "STARTTLS\r\n") p.Server.StartTls(std::make_unique<TTlsEngine>(ServerContext()));
  };
  p.Client.SendText("STARTTLS\r\n");
  p.Client.StartTls(std::make_unique<TTlsEngine>(ClientContext(), "localhost"));
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 97), 'x') + "\r\n";
  text += "the last, unterminated";
  p.Client.SendText(text);  // queued for the handshake
  p.Client.Shutdown(1);
  ASSERT_TRUE(PumpUntil([&] { return server.PeerShutdowns > 0; }));
  EXPECT_EQ(server.HandshakeError, 0) << server.ErrorText;
  ASSERT_EQ(lines.size(), 2002u);
  EXPECT_EQ(lines[0], "STARTTLS\r\n");
  EXPECT_EQ(lines[1], "line 0\r\n");
  EXPECT_EQ(lines[1000], "line 999" + std::string(999 % 97, 'x') + "\r\n");
  EXPECT_EQ(lines.back(), "the last, unterminated");
  std::string joined;
  for (std::size_t i = 1; i < lines.size(); ++i) joined += lines[i];
  EXPECT_EQ(joined, text);
  EXPECT_EQ(server.EndSeen, tpeCloseNotify);
}

// ---- the key log ----

struct TKeyLogCase {
  const char* Name;
  const char* Version;  // the s_client option
  const char* Label;    // a line that this version's log must hold
};
void PrintTo(const TKeyLogCase& C, std::ostream* Os) { *Os << C.Name; }  // the case's name in test lists

class TlsKeyLogFile : public testing::TestWithParam<TKeyLogCase> {};

TEST_P(TlsKeyLogFile, HoldsTheLinesThatOpenSslsClientLogsForTheSameConnection) {
  TTempDir dir;
  auto log = std::make_shared<TTlsKeyLog>(dir / "keys.log");
  TWSocket listener{nullptr}, sock{nullptr};
  TTlsEvents events;
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.Listen();
  auto context = ServerContext(Certs().ServerCert, Certs().ServerKey, log);
  listener.OnSessionAvailable = [&](TComponent*, std::uint16_t) {
    sock.Dup(listener.Accept());
    sock.StartTls(std::make_unique<TTlsEngine>(context));
  };
  events.Attach(sock);
  TChild client({"openssl", "s_client", "-connect", "127.0.0.1:" + listener.GetBoundPort(), "-quiet", GetParam().Version,
                 "-keylogfile", dir / "theirs.log"});
  ASSERT_TRUE(PumpUntil([&] { return events.Handshakes > 0; }));
  sock.SendText("ping\n");
  ASSERT_TRUE(PumpUntil([&] {
    client.Read();
    return client.Output == "ping\n";
  }));
  const std::string ours = ReadFile(dir / "keys.log"), theirs = ReadFile(dir / "theirs.log");
  std::istringstream lines(theirs);
  std::string line;
  int compared = 0;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    EXPECT_NE(ours.find(line + "\n"), std::string::npos) << line;
    ++compared;
  }
  EXPECT_GE(compared, 1);
  EXPECT_NE(ours.find(std::string(GetParam().Label) + " "), std::string::npos) << ours;
  EXPECT_EQ(log->LinesWritten(), static_cast<std::uint64_t>(std::count(ours.begin(), ours.end(), '\n')));
  struct stat st {};
  ASSERT_EQ(::stat((dir / "keys.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

INSTANTIATE_TEST_SUITE_P(Versions, TlsKeyLogFile,
                         testing::Values(TKeyLogCase{"Tls13", "-tls1_3", "CLIENT_TRAFFIC_SECRET_0"},
                                         TKeyLogCase{"Tls12", "-tls1_2", "CLIENT_RANDOM"}),
                         [](const testing::TestParamInfo<TKeyLogCase>& i) { return std::string(i.param.Name); });

TEST(TlsKeyLog, BothLegsOfARelayWriteToOneFile) {
  TTempDir dir;
  auto log = std::make_shared<TTlsKeyLog>(dir / "keys.log");
  TTlsPair p;
  ASSERT_TRUE(p.Open(ClientContext(Certs().Ca, true, {}, log), ServerContext(Certs().ServerCert, Certs().ServerKey, log)));
  ASSERT_EQ(p.ClientEvents.HandshakeError, 0);
  // One TLS 1.3 connection, both of its ends logging: every secret twice, the same line.
  const std::string ours = ReadFile(dir / "keys.log");
  std::istringstream lines(ours);
  std::string line;
  std::map<std::string, int> seen;
  while (std::getline(lines, line)) ++seen[line];
  ASSERT_FALSE(seen.empty());
  for (const auto& [text, count] : seen) EXPECT_EQ(count, 2) << text;
  EXPECT_EQ(seen.size(), 5u);  // two handshake secrets, two traffic secrets, the exporter secret
}

TEST(TlsKeyLog, FolderThatCannotBeWrittenIsAClearError) {
  TTempDir dir;
  WriteFile(dir / "file", "not a folder");
  try {
    TTlsKeyLog log(dir / "file/keys.log");
    FAIL() << "opened";
  } catch (ETlsError& e) {
    EXPECT_NE(e.Message().find("cannot open the key log file"), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("Not a directory"), std::string::npos) << e.Message();
  }
}

}  // namespace

namespace {

// A raw-mode handler that reads exactly the plaintext and switches with the hello still in the
// kernel: the plain read loop must hand over to the TLS one rather than offer ciphertext.
TEST(TlsMidStream, SwitchInsideThePlainReadLoopWithTheHelloStillInTheKernel) {
  ComponentPair p;
  ASSERT_TRUE(p.Open());
  TTlsEvents client, server;
  client.Attach(p.Client);
  server.Attach(p.Server);
  std::string got;
  int plainReads = 0;
  p.Server.OnDataAvailable = [&](TComponent*, std::uint16_t) {
    if (p.Server.TlsActive()) {
      got += p.Server.ReceiveText();
      return;
    }
    ++plainReads;
    char word[9];
    if (p.Server.Receive(word, sizeof word) == 9 && std::string(word, 9) == "STARTTLS\n")
      p.Server.StartTls(std::make_unique<TTlsEngine>(ServerContext()));
  };
  p.Client.SendText("STARTTLS\n");
  p.Client.StartTls(std::make_unique<TTlsEngine>(ClientContext(), "localhost"));
  p.Client.SendText("after the switch");
  ASSERT_TRUE(PumpUntil([&] { return got.size() >= 16 || server.Closes > 0; }))
      << got.size() << " " << plainReads << " " << server.Handshakes << " " << client.Handshakes << " " << p.Server.TlsActive();
  EXPECT_EQ(got, "after the switch");
  EXPECT_EQ(plainReads, 1);
  EXPECT_EQ(server.HandshakeError, 0) << server.ErrorText;
}

}  // namespace
