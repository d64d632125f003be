// The log window's tools: the sessions list above the view and the search bar below it, their
// commands, and what the window tells them.
//
//   +-----------------------------------------+
//   | SessionsPanel (hidden until Ctrl+L)     |
//   |=================== splitter ============|
//   | LogWnd                                  |
//   |=================== splitter ============|
//   | InterceptPanel (shown with Intercept)   |
//   +-----------------------------------------+
//   | SearchBar (hidden until Ctrl+F)         |
//   +-----------------------------------------+
//   | SendBar (hidden until Ctrl+E)           |
//   +-----------------------------------------+
#include <QAction>
#include <QLayout>
#include <QSplitter>

#include <algorithm>

#include "log/uLog.h"
#include "log/uIntercept.h"
#include "log/uLogLayout.h"
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
  InterceptPanel = new TInterceptPanel(splitter);
  InterceptPanel->hide();
  splitter->addWidget(InterceptPanel);
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 2);
  splitter->setStretchFactor(2, 1);
  frame->addWidget(splitter);
  InterceptPanel->OnSettingsEdited = [this] { ApplyIntercept(); };
  InterceptPanel->OnDecide = [this](std::uint64_t Number, TInterceptAction How, const std::string& Edited,
                                    std::string& Error) {
    if (!OnInterceptDecide) {
      Error = "nothing relays here";
      return false;
    }
    return OnInterceptDecide(Number, How, Edited, Error);
  };
  InterceptPanel->OnForwardAll = [this] {
    if (OnInterceptForwardAll) OnInterceptForwardAll();
  };
  SearchBar = new TSearchBar(FRecord, *LogWnd, this);
  SearchBar->hide();
  frame->addWidget(SearchBar);
  SendBar = new TSendBar(this);
  SendBar->hide();
  frame->addWidget(SendBar);
  SendBar->Sessions = [this] { return SessionsPanel->SelectedSessions(); };
  SessionsPanel->OnReport = [this](const std::string& Report, bool Error) {
    SendBar->Open();
    SendBar->ShowStatus(QString::fromStdString(Report), Error);
  };
  SendBar->Sender = [this](std::uint64_t Id, TEntryDirection Way, const std::string& Bytes, std::string& Error) {
    if (!OnSend) {
      Error = "nothing relays here: no session can be sent to";
      return false;
    }
    return OnSend(Id, Way, Bytes, Error);
  };

  SessionsPanel->OnFilterChange = [this](const TEntryFilter& Filter) { SearchBar->SetFilter(Filter); };
  SessionsPanel->OnDistinctColorsChange = [this](bool On) { LogWnd->SetDistinctColors(On); };
  SessionsPanel->OnReplay = [this](const std::vector<std::uint64_t>& Ids, std::string& Report) {
    if (!OnReplay) {
      Report = "nothing can replay here";
      return false;
    }
    return OnReplay(Ids, Report);
  };

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

void TLog::Resend1Click(QObject*) {
  std::string report;
  const bool sent = OnResend ? OnResend(ResendEntries, report) : (report = "nothing relays here", false);
  SendBar->Open();
  SendBar->ShowStatus(QString::fromStdString(report), !sent);
}

std::vector<std::uint64_t> TLog::EntriesAt(const QPoint& At) const {
  LogWnd->Flush();
  const TLogLayout& layout = LogWnd->Layout();
  if (layout.LineCount() == 0) return {};
  std::uint64_t first, last;
  if (LogWnd->HasSelection()) {
    const TTextPos from = std::min(LogWnd->Anchor(), LogWnd->Caret());
    TTextPos to = std::max(LogWnd->Anchor(), LogWnd->Caret());
    // A selection that ends at the start of a line takes nothing of it.
    if (to.Column == 0 && to.Line > from.Line) --to.Line;
    first = from.Line;
    last = to.Line;
  } else {
    first = last = LogWnd->PosAt(At).Line;
  }
  last = std::min(last, layout.LineCount() - 1);
  std::vector<std::uint64_t> entries;
  for (std::uint64_t line = std::min(first, last);; ++line) {
    const std::uint64_t entry = layout.Place(line).Entry;
    if (entries.empty() || entries.back() != entry) {
      TRecordEntry e;
      if (FRecord.Entry(entry, e) && e.Direction != edNone && (entries.empty() || entries.back() != entry))
        entries.push_back(entry);
    }
    if (line >= last) break;
  }
  return entries;
}

void TLog::ToolsEntriesAdded() {
  SessionsPanel->EntriesAdded();
  SearchBar->EntriesAdded();
}

void TLog::ToolsSessionChanged(std::uint64_t Id) { SessionsPanel->SessionChanged(Id); }

void TLog::ToolsCleared() {
  SessionsPanel->RecordCleared();
  SearchBar->RecordCleared();
}
