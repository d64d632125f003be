// TLS sockets against openssl as the other end: our socket as the client of `openssl s_server`
// and as the server of `openssl s_client`, bytes exact in both directions, the names and
// protocols that each side sees, mutual TLS, and the verification failures a client must refuse.
#include <gtest/gtest.h>

#include "TlsTestSupport.h"

using namespace tlstest;

namespace {

// Our client connected to `openssl s_server Options...`, its handshake ended.
struct TClientSession {
  TOpenSslServer Peer;
  TWSocket Sock{nullptr};
  TTlsEvents Events;
  std::string Got;

  bool Open(const std::vector<std::string>& Options, std::shared_ptr<TTlsClientContext> Context = ClientContext(),
            const std::string& Name = "localhost") {
    if (!Peer.Start(Options)) return false;
    Events.Attach(Sock);
    Collect(Sock, Got);
    Sock.OnSessionConnected = [this, Context, Name](TComponent*, std::uint16_t e) {
      if (e == 0) Sock.StartTls(std::make_unique<TTlsEngine>(Context, Name));
    };
    Sock.SetAddr("127.0.0.1");
    Sock.SetPort(std::to_string(Peer.Port));
    Sock.Connect();
    return PumpUntil([&] { return Events.Handshakes > 0 || Events.Closes > 0; });
  }
};

std::vector<std::string> ServerOptions(const std::string& Cert = Certs().ServerCert, const std::string& Key = Certs().ServerKey) {
  return {"-cert", Cert, "-key", Key};
}

TEST(TlsClientRole, BytesExactBothWaysWithOpenSslServer) {
  TClientSession s;
  ASSERT_TRUE(s.Open(ServerOptions()));
  ASSERT_EQ(s.Events.HandshakeError, 0) << s.Events.ErrorText;
  const TTlsInfo info = s.Sock.TlsInfo();
  EXPECT_EQ(info.Version, "TLSv1.3");
  EXPECT_FALSE(info.Cipher.empty());
  EXPECT_EQ(info.PeerSubject, "CN=localhost");
  EXPECT_EQ(info.PeerIssuer, "CN=Test CA");
  EXPECT_EQ(info.VerifyResult, 0);
  EXPECT_EQ(info.VerifyText, "ok");
  EXPECT_EQ(info.ServerName, "localhost");

  const std::string up = Pattern(12 << 20, 7), down = Pattern(12 << 20, 8);
  ASSERT_EQ(s.Sock.Send(up.data(), static_cast<std::int32_t>(up.size())), static_cast<std::int32_t>(up.size()));
  std::size_t written = 0;
  ASSERT_TRUE(PumpUntil([&] {
    s.Peer.Child->Read();
    s.Peer.Child->Write(down, written);
    return s.Peer.Child->Output.size() >= up.size() && s.Got.size() >= down.size();
  }, 30000)) << s.Peer.Child->Output.size() << " " << s.Got.size();
  EXPECT_EQ(s.Peer.Child->Output.size(), up.size());
  EXPECT_EQ(Checksum(s.Peer.Child->Output), Checksum(up));
  EXPECT_EQ(s.Got.size(), down.size());
  EXPECT_EQ(Checksum(s.Got), Checksum(down));
}

TEST(TlsClientRole, SniChoosesTheServersCertificate) {
  TClientSession s;
  // The server shows its second certificate to a client that asks for elsewhere.example.
  std::vector<std::string> options = ServerOptions();
  options.insert(options.end(), {"-servername", "elsewhere.example", "-cert2", Certs().OtherNameCert, "-key2",
                                 Certs().OtherNameKey});
  ASSERT_TRUE(s.Open(options, ClientContext(), "elsewhere.example"));
  ASSERT_EQ(s.Events.HandshakeError, 0) << s.Events.ErrorText;
  EXPECT_EQ(s.Sock.TlsInfo().PeerSubject, "CN=elsewhere.example");
  EXPECT_EQ(s.Sock.TlsInfo().ServerName, "elsewhere.example");
}

TEST(TlsClientRole, AlpnOfferIsAgreedByTheServer) {
  TClientSession s;
  std::vector<std::string> options = ServerOptions();
  options.insert(options.end(), {"-alpn", "h2,http/1.1"});
  ASSERT_TRUE(s.Open(options, ClientContext(Certs().Ca, true, {"http/1.1", "h2"})));
  ASSERT_EQ(s.Events.HandshakeError, 0) << s.Events.ErrorText;
  EXPECT_EQ(s.Sock.TlsInfo().Alpn, "h2");  // the server's preference among what was offered
}

TEST(TlsClientRole, MutualTlsPresentsTheClientCertificate) {
  TTlsClientConfig config;
  config.CaFile = Certs().Ca;
  config.CertFile = Certs().ClientCert;
  config.KeyFile = Certs().ClientKey;
  TClientSession s;
  std::vector<std::string> options = ServerOptions();
  options.insert(options.end(), {"-Verify", "1", "-CAfile", Certs().Ca, "-verify_return_error"});
  ASSERT_TRUE(s.Open(options, std::make_shared<TTlsClientContext>(config)));
  ASSERT_EQ(s.Events.HandshakeError, 0) << s.Events.ErrorText;
  const std::string hello = "hello from a verified client\n";
  s.Sock.SendText(hello);
  ASSERT_TRUE(PumpUntil([&] {
    s.Peer.Child->Read();
    return s.Peer.Child->Output.size() >= hello.size() || s.Events.Closes > 0;
  })) << s.Peer.Child->Errors;
  EXPECT_EQ(s.Peer.Child->Output, hello);
}

TEST(TlsClientRole, MutualTlsWithoutCertificateIsRefusedByTheServer) {
  TClientSession s;
  std::vector<std::string> options = ServerOptions();
  options.insert(options.end(), {"-Verify", "1", "-CAfile", Certs().Ca, "-verify_return_error"});
  ASSERT_TRUE(s.Open(options));
  // TLS 1.3: the client's handshake ends before the server has judged it; the refusal comes as
  // the server's alert on the next read.
  ASSERT_TRUE(PumpUntil([&] { return s.Events.Closes > 0; }));
  EXPECT_TRUE(s.Events.CloseError == TlsConnectionFailed || s.Events.CloseError == TlsHandshakeFailed)
      << s.Events.CloseError;
  EXPECT_NE(s.Events.ErrorText.find("alert certificate required"), std::string::npos) << s.Events.ErrorText;
}

struct TRefusal {
  const char* Name;
  std::string Cert, Key;
  std::string ServerName;
  const char* Reason;
};
void PrintTo(const TRefusal& C, std::ostream* Os) { *Os << C.Name; }  // the case's name in test lists

class TlsVerification : public testing::TestWithParam<TRefusal> {};

TEST_P(TlsVerification, RefusesTheServerWithTheReason) {
  const TRefusal& r = GetParam();
  TClientSession s;
  ASSERT_TRUE(s.Open(ServerOptions(r.Cert, r.Key), ClientContext(), r.ServerName));
  ASSERT_EQ(s.Events.HandshakeError, TlsHandshakeFailed);
  EXPECT_NE(s.Events.ErrorText.find("certificate verify failed"), std::string::npos) << s.Events.ErrorText;
  EXPECT_NE(s.Events.ErrorText.find(r.Reason), std::string::npos) << s.Events.ErrorText;
  ASSERT_TRUE(PumpUntil([&] { return s.Events.Closes > 0; }));
  EXPECT_EQ(s.Events.CloseError, TlsHandshakeFailed);
  // The server got our alert before the connection closed.
  ASSERT_TRUE(s.Peer.Child->WaitExit());
  EXPECT_NE(s.Peer.Child->Errors.find("alert"), std::string::npos) << s.Peer.Child->Errors;
}

TEST_P(TlsVerification, WithoutVerificationGoesOnAndTellsTheResult) {
  const TRefusal& r = GetParam();
  TClientSession s;
  ASSERT_TRUE(s.Open(ServerOptions(r.Cert, r.Key), ClientContext(Certs().Ca, false), r.ServerName));
  ASSERT_EQ(s.Events.HandshakeError, 0) << s.Events.ErrorText;
  const TTlsInfo info = s.Sock.TlsInfo();
  EXPECT_FALSE(info.VerifyEnforced);
  EXPECT_NE(info.VerifyResult, 0);
  EXPECT_NE(info.VerifyText.find(r.Reason), std::string::npos) << info.VerifyText;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, TlsVerification,
    testing::Values(TRefusal{"Expired", Certs().ExpiredCert, Certs().ExpiredKey, "localhost", "certificate has expired"},
                    TRefusal{"WrongName", Certs().OtherNameCert, Certs().OtherNameKey, "localhost", "hostname mismatch"},
                    TRefusal{"UnknownIssuer", Certs().StrangerCert, Certs().StrangerKey, "localhost",
                             "unable to get local issuer certificate"},
                    TRefusal{"WrongAddress", Certs().OtherNameCert, Certs().OtherNameKey, "127.0.0.1",
                             "IP address mismatch"}),
    [](const testing::TestParamInfo<TRefusal>& i) { return std::string(i.param.Name); });

// ---- our socket as the server of openssl s_client ----

struct TServerSession {
  TWSocket Listener{nullptr};
  TWSocket Sock{nullptr};
  TTlsEvents Events;
  std::string Got;
  std::unique_ptr<TChild> Peer;

