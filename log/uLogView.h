// Public. The log view, `LogWnd`: a read-only view of the traffic record that paints only the lines
// in sight, straight from the record.
//
// The layout (uLogLayout.h) is arithmetic, so the scroll position maps to a line number by
// division and a line to its entry by a binary search; no line is formatted until it is painted,
// and then only the columns in sight. Entries that arrive are taken up by a timer, at most about
// thirty times a second, however fast they come.
//
// A place in the text is a line and a column (characters from the start of the line, 0 to its
// length). Lines only ever get appended, so a place stays valid while entries arrive; a change of
// the wrap width or of the filter moves every place, and drops the selection.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "record/TrafficRecord.h"
#include "log/uLogLayout.h"

class QTimer;

struct TTextPos {
  std::uint64_t Line = 0;
  std::uint64_t Column = 0;
  friend auto operator<=>(const TTextPos&, const TTextPos&) = default;
};

// Bytes of an entry's body drawn highlighted (a search match).
struct THighlight {
  std::uint64_t Entry = 0;  // record index
  std::uint64_t From = 0;   // first byte of the body
  std::uint64_t Length = 0;
  bool Current = false;  // drawn in the stronger colour
};

class TLogView : public QAbstractScrollArea {
public:
  explicit TLogView(const TTrafficRecord& Record, QWidget* Parent = nullptr);
  ~TLogView() override;

  // ---- what the log window tells it ----
  // The record has got entries: they are taken up and drawn at the next tick of the timer.
  void EntriesAdded();
  // Takes up the record now: new entries, or an emptied record.
  void Flush();
  // While set, each catch-up that brings new lines scrolls to the last one (never sideways).
  bool Following() const noexcept { return FFollowing; }
  void SetFollowing(bool Value) noexcept { FFollowing = Value; }
  // Text bodies cut at the viewport's width, in whole characters.
  bool WordWrap() const noexcept { return FWordWrap; }
  void SetWordWrap(bool Value);

  // ---- the lines, as shown ----
  std::uint64_t LineCount() const { return FLayout.LineCount(); }
  QString LineText(std::uint64_t Line) const;
  // The colour of the entry that Line belongs to.
  QColor LineColor(std::uint64_t Line) const;
  const TLogLayout& Layout() const noexcept { return FLayout; }
  // The line at the top of the viewport, and scrolling so that Line is there (or as near as the
  // end of the text allows).
  std::uint64_t TopLine() const noexcept { return FTopLine; }
  void ScrollToLine(std::uint64_t Line);
  void ScrollToEnd();
  // Whole lines that fit in the viewport.
  std::uint64_t PageLines() const;
  // The width of a column in pixels: the font's advance of '0', rounded. The view keeps a letter
  // spacing in its font that makes every character's advance exactly this, whatever font it is
  // given, so that QFontMetrics(font()) measures the text as it is drawn: column c starts at
  // c * CharWidth() less the horizontal scroll. A character of another width (a proportional
  // face, a fallback font) is drawn alone at the start of its column.
  int CharWidth() const noexcept { return FCharWidth; }
  int LineHeight() const noexcept { return FLineHeight; }

  // ---- selection and copying ----
  TTextPos Anchor() const noexcept { return FAnchor; }
  TTextPos Caret() const noexcept { return FCaret; }
  bool HasSelection() const noexcept { return FAnchor != FCaret; }
  // Places beyond the text are brought back onto it. Does not scroll.
  void SetSelection(TTextPos Anchor, TTextPos Caret);
  void SelectAll();
  // The selected text as shown: lines joined by "\n", but none where a wrapped body goes on.
  QString SelectedText() const;
  // Every line of the view as it would be without wrapping, joined by "\n".
  QString AllText() const;
  // The place under a point of the viewport.
  TTextPos PosAt(QPoint Point) const;

