// The log window: its frame, the view, the popup menu and its commands.
#include "log/uLog.h"

#include <QAction>
#include <QMenu>
#include <QVBoxLayout>

#include "log/uLogView.h"
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
  FRecord.OnBodiesLost = [this](const std::string& Message) {
    FLoss = Message;
    FLossPending = true;
  };
  CreateView();
  CreateMenu();
  CreateTools();
  FormCreate(this);
}

TLog::~TLog() {
  if (Log == this) Log = nullptr;
  // The view reads the record: it goes first, not with the other children after the record.
  DestroyTools();
  delete LogWnd;
  LogWnd = nullptr;
}

void TLog::CreateView() {
  LogWnd = new TLogView(FRecord, this);
  LogWnd->setObjectName(QStringLiteral("LogWnd"));
  LogWnd->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(LogWnd, &QWidget::customContextMenuRequested, this, [this](const QPoint& At) {
    // PopupMenu's items, and Resend for the entries clicked. A scroll area reports the position
    // in its viewport's coordinates.
    ResendEntries = EntriesAt(At);
    EntryMenu->clear();
    EntryMenu->addActions(PopupMenu->actions());
    EntryMenu->addSeparator();
    EntryMenu->addAction(Resend1);
    Resend1->setEnabled(!ResendEntries.empty());
    EntryMenu->popup(LogWnd->viewport()->mapToGlobal(At));
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
  CreateSaveItem();
  CreateFaultsItem();
  CreateInterceptItem();
  EntryMenu = new QMenu(this);
  EntryMenu->setObjectName(QStringLiteral("EntryMenu"));
  Resend1 = new QAction(QStringLiteral("R&esend"), this);
  Resend1->setObjectName(QStringLiteral("Resend1"));
  connect(Resend1, &QAction::triggered, this, platform::gui::Guarded([this] { Resend1Click(Resend1); }));
}

void TLog::FormCreate(QObject*) {
  FRecord.Clear();
  LogWnd->Flush();
  LogWnd->SetFollowing(Refresh1->isChecked());
  LogWnd->SetWordWrap(Wordwrap1->isChecked());
  SetEntryTitle(std::string());
  SetEntryColor(clBlack);
}

void TLog::Copy1Click(QObject*) {
  // Every line as the view holds it, unwrapped, joined by line ends.
  LogWnd->Flush();
  platform::gui::SetClipboardText(LogWnd->AllText());
  // The selection collapses to the start of the text; the view stays where it is.
  LogWnd->SetSelection({}, {});
}

void TLog::Clear1Click(QObject*) {
  FRecord.Clear();
  LogWnd->Flush();
  ToolsCleared();
}

void TLog::Refresh1Click(QObject*) {
  Refresh1->setChecked(!Refresh1->isChecked());
  LogWnd->SetFollowing(Refresh1->isChecked());
}

void TLog::LineMode1Click(QObject*) {
  LineMode1->setChecked(!LineMode1->isChecked());
  if (OnLineModeChange) OnLineModeChange(this, LineMode1->isChecked());
}

void TLog::Debugstring1Click(QObject*) { Debugstring1->setChecked(!Debugstring1->isChecked()); }

void TLog::Wordwrap1Click(QObject*) {
  Wordwrap1->setChecked(!Wordwrap1->isChecked());
  LogWnd->SetWordWrap(Wordwrap1->isChecked());
}
