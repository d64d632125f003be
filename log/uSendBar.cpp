// The send bar: the field, its parse, and the sends.
#include "log/uSendBar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QToolButton>

#include "record/TypedBytes.h"

TSendBar::TSendBar(QWidget* Parent) : QWidget(Parent) {
  setObjectName(QStringLiteral("SendBar"));
  auto* label = new QLabel(QStringLiteral("Send:"), this);
  SendText = new QLineEdit(this);
  SendText->setObjectName(QStringLiteral("SendText"));
  SendText->setPlaceholderText(QStringLiteral("text with \\r \\n \\t \\xNN \\\\, or hex bytes: 0d 0a 47"));
  label->setBuddy(SendText);
  SendTo = new QComboBox(this);
  SendTo->setObjectName(QStringLiteral("SendTo"));
  SendTo->addItem(QStringLiteral("to Remote"));
  SendTo->addItem(QStringLiteral("to Local"));
  SendHex = new QCheckBox(QStringLiteral("He&x"), this);
  SendHex->setObjectName(QStringLiteral("SendHex"));
  SendBtn = new QPushButton(QStringLiteral("Send"), this);
  SendBtn->setObjectName(QStringLiteral("SendBtn"));
  SendStatus = new QLabel(this);
  SendStatus->setObjectName(QStringLiteral("SendStatus"));
  CloseBtn = new QToolButton(this);
  CloseBtn->setObjectName(QStringLiteral("SendCloseBtn"));
  CloseBtn->setText(QStringLiteral("x"));
  CloseBtn->setToolTip(QStringLiteral("Close (Esc)"));
  CloseBtn->setAutoRaise(true);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(2, 1, 2, 1);
  layout->addWidget(label);
  layout->addWidget(SendText, 1);
  layout->addWidget(SendTo);
  layout->addWidget(SendHex);
  layout->addWidget(SendBtn);
  layout->addWidget(SendStatus);
  layout->addWidget(CloseBtn);

  connect(SendText, &QLineEdit::returnPressed, this, [this] { Send(); });
  connect(SendBtn, &QPushButton::clicked, this, [this] { Send(); });
  connect(CloseBtn, &QToolButton::clicked, this, [this] { Close(); });
  // A field that does not parse says so as it is typed, before anything is sent.
  const auto check = [this] {
    std::string bytes, error;
    if (SendText->text().isEmpty() || Bytes(bytes, error))
      ShowStatus(QString(), false);
    else
      ShowStatus(QString::fromStdString(error), true);
  };
  connect(SendText, &QLineEdit::textChanged, this, check);
  connect(SendHex, &QCheckBox::toggled, this, check);
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  escape->setContext(Qt::WidgetWithChildrenShortcut);
  connect(escape, &QShortcut::activated, this, [this] { Close(); });
}

void TSendBar::Open() {
  show();
  SendText->setFocus();
  SendText->selectAll();
}

void TSendBar::Close() { hide(); }

bool TSendBar::Bytes(std::string& Out, std::string& Error) const {
  const std::string text = SendText->text().toStdString();
  return SendHex->isChecked() ? ParseHexBytes(text, Out, Error) : ParseEscapedText(text, Out, Error);
}

TEntryDirection TSendBar::Way() const { return SendTo->currentIndex() == 1 ? edFromRemote : edFromLocal; }

QString TSendBar::Status() const { return SendStatus->text(); }

void TSendBar::ShowStatus(const QString& Text, bool Error) {
  FError = Error;
  SendStatus->setText(Text);
  SendStatus->setStyleSheet(Error ? QStringLiteral("color: #c00000") : QString());
}

int TSendBar::Send() {
  std::string bytes, error;
  if (!Bytes(bytes, error)) {
    ShowStatus(QString::fromStdString(error), true);
    return 0;
  }
  if (bytes.empty()) {
    ShowStatus(QStringLiteral("nothing to send"), true);
    return 0;
  }
  const std::vector<std::uint64_t> ids = Sessions ? Sessions() : std::vector<std::uint64_t>{};
  if (ids.empty()) {
    ShowStatus(QStringLiteral("select the sessions to send to in the sessions list (Ctrl+L)"), true);
    return 0;
  }
  int sent = 0;
  std::string refused;
  for (std::uint64_t id : ids) {
    std::string why;
    if (Sender && Sender(id, Way(), bytes, why))
      ++sent;
    else if (refused.empty())
      refused = why.empty() ? "session " + std::to_string(id) + ": cannot send" : why;
  }
  const QString what = QStringLiteral("sent %1 bytes to %2").arg(bytes.size()).arg(
      sent == 1 && ids.size() == 1 ? QStringLiteral("session %1").arg(ids[0]) : QStringLiteral("%1 sessions").arg(sent));
  if (refused.empty())
    ShowStatus(what, false);
  else if (sent == 0)
    ShowStatus(QString::fromStdString(refused), true);
  else
    ShowStatus(what + QStringLiteral("; ") + QString::fromStdString(refused), true);
  return sent;
}
