// The log window: its frame, the view, the popup menu and its commands.
#include "log/uLog.h"

#include <QAction>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include "platform/gui/Clipboard.h"
#include "platform/gui/ErrorBox.h"

TLog* Log = nullptr;

TLog::TLog(QWidget* Parent) : QWidget(Parent, Qt::Window) {
  setObjectName(QStringLiteral("Log"));
  setWindowTitle(QStringLiteral("Log"));
  // Resizable, system menu and maximise box, no minimise box.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  // Only the main window's closing ends the program, even while the log is still open.
  setAttribute(Qt::WA_QuitOnClose, false);
  move(573, 167);
  resize(518, 606);
  CreateView();
  CreateMenu();
  FormCreate(this);
}

TLog::~TLog() {
  if (Log == this) Log = nullptr;
}

void TLog::CreateView() {
  LogWnd = new QPlainTextEdit(this);
  LogWnd->setObjectName(QStringLiteral("LogWnd"));
  // Read-only for the user, but the caret stays, so that the user can park it with Refresh off.
  LogWnd->setReadOnly(true);
  LogWnd->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  LogWnd->setUndoRedoEnabled(false);  // the text only grows; an undo history would double it
  LogWnd->setLineWrapMode(QPlainTextEdit::NoWrap);
  // A monospace face with the metrics of the classic one, so that hex-dump columns line up.
  QFont font(QStringLiteral("Liberation Mono"));
  font.setStyleHint(QFont::Monospace);
  font.setFixedPitch(true);
  font.setPointSize(8);
  LogWnd->setFont(font);
  QPalette palette = LogWnd->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Button));
  LogWnd->setPalette(palette);
  LogWnd->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(LogWnd, &QWidget::customContextMenuRequested, this, [this](const QPoint& At) {
    // A scroll area reports the position in its viewport's coordinates.
    PopupMenu->popup(LogWnd->viewport()->mapToGlobal(At));
  });
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(LogWnd);
}

QAction* TLog::AddItem(const char* Name, const char* Caption, bool Checkable, bool Checked,
                       void (TLog::*Handler)(QObject*)) {
  QAction* item = PopupMenu->addAction(QString::fromLatin1(Caption));
  item->setObjectName(QString::fromLatin1(Name));
  item->setCheckable(Checkable);
  item->setChecked(Checked);
  connect(item, &QAction::triggered, this, platform::gui::Guarded([this, item, Handler] {
            // Qt has already flipped a checkable item's check when it emits triggered; the handler
            // owns the toggle, as it does when it is called directly, so undo Qt's.
            if (item->isCheckable()) item->setChecked(!item->isChecked());
            (this->*Handler)(item);
          }));
  return item;
}

void TLog::CreateMenu() {
  PopupMenu = new QMenu(this);
  PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
  Copy1 = AddItem("Copy1", "&Copy", false, false, &TLog::Copy1Click);
  Clear1 = AddItem("Clear1", "&Clear", false, false, &TLog::Clear1Click);
  Refresh1 = AddItem("Refresh1", "&Refresh", true, true, &TLog::Refresh1Click);
  LineMode1 = AddItem("LineMode1", "&LineMode", true, false, &TLog::LineMode1Click);
  Debugstring1 = AddItem("Debugstring1", "&Debugstring", true, false, &TLog::Debugstring1Click);
  Wordwrap1 = AddItem("Wordwrap1", "&Word wrap", true, false, &TLog::Wordwrap1Click);
}

void TLog::FormCreate(QObject*) {
  LogWnd->clear();
  SetEntryTitle(std::string());
  SetEntryColor(clBlack);
}

void TLog::ScrollToCaret() { LogWnd->ensureCursorVisible(); }

void TLog::Copy1Click(QObject*) {
  // The document's raw text keeps every character as shown (a no-break space stays one), with the
  // paragraph separators turned into line ends.
  QString text = LogWnd->document()->toRawText();
  text.replace(QChar::ParagraphSeparator, u'\n');
  platform::gui::SetClipboardText(text);
  // Moving the caret would scroll it into view; the view must stay where it is.
  const int h = LogWnd->horizontalScrollBar()->value();
  const int v = LogWnd->verticalScrollBar()->value();
  LogWnd->moveCursor(QTextCursor::Start);
  LogWnd->horizontalScrollBar()->setValue(h);
  LogWnd->verticalScrollBar()->setValue(v);
}

void TLog::Clear1Click(QObject*) { LogWnd->clear(); }

void TLog::Refresh1Click(QObject*) { Refresh1->setChecked(!Refresh1->isChecked()); }

void TLog::LineMode1Click(QObject*) {
  LineMode1->setChecked(!LineMode1->isChecked());
  if (OnLineModeChange) OnLineModeChange(this, LineMode1->isChecked());
}

void TLog::Debugstring1Click(QObject*) { Debugstring1->setChecked(!Debugstring1->isChecked()); }

void TLog::Wordwrap1Click(QObject*) {
  Wordwrap1->setChecked(!Wordwrap1->isChecked());
  LogWnd->setLineWrapMode(Wordwrap1->isChecked() ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
}
