// Public. The search bar at the bottom of the log window: finds text (with or without regard to
// case) or hex bytes in the traffic, each session's direction searched as one stream
// (RecordSearch.h), within the filter the view shows.
//
// The search runs on a worker thread that only reads the record and hands its matches to the GUI
// thread in batches, so the windows never wait for it; a new pattern, another filter, closing the
// bar or a Clear cancels it. When it has reached the record's end it goes on with the entries that
// arrive after it. The matches are drawn highlighted, only those in sight (the view asks for them
// as it paints), the current one in the stronger colour and scrolled into sight; the bar counts
// them: "3 of 17", "not found".
//
//   [Find: 0d 0a 47____] [x] Match case [ ] Hex  [<] [>]  3 of 17  [x]
#pragma once

#include <QWidget>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "record/RecordFilter.h"
#include "record/RecordSearch.h"
#include "record/TrafficRecord.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QTimer;
class QToolButton;
class TLogView;
struct THighlight;

class TSearchBar : public QWidget {
public:
  TSearchBar(const TTrafficRecord& Record, TLogView& View, QWidget* Parent = nullptr);
  // Cancels the worker and waits for it: it reads the record, which may go after the bar.
  ~TSearchBar() override;

  QLineEdit* SearchText = nullptr;
  QCheckBox* MatchCase = nullptr;
  QCheckBox* HexBytes = nullptr;
  QToolButton* PreviousBtn = nullptr;
  QToolButton* NextBtn = nullptr;
  QLabel* SearchStatus = nullptr;
  QToolButton* CloseBtn = nullptr;

  // Shows the bar with the text field focused and selected, and searches for what it holds.
  void Open();
  // Hides the bar, stops the search and takes the highlights away.
  void Close();
  // The next or the previous match becomes the current one, round the ends. A pattern typed but
  // not searched for yet is searched for first.
  void FindNext();
  void FindPrevious();

  // Searches again within this filter (the view shows the same).
  void SetFilter(const TEntryFilter& Filter);
  // What the log window tells it.
  void EntriesAdded();
  void RecordCleared();

  // ---- the results, on the GUI thread ----
  std::uint64_t MatchCount() const noexcept { return FMatches.size(); }
  std::optional<std::uint64_t> Current() const noexcept { return FCurrent; }
  // The parts of match Match, in stream order.
  std::vector<TSearchPart> MatchParts(std::uint64_t Match) const;
  // True while the worker runs, or a search waits to start.
  bool Searching() const;
  // At most this many matches are kept; the bar then counts "1000000+".
  static constexpr std::uint64_t kMaxMatches = 1000000;

protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
  struct TBatch;
  // Starts a new search for what the bar holds now (or none for an empty pattern).
  void Restart();
  // Runs the search on the worker from where it stopped up to the record's count.
  void RunWorker();
  void StopWorker();
  void DropResults();
  void TakeBatch(std::uint64_t Job, TBatch& Batch);
  void Finished(std::uint64_t Job, TSearchStop Stop);
  void MakeCurrent(std::uint64_t Match);
  void UpdateStatus();
  void Highlights(std::uint64_t Entry, std::uint64_t From, std::uint64_t To, std::vector<THighlight>& Out) const;
  // The pattern the bar holds, as bytes; false with the message in Error when it cannot be one.
  bool Pattern(std::string& Out, QString& Error) const;

  const TTrafficRecord& FRecord;
  TLogView& FView;
  QTimer* FTyping = nullptr;    // a search starts when the typing pauses
  QTimer* FFollow = nullptr;    // goes on with new entries, a few times a second at most
  TEntryFilter FFilter;
  QString FError;

  // The search and its worker. The engine belongs to the worker while it runs.
  std::unique_ptr<TRecordSearch> FEngine;
  std::thread FWorker;
  std::atomic<bool> FCancel{false};
  std::uint64_t FJob = 0;  // batches of an older job are dropped
  bool FRunning = false;
  bool FEnded = false;  // the limit was reached: nothing more is searched
  std::uint64_t FAnchor = 0;  // the record entry at the top of the view when the search began

  // Matches by their last part (the entry where they end), in the record's order, and the other
  // parts of those that span entries.
  std::vector<TSearchPart> FMatches;
  std::vector<std::pair<std::uint64_t, TSearchPart>> FEarly;  // (match, part), by match
  std::multimap<std::uint64_t, std::size_t> FEarlyByEntry;    // entry -> index in FEarly
  std::optional<std::uint64_t> FCurrent;
};
