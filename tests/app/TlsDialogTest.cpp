// The "TLS..." dialog and the windows' TLS settings: what the dialog shows is what it gives back,
// and the settings reach the relay at the next "Listen", which refuses files it cannot use.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>

#include "AppTestSupport.h"
#include "app/uTlsDialog.h"

using namespace apptest;

namespace {

TTlsSettings Filled() {
  TTlsSettings s;
  s.RemoteTls = true;
  s.DetectTls = true;
  s.CertFile = "/etc/ssl/local.pem";
  s.KeyFile = "/etc/ssl/local-key.pem";
  s.ClientCertFile = "client.pem";
  s.ClientKeyFile = "client-key.pem";
  s.CaFile = "ca.pem";
  s.ServerName = "api.example";
  s.KeyLogFile = "/tmp/keys.txt";
  s.DataFolder = "/tmp/vantrel-data";
  return s;
}

TEST(TlsDialog, ShowsTheSettingsAndGivesBackWhatItsFieldsSay) {
  const TTlsSettings in = Filled();
  TTlsDialog d(in);
  EXPECT_TRUE(d.RemoteTls->isChecked());
  EXPECT_FALSE(d.LocalTls->isChecked());
  EXPECT_TRUE(d.DetectTls->isChecked());
  EXPECT_EQ(d.CertFile->text(), QStringLiteral("/etc/ssl/local.pem"));
  EXPECT_EQ(d.ServerName->text(), QStringLiteral("api.example"));
  EXPECT_TRUE(d.Authority->text().contains(QStringLiteral("/tmp/vantrel-data/ca-cert.pem")));
  // Edited: a switch, a name with blanks around it, a field emptied.
  d.LocalTls->setChecked(true);
  d.Insecure->setChecked(true);
  d.CaFile->clear();
  d.ServerName->setText(QStringLiteral("  other.example "));
  const TTlsSettings out = d.Settings();
  EXPECT_TRUE(out.RemoteTls && out.LocalTls && out.DetectTls && out.Insecure);
  EXPECT_EQ(out.CaFile, "");
  EXPECT_EQ(out.ServerName, "other.example");
  EXPECT_EQ(out.CertFile, in.CertFile);
  EXPECT_EQ(out.KeyFile, in.KeyFile);
  EXPECT_EQ(out.ClientCertFile, in.ClientCertFile);
  EXPECT_EQ(out.ClientKeyFile, in.ClientKeyFile);
  EXPECT_EQ(out.KeyLogFile, in.KeyLogFile);
  EXPECT_EQ(out.DataFolder, in.DataFolder);
}

class TlsWindows : public AppFixture {};

TEST_F(TlsWindows, SettingsApplyAtTheNextListenWhichRefusesAMissingCertificate) {
  TTlsSettings tls;
  tls.LocalTls = true;
  tls.CertFile = "/nonexistent/vantrel-cert.pem";
  tls.KeyFile = "/nonexistent/vantrel-key.pem";
  Main->SetTlsSettings(tls);
  Main->RemoteAddr->setText(QStringLiteral("localhost"));
  Main->RemotePort->setText(QStringLiteral("9"));
  Main->LocalPoort->setText(QString::number(UnusedPort()));
  Main->ListenBtn->click();
  EXPECT_EQ(Main->ListenBtnTag(), 0);
  ASSERT_FALSE(Errors.empty());
  EXPECT_NE(Errors.back().find("vantrel-cert.pem"), std::string::npos) << Errors.back();
  // Without TLS the same window listens.
  Main->SetTlsSettings(TTlsSettings{});
  StartListening();
  EXPECT_TRUE(Main->Relay()->Listening());
}

}  // namespace
