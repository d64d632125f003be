// Public. The "TLS..." dialog, reached from the log window's menu: the relay's TLS settings, as
// the command line sets them (--remote-tls, --local-tls, --detect-tls and the files). They apply
// from the next "Listen", which reads and checks every file and refuses what cannot be used.
#pragma once

#include <QDialog>

#include "relay/SessionTls.h"

class QCheckBox;
class QLabel;
class QLineEdit;

class TTlsDialog : public QDialog {
public:
  explicit TTlsDialog(const TTlsSettings& Settings, QWidget* Parent = nullptr);

  // What the fields say now (the data folder is kept as it was given).
  TTlsSettings Settings() const;

  // The controls, under their object names.
  QCheckBox* RemoteTls = nullptr;
  QCheckBox* LocalTls = nullptr;
  QCheckBox* DetectTls = nullptr;
  QLineEdit* CertFile = nullptr;
  QLineEdit* KeyFile = nullptr;
  QLineEdit* ClientCertFile = nullptr;
  QLineEdit* ClientKeyFile = nullptr;
  QLineEdit* CaFile = nullptr;
  QCheckBox* Insecure = nullptr;
  QLineEdit* ServerName = nullptr;
  QLineEdit* KeyLogFile = nullptr;
  QLabel* Authority = nullptr;  // where the built-in authority's certificate is, to trust it

private:
  std::string FDataFolder;
};
