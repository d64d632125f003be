// The faults dialog, and the log window's command that opens it.
#include "log/uFaults.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "log/uLog.h"

TFaultsDialog::TFaultsDialog(const TFaultSet& Faults, QWidget* Parent) : QDialog(Parent), FFaults(Faults) {
  setObjectName(QStringLiteral("FaultsDialog"));
  setWindowTitle(QStringLiteral("Faults"));
  auto* layout = new QVBoxLayout(this);
  auto* help = new QLabel(QStringLiteral(
      "One fault a line, for every session, the open ones too; empty for none. DIRECTION is remote\n"
      "(bytes on their way to the remote side) or local. For example:\n"
      "  local:latency=100ms,jitter=10ms     local:bandwidth=1MB/s     remote:slicer=100,delay=5ms\n"
      "  remote:stall=1000     remote:limit=2s     remote:reset=match:QUIT     local:corrupt=4096\n"
      "  refuse=0.2"), this);
  help->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(help);
  Rules = new QPlainTextEdit(this);
  Rules->setObjectName(QStringLiteral("Rules"));
  Rules->setPlainText(QString::fromStdString(Faults.Text()));
  layout->addWidget(Rules);
  Problem = new QLabel(this);
  Problem->setObjectName(QStringLiteral("Problem"));
  Problem->setWordWrap(true);
  Problem->setStyleSheet(QStringLiteral("color: #b00000"));
  layout->addWidget(Problem);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  OkBtn = buttons->button(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &TFaultsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &TFaultsDialog::reject);
  layout->addWidget(buttons);
  resize(640, 320);
}

bool TFaultsDialog::Check() {
  const QStringList lines = Rules->toPlainText().split(QLatin1Char('\n'));
  TFaultSet set;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    // One line at a time, so that the error can say which; blank lines and comments are skipped.
    TFaultSet line;
    std::string error;
    if (!line.Parse({lines[i].toStdString()}, error)) {
      Problem->setText(QStringLiteral("Line %1: %2").arg(i + 1).arg(QString::fromStdString(error)));
      return false;
    }
    for (const TFaultSpec& s : line.Faults()) set.Set(s);
  }
  FFaults = set;
  Problem->clear();
  return true;
}

void TFaultsDialog::accept() {
  if (Check()) QDialog::accept();
}

// ---- the log window's command ----

void TLog::CreateFaultsItem() {
  Faults1 = AddItem("Faults1", "&Faults...", false, false, &TLog::Faults1Click);
}

void TLog::SetFaults(const TFaultSet& Value) { FFaults = Value; }

// Window-modal, and open() returns at once: the loop and the relay go on while it is up.
void TLog::Faults1Click(QObject*) {
  auto* dialog = new TFaultsDialog(FFaults, this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QDialog::accepted, this, [this, dialog] {
    FFaults = dialog->Faults();
    if (OnFaultsChange) OnFaultsChange(this, FFaults);
  });
  dialog->open();
}