  // ---- for filters and search ----
  // Shows only these record indexes (ascending), or everything for nullopt; the entry at the top
  // of the view stays there, or the first shown one after it.
  void SetVisibleEntries(std::optional<std::vector<std::uint64_t>> Entries);
  // Adds record indexes to a filter (ascending, after its last one) as new entries arrive; the
  // view follows them as it follows new entries without a filter. Nothing without a filter.
  void AppendVisibleEntries(const std::vector<std::uint64_t>& Entries);
  void SetHighlights(std::vector<THighlight> Highlights);
  // Highlights asked for at paint time, for the lines in sight only: the source appends to Out the
  // highlights of entry Entry that touch body bytes [From, To). For a search with a million
  // matches, of which a screenful is ever drawn. Drawn together with those of SetHighlights.
  using THighlightSource =
      std::function<void(std::uint64_t Entry, std::uint64_t From, std::uint64_t To, std::vector<THighlight>& Out)>;
  void SetHighlightSource(THighlightSource Source);
  // Scrolls so that the highlighted bytes are in sight, vertically and sideways.
  void ScrollToHighlight(const THighlight& Highlight);

  // Each session in a colour of its own (DistinctSessionColor) instead of the colour it was logged
  // in; entries of no session keep theirs. The record is not changed: the colour is chosen when a
  // line is drawn.
  bool DistinctColors() const noexcept { return FDistinctColors; }
  void SetDistinctColors(bool Value);
  // The colour an entry is drawn in now.
  QColor EntryColor(const TRecordEntry& E) const;

  // Lines (or slices of lines) formatted since the view was made: what painting has cost.
  std::uint64_t LinesFormatted() const noexcept { return FLinesFormatted; }
  // Body bytes read from the record for that.
  std::uint64_t BodyBytesRead() const noexcept { return FBodyBytesRead; }

protected:
  void paintEvent(QPaintEvent* Event) override;
  void resizeEvent(QResizeEvent* Event) override;
  void scrollContentsBy(int Dx, int Dy) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseMoveEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void mouseDoubleClickEvent(QMouseEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;
  void changeEvent(QEvent* Event) override;

private:
  // The characters of columns [From, To) of a line (cut to its length), as shown.
  QString LineSlice(const TLinePlace& Place, const TRecordEntry& E, std::uint64_t From, std::uint64_t To) const;
  std::uint64_t LineLength(std::uint64_t Line) const;
  QString HeaderText(const TRecordEntry& E) const;
  void UpdateMetrics();
  void UpdateScrollBars();
  void UpdateWrapWidth();
  std::uint64_t MaxTopLine() const;
  void SetTopLine(std::uint64_t Line);
  void SetCaretFromMouse(QPoint Point, bool Extend);
  // Runs of columns to draw highlighted on a line, [first, last).
  std::vector<std::pair<std::uint64_t, std::uint64_t>> HighlightColumns(const TLinePlace& Place, const TRecordEntry& E,
                                                                       bool Current) const;
  void DrawSlice(QPainter& Painter, int X, int Baseline, const QString& Text) const;
  // The character takes exactly one column in the view's font (cached until the font changes).
  bool FitsCell(QChar C) const;
  void Relaid(std::uint64_t TopEntry);

  const TTrafficRecord& FRecord;
  TLogLayout FLayout;
  QTimer* FTick = nullptr;
  std::uint64_t FGeneration = 0;  // the record's, when the view last took it up
  bool FFollowing = true;
  bool FWordWrap = false;
  std::uint64_t FTopLine = 0;
  bool FSettingScroll = false;  // the view moves the scroll bar itself: not the user
  int FCharWidth = 1;
  int FLineHeight = 1;
  int FAscent = 0;
  mutable std::vector<std::int8_t> FCellFits = std::vector<std::int8_t>(0x10000, -1);  // by UTF-16 unit; -1: not asked yet
  TTextPos FAnchor, FCaret;
  bool FDragging = false;
  std::map<std::uint64_t, std::vector<THighlight>> FHighlights;  // by entry
  THighlightSource FHighlightSource;
  mutable std::vector<THighlight> FSourced;  // what the source gave for the line being drawn
  bool FDistinctColors = false;
  mutable std::uint64_t FLinesFormatted = 0;
  mutable std::uint64_t FBodyBytesRead = 0;
};
