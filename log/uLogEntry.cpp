// AddEntry: one entry into the record; the view takes it up at its next tick.
#include <QAction>

#include "log/uLog.h"
#include "log/uLogView.h"

namespace {

// The title of the entry that tells the user of bodies the record could not keep.
const std::string kLossTitle = "Error: Data not kept";

}  // namespace

void TLog::AddEntry(const std::string& Body) { AddEntry(Body, TEntrySource{}); }

void TLog::AddEntry(const std::string& Body, const TEntrySource& Source) {
  if (isHidden()) {
    show();
    raise();
  }
  FRecord.Add(FEntryTitle, FEntryColor, Debugstring1->isChecked() ? emHex : emText, Source, Body);
  if (FLossPending) ReportLoss();
  LogWnd->EntriesAdded();
  ToolsEntriesAdded();
}

void TLog::ReportLoss() {
  // Taken before Add: a loss reported while this entry is added waits for the next one.
  FLossPending = false;
  const std::string message = std::move(FLoss);
  FLoss.clear();
  FRecord.Add(kLossTitle, clBlack, emText, TEntrySource{}, message);
}

void TLog::SessionChanged(const TSessionInfo& Info) {
  FRecord.SetSession(Info);
  ToolsSessionChanged(Info.Id);
}
