// Public. The sessions list of the log window and the filter it drives: a table of every session
// (TSessionsModel), a direction box, "Show all" and the "Distinct colours" check item.
//
// Selecting sessions shows only their entries in the log view; the direction box leaves out the
// bytes that went the other way. The filter holds only while the list is open: closed, the view
// shows the whole log again, and opening the list brings the filter back.
//
// The filtered view is kept up to date as entries arrive: a timer looks at the new entries only
// (never at the whole record) and appends those the filter keeps. A Clear starts the filter again
// on the emptied record; sessions still open stay listed, and stay selected.
#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "record/RecordFilter.h"
#include "record/TrafficRecord.h"

class QCheckBox;
class QComboBox;
class QPushButton;
class QTableView;
class QTimer;
class TLogView;
class TSessionsModel;

class TSessionsPanel : public QWidget {
public:
  TSessionsPanel(const TTrafficRecord& Record, TLogView& View, QWidget* Parent = nullptr);
  ~TSessionsPanel() override;

  TSessionsModel* Model = nullptr;
  QTableView* SessionsList = nullptr;
  QComboBox* DirectionBox = nullptr;  // items in the order of TDirectionFilter
  QPushButton* ShowAllBtn = nullptr;
  QCheckBox* DistinctColorsBox = nullptr;
  // Replays the selected sessions through OnReplay (over new connections, compared); its report
  // shows in the button's tooltip and through OnReport.
  QPushButton* ReplayBtn = nullptr;

  // Shows or hides the list; the filter holds only while it is shown.
  void SetOpen(bool Value);
  bool Open() const noexcept { return FOpen; }

  // What the log window tells it.
  void EntriesAdded();
  void SessionChanged(std::uint64_t Id);
  void RecordCleared();
  // Brings the list and the filtered view up to date now, not at the next tick.
  void Flush();

  // The filter as the list sets it now, whether it holds or not.
  TEntryFilter Filter() const;
  // The filter the view shows: Filter() while the list is open, none otherwise.
  const TEntryFilter& Applied() const noexcept { return FApplied; }
  // The sessions selected in the list, in the list's order; none while the list is closed.
  std::vector<std::uint64_t> SelectedSessions() const;
  // Selects the rows of these sessions (the filter follows), or none.
  void SelectSessions(const std::vector<std::uint64_t>& Ids);

  // Raised when the filter the view shows has changed.
  std::function<void(const TEntryFilter& Filter)> OnFilterChange;
  // "Replay" pressed with these sessions selected; false and Report when refused.
  std::function<bool(const std::vector<std::uint64_t>& Ids, std::string& Report)> OnReplay;
  // What a replay request answered, for the window to show.
  std::function<void(const std::string& Report, bool Error)> OnReport;
  void ReplayBtnClick();

  // Raised when "Distinct colours" is checked or unchecked.
  std::function<void(bool On)> OnDistinctColorsChange;

  void ShowAllBtnClick();

private:
  // Sets the view's filter from the list, scanning the whole record once, if it differs from the
  // one applied or the record was cleared.
  void ApplyFilter(bool Force = false);
  // Appends to the view what arrived since the filter last looked.
  void FilterTick();
  void RefreshTick();
  std::vector<std::uint64_t> SelectedIds() const;

  const TTrafficRecord& FRecord;
  TLogView& FView;
  QTimer* FRefresh = nullptr;     // the list, a few times a second while open
  QTimer* FFilterTick = nullptr;  // new entries into the filtered view
  bool FOpen = false;
  TEntryFilter FApplied;
  std::uint64_t FFilterGeneration = 0;
  std::uint64_t FFiltered = 0;  // record entries the filter has looked at
  std::vector<std::uint64_t> FKeep;  // selected sessions kept across a reset of the list
  bool FRestoring = false;
};