  bool Open(const std::vector<std::string>& Options, std::shared_ptr<TTlsServerContext> Context = ServerContext(),
            std::vector<std::string> Alpn = {}) {
    Listener.SetAddr("127.0.0.1");
    Listener.SetPort("0");
    Listener.Listen();
    Listener.OnSessionAvailable = [this, Context, Alpn](TComponent*, std::uint16_t) {
      Sock.Dup(Listener.Accept());
      Sock.StartTls(std::make_unique<TTlsEngine>(Context, Alpn));
    };
    Events.Attach(Sock);
    Collect(Sock, Got);
    std::vector<std::string> argv = {"openssl", "s_client", "-connect", "127.0.0.1:" + Listener.GetBoundPort()};
    argv.insert(argv.end(), Options.begin(), Options.end());
    Peer = std::make_unique<TChild>(argv);
    return PumpUntil([&] { return Events.Handshakes > 0 || Events.Closes > 0; });
  }
};

TEST(TlsServerRole, BytesExactBothWaysWithOpenSslClient) {
  TServerSession s;
  ASSERT_TRUE(s.Open({"-quiet", "-nocommands", "-CAfile", Certs().Ca, "-verify_return_error", "-servername", "localhost"}));
  ASSERT_EQ(s.Events.HandshakeError, 0) << s.Events.ErrorText;
  EXPECT_EQ(s.Sock.TlsInfo().ServerName, "localhost");
  EXPECT_FALSE(s.Sock.TlsInfo().PeerCertificate);
  const std::string up = Pattern(12 << 20, 3), down = Pattern(12 << 20, 4);
  ASSERT_EQ(s.Sock.Send(down.data(), static_cast<std::int32_t>(down.size())), static_cast<std::int32_t>(down.size()));
  std::size_t written = 0;
  ASSERT_TRUE(PumpUntil([&] {
    s.Peer->Read();
    s.Peer->Write(up, written);
    return s.Peer->Output.size() >= down.size() && s.Got.size() >= up.size();
  }, 30000)) << s.Peer->Output.size() << " " << s.Got.size() << s.Peer->Errors;
  EXPECT_EQ(s.Peer->Output.size(), down.size());
  EXPECT_EQ(Checksum(s.Peer->Output), Checksum(down));
  EXPECT_EQ(s.Got.size(), up.size());
  EXPECT_EQ(Checksum(s.Got), Checksum(up));
}

TEST(TlsServerRole, AgreesTheFirstOfItsChoicesThatTheClientOffers) {
  TServerSession s;
  ASSERT_TRUE(s.Open({"-alpn", "http/1.1,h2", "-servername", "api.example"}, ServerContext(), {"h2", "http/1.1"}));
  ASSERT_EQ(s.Events.HandshakeError, 0) << s.Events.ErrorText;
  EXPECT_EQ(s.Sock.TlsInfo().Alpn, "h2");
  EXPECT_EQ(s.Sock.TlsInfo().ServerName, "api.example");
  ASSERT_TRUE(PumpUntil([&] {
    s.Peer->Read();
    return s.Peer->Output.find("ALPN protocol: h2") != std::string::npos;
  })) << s.Peer->Output;
}

TEST(TlsServerRole, NoCommonProtocolMeansNoAlpn) {
  TServerSession s;
  ASSERT_TRUE(s.Open({"-alpn", "imap"}, ServerContext(), {"h2"}));
  ASSERT_EQ(s.Events.HandshakeError, 0) << s.Events.ErrorText;
  EXPECT_EQ(s.Sock.TlsInfo().Alpn, "");
}

TEST(TlsServerRole, ClientThatRefusesOurCertificateFailsTheHandshakeWithItsAlert) {
  TServerSession s;
  ASSERT_TRUE(s.Open({"-quiet", "-CAfile", Certs().StrangerCa, "-verify_return_error"}));
  ASSERT_EQ(s.Events.HandshakeError, TlsHandshakeFailed);
  EXPECT_NE(s.Events.ErrorText.find("unknown ca"), std::string::npos) << s.Events.ErrorText;
  ASSERT_TRUE(PumpUntil([&] { return s.Events.Closes > 0; }));
  EXPECT_EQ(s.Events.CloseError, TlsHandshakeFailed);
}

struct TRawClientCase {
  const char* Name;
  std::string Bytes;
  const char* Reason;
  bool Alert;  // the peer reads an alert record before the end of the stream
};
void PrintTo(const TRawClientCase& C, std::ostream* Os) { *Os << C.Name; }  // the case's name in test lists

class TlsServerRoleRawClient : public testing::TestWithParam<TRawClientCase> {};

TEST_P(TlsServerRoleRawClient, FailsTheHandshakeAndEndsTheStream) {
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
  int peer = RawConnect(static_cast<std::uint16_t>(std::stoi(listener.GetBoundPort())));
  ASSERT_GE(peer, 0);
  const std::string& bytes = GetParam().Bytes;
  ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ASSERT_TRUE(PumpUntil([&] { return events.Closes > 0; }));
  EXPECT_EQ(events.HandshakeError, TlsHandshakeFailed);
  EXPECT_EQ(events.CloseError, TlsHandshakeFailed);
  EXPECT_NE(events.ErrorText.find(GetParam().Reason), std::string::npos) << events.ErrorText;
  // An orderly end, not a reset; the alert record (type 21) before it when OpenSSL sends one.
  std::string got;
  EXPECT_EQ(ReadToEnd(peer, got, 4096), 0);
  if (GetParam().Alert) {
    ASSERT_GE(got.size(), 7u);
    EXPECT_EQ(got[0], '\x15');
  } else {
    EXPECT_EQ(got, "");
  }
  ::close(peer);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, TlsServerRoleRawClient,
    testing::Values(TRawClientCase{"HttpRequest", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", "http request", false},
                    TRawClientCase{"RecordOfAnotherVersion", std::string("\x16\x07\x01\x00\x05hello", 10),
                                   "wrong version number", false},
                    TRawClientCase{"NotAHello", std::string("\x16\x03\x01\x00\x04\x02\x00\x00\x00", 9),
                                   "unexpected message", true}),
    [](const testing::TestParamInfo<TRawClientCase>& i) { return std::string(i.param.Name); });

}  // namespace
