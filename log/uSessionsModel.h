// Public. The sessions of the traffic record as a table: one row per session, in the order the
// sessions appeared, with its number and colour, both ends, its state, the bytes each way, when it
// started, how long it has lasted and how many times the user sent bytes into it.
//
// The model reads the record; it never walks all its sessions except after a Clear. What changed
// is learnt two ways: SessionChanged names a session whose facts the relay updated, and the entries
// added since the last Refresh name the sessions whose byte counts moved. Refresh, run by the
// window's timer a few times a second, reads those sessions again, appends the new ones as rows
// and reports the changed rows as one range, so that an update costs what changed, not the size
// of the list.
#pragma once

#include <QAbstractTableModel>

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "record/TrafficRecord.h"

class TSessionsModel : public QAbstractTableModel {
public:
  enum TColumn : int {
    scNumber = 0,  // with a swatch of the session's colour
    scLocal,
    scRemote,
    scState,
    scFromLocal,
    scFromRemote,
    scStart,
    scDuration,
    scSent,  // entries of bytes the user sent into it (send bar, Resend, edited chunks)
    scTls,  // each side's TLS: empty for plain TCP on both
    scColumnCount,
  };
  // The session number of a row, for any column.
  static constexpr int kIdRole = Qt::UserRole;

  explicit TSessionsModel(const TTrafficRecord& Record, QObject* Parent = nullptr);

  // The record holds new facts of session Id: read at the next Refresh.
  void SessionChanged(std::uint64_t Id);
  // Takes up what changed since the last call. NowUs: where the durations of open sessions run to.
  void Refresh(std::int64_t NowUs);

  const TSessionInfo& Info(int Row) const { return FRows[static_cast<std::size_t>(Row)]; }
  // The row of session Id, or -1.
  int RowOf(std::uint64_t Id) const;
  // Sessions read from the record by the Refresh calls so far: what keeping up has cost.
  std::uint64_t SessionsRead() const noexcept { return FSessionsRead; }

  // The colour a row shows: the session's log colour, or its distinct one (SessionColors.h).
  bool DistinctColors() const noexcept { return FDistinctColors; }
  void SetDistinctColors(bool Value);

  static QString StateText(const TSessionInfo& Info);
  static QString DurationText(std::int64_t Us);
  // Each side's TLS state, "local: TLSv1.3 h2, remote: TLSv1.3 h2"; empty while both are plain.
  static QString TlsText(const TSessionInfo& Info);
  static QString EndText(const std::string& Addr, std::uint16_t Port);

  int rowCount(const QModelIndex& Parent = {}) const override;
  int columnCount(const QModelIndex& Parent = {}) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation, int Role = Qt::DisplayRole) const override;

private:
  void Reset();

  const TTrafficRecord& FRecord;
  std::uint64_t FGeneration = 0;
  std::uint64_t FTaken = 0;  // record entries looked at
  std::vector<TSessionInfo> FRows;
  std::unordered_map<std::uint64_t, int> FRowOf;
  std::unordered_set<std::uint64_t> FDirty;
  std::uint64_t FOpen = 0;  // rows of open sessions: their durations run on
  std::int64_t FNowUs = 0;
  bool FDistinctColors = false;
  std::uint64_t FSessionsRead = 0;
};
