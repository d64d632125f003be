// Public. The intercept panel of the log window: what Intercept holds (stream/InterceptStage.h),
// the settings that say which chunks it holds, and the decisions on them.
//
//   Intercept [to Remote and Local v]  Match: [QUIT\r\n______] [ ] Hex
//   +----+---------+-----------+-------+----------------------+--------------+
//   | #  | Session | Way       | Bytes | Start                | Decision     |
//   | 12 | 3       | to Remote | 6     | QUIT\r\n             | held         |
//   +----+---------+-----------+-------+----------------------+--------------+
//   [ editor: the selected chunk as text with escapes, or as hex      ] [ ] Hex
//   [Forward] [Forward edited] [Drop] [Forward all]   status
//
// The log knows no sockets: the panel hands the settings and each decision to its events, which
// the owner of the relay binds to the engine, and the engine tells it of each chunk held and each
// chunk gone (ChunkHeld, ChunkLeft). A chunk decided behind an undecided one stays listed, its
// decision shown, until it has gone. An edit or a match that does not parse is shown as an error
// and nothing is sent or changed.
#pragma once

#include <QAbstractTableModel>
#include <QWidget>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "stream/InterceptStage.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;

// The held chunks, in the order they were held (their numbers ascending).
class THeldChunksModel : public QAbstractTableModel {
public:
  using QAbstractTableModel::QAbstractTableModel;

  enum TColumn { hcNumber, hcSession, hcWay, hcBytes, hcStart, hcDecision, hcColumns };

  int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation, int Role = Qt::DisplayRole) const override;

  void Add(const TInterceptedChunk& Chunk);
  void Remove(std::uint64_t Number);
  void SetDecision(std::uint64_t Number, const QString& Decision);
  void Clear();
  // The row of chunk Number, or -1.
  int RowOf(std::uint64_t Number) const;
  const TInterceptedChunk& Chunk(int Row) const { return FRows[static_cast<std::size_t>(Row)].Chunk; }
  QString Decision(int Row) const { return FRows[static_cast<std::size_t>(Row)].Decision; }

private:
  struct TRow {
    TInterceptedChunk Chunk;
    QString Decision;
  };
  std::deque<TRow> FRows;
};

class TInterceptPanel : public QWidget {
public:
  explicit TInterceptPanel(QWidget* Parent = nullptr);

  QComboBox* InterceptTo = nullptr;  // "to Remote and Local", "to Remote", "to Local"
  QLineEdit* InterceptMatch = nullptr;
  QCheckBox* MatchHex = nullptr;
  QTableView* HeldList = nullptr;
  QPlainTextEdit* ChunkEditor = nullptr;
  QCheckBox* EditorHex = nullptr;
  QPushButton* ForwardBtn = nullptr;
  QPushButton* ForwardEditedBtn = nullptr;
  QPushButton* DropBtn = nullptr;
  QPushButton* ForwardAllBtn = nullptr;
  QLabel* InterceptStatus = nullptr;

  THeldChunksModel& Model() noexcept { return FModel; }

  // The settings as the fields give them, On as told; false and Error when the match does not parse.
  bool Settings(bool On, TInterceptSettings& Out, std::string& Error) const;

  // From the engine.
  void ChunkHeld(const TInterceptedChunk& Chunk);
  void ChunkLeft(std::uint64_t Number, TInterceptAction How);

  // The chunk the editor shows (0: none), and selecting one (its row in the list).
  std::uint64_t Current() const noexcept { return FCurrent; }
  void Select(std::uint64_t Number);
  // The editor's bytes as its hex box says; false and Error when they do not parse.
  bool Edited(std::string& Out, std::string& Error) const;

  // The buttons' commands, on the chunk selected; false when nothing was decided (the status says
  // why).
  bool Forward();
  bool ForwardEdited();
  bool Drop();
  void ForwardAll();

  QString Status() const;
  bool StatusIsError() const noexcept { return FError; }
  void ShowStatus(const QString& Text, bool Error);

  // Raised when the direction or the match has changed; Settings tells whether the match parses.
  std::function<void()> OnSettingsEdited;
  // A decision on chunk Number; false and Error (one line) when the engine refuses it.
  std::function<bool(std::uint64_t Number, TInterceptAction How, const std::string& Edited, std::string& Error)> OnDecide;
  std::function<void()> OnForwardAll;

private:
  bool Decide(TInterceptAction How);
  void ShowCurrent();
  void SettingsEdited();
  void SelectionMoved();

  THeldChunksModel FModel;
  std::uint64_t FCurrent = 0;
  bool FError = false;
};
