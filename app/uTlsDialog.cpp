// The "TLS..." dialog: a form of the TLS settings, with OK and Cancel.
#include "app/uTlsDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "tls/TlsAuthority.h"
#include "tls/TlsContext.h"

namespace {

QLineEdit* FileField(QWidget* Parent, const char* Name, const std::string& Value) {
  auto* e = new QLineEdit(QString::fromLocal8Bit(Value.data(), static_cast<qsizetype>(Value.size())), Parent);
  e->setObjectName(QString::fromLatin1(Name));
  return e;
}

QCheckBox* Check(QWidget* Parent, const char* Name, const char* Caption, bool Value) {
  auto* c = new QCheckBox(QString::fromLatin1(Caption), Parent);
  c->setObjectName(QString::fromLatin1(Name));
  c->setChecked(Value);
  return c;
}

std::string Text(const QLineEdit* E) { return E->text().trimmed().toLocal8Bit().toStdString(); }

}  // namespace

TTlsDialog::TTlsDialog(const TTlsSettings& S, QWidget* Parent) : QDialog(Parent), FDataFolder(S.DataFolder) {
  setObjectName(QStringLiteral("TlsDialog"));
  setWindowTitle(QStringLiteral("TLS"));
  RemoteTls = Check(this, "RemoteTls", "TLS toward the &remote side from the first byte", S.RemoteTls);
  LocalTls = Check(this, "LocalTls", "the &local client speaks TLS from its first byte", S.LocalTls);
  DetectTls = Check(this, "DetectTls", "&detect TLS wherever the client starts it (STARTTLS, SSLRequest)", S.DetectTls);
  CertFile = FileField(this, "CertFile", S.CertFile);
  KeyFile = FileField(this, "KeyFile", S.KeyFile);
  ClientCertFile = FileField(this, "ClientCertFile", S.ClientCertFile);
  ClientKeyFile = FileField(this, "ClientKeyFile", S.ClientKeyFile);
  CaFile = FileField(this, "CaFile", S.CaFile);
  Insecure = Check(this, "Insecure", "do not &verify the remote side's certificate", S.Insecure);
  ServerName = FileField(this, "ServerName", S.ServerName);
  KeyLogFile = FileField(this, "KeyLogFile", S.KeyLogFile);
  CertFile->setPlaceholderText(QStringLiteral("empty: issued by the built-in authority"));
  ServerName->setPlaceholderText(QStringLiteral("empty: the remote host"));
  CaFile->setPlaceholderText(QStringLiteral("empty: the system's trusted certificates"));
  std::string folder = S.DataFolder;
  if (folder.empty()) {
    try {
      folder = TCertificateAuthority::DefaultFolder();
    } catch (ETlsError&) {
    }
  }
  Authority = new QLabel(QStringLiteral("The built-in authority's certificate, for a client to trust: %1/ca-cert.pem")
                             .arg(QString::fromLocal8Bit(folder.c_str())),
                         this);
  Authority->setObjectName(QStringLiteral("Authority"));
  Authority->setWordWrap(true);
  Authority->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* form = new QFormLayout;
  form->addRow(RemoteTls);
  form->addRow(LocalTls);
  form->addRow(DetectTls);
  form->addRow(QStringLiteral("Local certificate:"), CertFile);
  form->addRow(QStringLiteral("Its key:"), KeyFile);
  form->addRow(QStringLiteral("Client certificate:"), ClientCertFile);
  form->addRow(QStringLiteral("Its key:"), ClientKeyFile);
  form->addRow(QStringLiteral("Remote CA file:"), CaFile);
  form->addRow(Insecure);
  form->addRow(QStringLiteral("Server name (SNI):"), ServerName);
  form->addRow(QStringLiteral("Key log file:"), KeyLogFile);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(Authority);
  layout->addWidget(new QLabel(QStringLiteral("The settings apply from the next \"Listen\"."), this));
  layout->addWidget(buttons);
}

TTlsSettings TTlsDialog::Settings() const {
  TTlsSettings s;
  s.RemoteTls = RemoteTls->isChecked();
  s.LocalTls = LocalTls->isChecked();
  s.DetectTls = DetectTls->isChecked();
  s.CertFile = Text(CertFile);
  s.KeyFile = Text(KeyFile);
  s.ClientCertFile = Text(ClientCertFile);
  s.ClientKeyFile = Text(ClientKeyFile);
  s.CaFile = Text(CaFile);
  s.Insecure = Insecure->isChecked();
  s.ServerName = Text(ServerName);
  s.KeyLogFile = Text(KeyLogFile);
  s.DataFolder = FDataFolder;
  return s;
}
