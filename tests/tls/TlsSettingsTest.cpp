// The settings of the TLS sides, refused when they are built with a text that names the file and
// the fault: missing, unreadable or not PEM files, a key that does not match its certificate, an
// encrypted key (no pass phrase is asked for), a certificate without its key, a server side with
// neither a certificate nor the authority.
#include <gtest/gtest.h>

#include "TlsTestSupport.h"

using namespace tlstest;

namespace {

struct TFiles {
  TTempDir Dir;
  std::string Garbage, Encrypted, Folder;
  TFiles() {
    WriteFile(Garbage = Dir / "garbage.pem", "this is not a certificate\n");
    Folder = Dir.Path;
    TCert c = MakeCert("localhost", "DNS:localhost", nullptr, false);
    FILE* f = std::fopen((Encrypted = Dir / "encrypted-key.pem").c_str(), "w");
    PEM_write_PrivateKey(f, c.Key.get(), EVP_aes_256_cbc(), reinterpret_cast<const unsigned char*>("secret"), 6, nullptr,
                         nullptr);
    std::fclose(f);
  }
};

const TFiles& Files() {
  static TFiles files;
  return files;
}

struct TBadServer {
  const char* Name;
  std::string Cert, Key;
  std::vector<std::string> Expected;  // pieces of the message
};
void PrintTo(const TBadServer& C, std::ostream* Os) { *Os << C.Name; }  // the case's name in test lists

class TlsServerSettings : public testing::TestWithParam<TBadServer> {};

TEST_P(TlsServerSettings, AreRefusedWithTheFileAndTheFault) {
  TTlsServerConfig config;
  config.CertFile = GetParam().Cert;
  config.KeyFile = GetParam().Key;
  try {
    TTlsServerContext context(config);
    FAIL() << "accepted";
  } catch (ETlsError& e) {
    for (const std::string& piece : GetParam().Expected)
      EXPECT_NE(e.Message().find(piece), std::string::npos) << e.Message() << "\nlacks: " << piece;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, TlsServerSettings,
    testing::Values(
        TBadServer{"MissingCertificate", "/nonexistent/cert.pem", Certs().ServerKey,
                   {"cannot read the certificate file /nonexistent/cert.pem", "No such file or directory"}},
        TBadServer{"FolderAsCertificate", Files().Folder, Certs().ServerKey, {"cannot read the certificate file", "Is a directory"}},
        TBadServer{"NotPem", Files().Garbage, Certs().ServerKey, {"the certificate file", "garbage.pem", "holds no PEM certificate"}},
        TBadServer{"MissingKey", Certs().ServerCert, "/nonexistent/key.pem", {"cannot read the key file /nonexistent/key.pem"}},
        TBadServer{"KeyNotPem", Certs().ServerCert, Files().Garbage, {"the key file", "holds no PEM private key"}},
        TBadServer{"EncryptedKey", Certs().ServerCert, Files().Encrypted, {"encrypted-key.pem", "encrypted key"}},
        TBadServer{"KeyOfAnotherCertificate", Certs().ServerCert, Certs().OtherNameKey,
                   {"the key in", "other-key.pem", "does not match the certificate in", "server.pem"}},
        TBadServer{"CertificateWithoutKey", Certs().ServerCert, "", {"needs its key file"}},
        TBadServer{"KeyWithoutCertificate", "", Certs().ServerKey, {"needs its certificate file"}},
        TBadServer{"Nothing", "", "", {"no certificate for the TLS server side"}}),
    [](const testing::TestParamInfo<TBadServer>& i) { return std::string(i.param.Name); });

TEST(TlsClientSettings, RefuseBadFilesWithTheFileAndTheFault) {
  auto refusal = [](TTlsClientConfig c) {
    try {
      TTlsClientContext context(std::move(c));
    } catch (ETlsError& e) {
      return e.Message();
    }
    return std::string("accepted");
  };
  TTlsClientConfig missingCa;
  missingCa.CaFile = "/nonexistent/ca.pem";
  EXPECT_NE(refusal(missingCa).find("cannot read the CA certificate file /nonexistent/ca.pem"), std::string::npos);
  TTlsClientConfig garbageCa;
  garbageCa.CaFile = Files().Garbage;
  EXPECT_NE(refusal(garbageCa).find("holds no usable certificate"), std::string::npos) << refusal(garbageCa);
  TTlsClientConfig mismatch;
  mismatch.CertFile = Certs().ClientCert;
  mismatch.KeyFile = Certs().ServerKey;
  EXPECT_NE(refusal(mismatch).find("does not match"), std::string::npos) << refusal(mismatch);
  TTlsClientConfig noKey;
  noKey.CertFile = Certs().ClientCert;
  EXPECT_NE(refusal(noKey).find("needs its key file"), std::string::npos);
  TTlsClientConfig systemStore;  // the system's trusted certificates, by default
  EXPECT_EQ(refusal(systemStore), "accepted");
}

TEST(TlsClientSettings, SystemTrustStoreDoesNotTrustOurTestAuthority) {
  // Without a CA file the system's store decides: the test authority is unknown there.
  TTlsPair p;
  TTlsClientConfig config;
  ASSERT_TRUE(p.Open(std::make_shared<TTlsClientContext>(config)));
  EXPECT_EQ(p.ClientEvents.HandshakeError, TlsHandshakeFailed);
  EXPECT_NE(p.ClientEvents.ErrorText.find("unable to get local issuer certificate"), std::string::npos)
      << p.ClientEvents.ErrorText;
}

TEST(TlsAlpnWire, SkipsNamesThatCannotBeCarried) {
  EXPECT_EQ(AlpnWire({"h2", "", std::string(256, 'x'), "http/1.1"}), std::string("\x02h2\x08http/1.1", 12));
}

}  // namespace
