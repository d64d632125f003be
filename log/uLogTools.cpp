// The log window's tools: the sessions list above the view and the search bar below it, their
// commands, and what the window tells them.
//
//   +-----------------------------------------+
//   | SessionsPanel (hidden until Ctrl+L)     |
//   |=================== splitter ============|
//   | LogWnd                                  |
//   +-----------------------------------------+
//   | SearchBar (hidden until Ctrl+F)         |
//   +-----------------------------------------+
//   | SendBar (hidden until Ctrl+E)           |
//   +-----------------------------------------+
#include <QAction>
#include <QLayout>
#include <QSplitter>

#include "log/uLog.h"
#include "log/uLogView.h"
#include "log/uSearch.h"
#include "log/uSendBar.h"
#include "log/uSessions.h"
#include "platform/gui/ErrorBox.h"

void TLog::CreateTools() {
  QLayout* frame = layout();
  frame->removeWidget(LogWnd);
  auto* splitter = new QSplitter(Qt::Vertical, this);
  splitter->setObjectName(QStringLiteral("LogSplitter"));
  splitter->setChildrenCollapsible(false);
  SessionsPanel = new TSessionsPanel(FRecord, *LogWnd, splitter);
  SessionsPanel->hide();
  splitter->addWidget(SessionsPanel);
  splitter->addWidget(LogWnd);
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 2);
  frame->addWidget(splitter);
  SearchBar = new TSearchBar(FRecord, *LogWnd, this);
  SearchBar->hide();
  frame->addWidget(SearchBar);
  SendBar = new TSendBar(this);
  SendBar->hide();
  frame->addWidget(SendBar);
  SendBar->Sessions = [this] { return SessionsPanel->SelectedSessions(); };
  SendBar->Sender = [this](std::uint64_t Id, TEntryDirection Way, const std::string& Bytes, std::string& Error) {
    if (!OnSend) {
      Error = "nothing relays here: no session can be sent to";
      return false;
    }
    return OnSend(Id, Way, Bytes, Error);
  };

  SessionsPanel->OnFilterChange = [this](const TEntryFilter& Filter) { SearchBar->SetFilter(Filter); };
  SessionsPanel->OnDistinctColorsChange = [this](bool On) { LogWnd->SetDistinctColors(On); };

  const auto action = [this](const char* Name, const char* Caption, const QKeySequence& Keys, bool Checkable,
                             auto Handler) {
    auto* item = new QAction(QString::fromLatin1(Caption), this);
    item->setObjectName(QString::fromLatin1(Name));
    item->setShortcut(Keys);
    item->setCheckable(Checkable);
    addAction(item);
    connect(item, &QAction::triggered, this, platform::gui::Guarded([this, item, Handler] {
              // As in the popup menu: the handler owns the toggle of a check item.
              if (item->isCheckable()) item->setChecked(!item->isChecked());
              Handler(item);
            }));
    return item;
  };
  Sessions1 = action("Sessions1", "&Sessions", QKeySequence(Qt::CTRL | Qt::Key_L), true,
                     [this](QObject* Sender) { Sessions1Click(Sender); });
  Find1 = action("Find1", "&Find...", QKeySequence::Find, false, [this](QObject* Sender) { Find1Click(Sender); });
  FindNext1 = action("FindNext1", "Find &next", QKeySequence::FindNext, false, [this](QObject*) { SearchBar->FindNext(); });
  FindPrevious1 = action("FindPrevious1", "Find &previous", QKeySequence::FindPrevious, false,
                         [this](QObject*) { SearchBar->FindPrevious(); });
  Send1 = action("Send1", "S&end...", QKeySequence(Qt::CTRL | Qt::Key_E), false, [this](QObject* Sender) { Send1Click(Sender); });
}

void TLog::DestroyTools() {
  // The search's worker reads the record, and both read the view: they go before either.
  delete SendBar;
  SendBar = nullptr;
  delete SearchBar;
  SearchBar = nullptr;
  delete SessionsPanel;
  SessionsPanel = nullptr;
}

void TLog::Sessions1Click(QObject*) {
  Sessions1->setChecked(!Sessions1->isChecked());
  SessionsPanel->SetOpen(Sessions1->isChecked());
}

void TLog::Find1Click(QObject*) { SearchBar->Open(); }

void TLog::Send1Click(QObject*) { SendBar->Open(); }

void TLog::ToolsEntriesAdded() {
  SessionsPanel->EntriesAdded();
  SearchBar->EntriesAdded();
}

void TLog::ToolsSessionChanged(std::uint64_t Id) { SessionsPanel->SessionChanged(Id); }

void TLog::ToolsCleared() {
  SessionsPanel->RecordCleared();
  SearchBar->RecordCleared();
}
