// The log view: layout by arithmetic, painting of the lines in sight, selection and copying.
#include "log/uLogView.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>

#include "record/AnsiText.h"
#include "record/DateTimeText.h"
#include "record/LogFormat.h"
#include "record/LogText.h"
#include "record/SessionColors.h"
#include "platform/gui/Clipboard.h"
#include "platform/gui/Colors.h"

namespace {

// Entries that arrive faster than this are drawn together: about thirty repaints a second at most,
// however fast a session sends, and nothing at all while nothing arrives.
constexpr int kTickMs = 33;

// A scroll bar counts in int. Beyond this many lines its value is scaled to the line number.
constexpr std::uint64_t kScrollLimit = std::uint64_t{1} << 30;

constexpr std::uint64_t kNoEnd = std::numeric_limits<std::uint64_t>::max();
// What a body line shows when the record could not keep the body (its width, label included, is
// kNotKeptHexWidth, which the layout counts in the longest line).
const QString kNotKept = QString::fromLatin1(kNotKeptText.data(), static_cast<qsizetype>(kNotKeptText.size()));

// The widest date and time of the locale, so that the longest header is known without formatting
// any entry's: two-digit days, months and hours, both halves of the day.
std::uint64_t WidestDateTime() {
  qsizetype widest = 0;
  for (int month = 1; month <= 12; ++month)
    for (int hour : {0, 11, 12, 23}) {
      const QDateTime when(QDate(2000, month, 28), QTime(hour, 48, 48));
      widest = std::max(widest, DateTimeText(when).size());
    }
  return static_cast<std::uint64_t>(widest);
}

QString Mid(const QString& Text, std::uint64_t From, std::uint64_t To) {
  const auto size = static_cast<std::uint64_t>(Text.size());
  if (From >= size || To <= From) return {};
  return Text.mid(static_cast<qsizetype>(From), static_cast<qsizetype>(std::min(To, size) - From));
}

// The hex line of Bytes (at most 16), labelled with the position of its first byte in the body.
std::string HexLine(const std::string& Bytes, std::uint64_t First) {
  std::string line = FormatHexLine(Bytes, 0, Bytes.size()).Text;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const std::uint64_t label = First & 0xFFFF;
  for (int digit = 0; digit < 4; ++digit) line[static_cast<std::size_t>(3 - digit)] = kDigits[(label >> (4 * digit)) & 0xF];
  return line;
}

QString HexLabel(std::uint64_t First) {
  return QStringLiteral("%1").arg(First & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper();
}

bool IsWordChar(QChar C) { return C.isLetterOrNumber() || C == u'_'; }

}  // namespace

TLogView::TLogView(const TTrafficRecord& Record, QWidget* Parent)
    : QAbstractScrollArea(Parent), FRecord(Record), FLayout(Record), FGeneration(Record.Generation()) {
  // A monospace face of fixed metrics, so that hex-dump columns line up.
  QFont font(QStringLiteral("Liberation Mono"));
  font.setStyleHint(QFont::Monospace);
  font.setFixedPitch(true);
  font.setPointSize(8);
  setFont(font);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Button));
  setPalette(palette);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setCursor(Qt::IBeamCursor);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FLayout.SetDateTimeWidth(WidestDateTime());
  FTick = new QTimer(this);
  FTick->setSingleShot(true);
  FTick->setInterval(kTickMs);
  connect(FTick, &QTimer::timeout, this, [this] { Flush(); });
  UpdateMetrics();
  FLayout.CatchUp();
  UpdateScrollBars();
}

TLogView::~TLogView() = default;

// ---- taking up the record ----

void TLogView::EntriesAdded() {
  if (!FTick->isActive()) FTick->start();
}

void TLogView::Flush() {
  FTick->stop();
  const bool cleared = FRecord.Generation() != FGeneration;
  FGeneration = FRecord.Generation();
  if (!FLayout.CatchUp() && !cleared) return;
  if (cleared) {
    // What the places pointed at is gone.
    FAnchor = FCaret = TTextPos{};
    FDragging = false;
    FHighlights.clear();
    FTopLine = 0;
  }
  UpdateScrollBars();
  if (FFollowing) ScrollToEnd();
  viewport()->update();
}

void TLogView::SetWordWrap(bool Value) {
  FWordWrap = Value;
  UpdateWrapWidth();
}

void TLogView::UpdateWrapWidth() {
  const std::uint64_t columns =
      FWordWrap ? static_cast<std::uint64_t>(std::max(1, viewport()->width() / FCharWidth)) : 0;
  if (columns == FLayout.WrapColumns()) return;
  const bool atEnd = FTopLine >= MaxTopLine() && FLayout.LineCount() > 0;
  const std::uint64_t top = FLayout.VisibleCount() > 0 ? FLayout.Place(FTopLine).Visible : 0;
  FLayout.SetWrapColumns(columns);
  Relaid(top);
  if (atEnd) ScrollToEnd();
}

void TLogView::Relaid(std::uint64_t TopEntry) {
  FAnchor = FCaret = TTextPos{};
  FDragging = false;
  UpdateScrollBars();
  SetTopLine(TopEntry < FLayout.VisibleCount() ? FLayout.HeaderLine(TopEntry) : MaxTopLine());
  viewport()->update();
}

void TLogView::SetVisibleEntries(std::optional<std::vector<std::uint64_t>> Entries) {
  Flush();
  const std::uint64_t top = FLayout.VisibleCount() > 0 ? FLayout.EntryAt(FLayout.Place(FTopLine).Visible) : 0;
  FLayout.SetVisibleEntries(std::move(Entries));
  Relaid(FLayout.VisibleOf(top));
}

void TLogView::AppendVisibleEntries(const std::vector<std::uint64_t>& Entries) {
  if (!FLayout.Filtered() || Entries.empty()) return;
  Flush();  // a cleared record first drops the filter, and then there is nothing to append to
  if (!FLayout.Filtered()) return;
  const std::uint64_t before = FLayout.LineCount();
  FLayout.AppendVisibleEntries(Entries);
  if (FLayout.LineCount() == before) return;
  UpdateScrollBars();
  if (FFollowing) ScrollToEnd();
  viewport()->update();
}

// ---- metrics and scrolling ----

void TLogView::UpdateMetrics() {
  // Every place in the view is a column of FCharWidth whole pixels: highlights, the selection,
  // the mouse and the scroll bar all count in columns. A font's own advance is seldom a whole
  // number of pixels (6.59 for the default face), and text drawn with it would drift from the
  // columns by a character every dozen or so; the letter spacing makes up the difference, so that
  // the glyphs land on the columns and the font's metrics say so.
  QFont natural = font();
  natural.setLetterSpacing(QFont::PercentageSpacing, 100);
  const qreal advance = QFontMetricsF(natural).horizontalAdvance(QString(QLatin1Char('0')));
  FCharWidth = std::max(1, qRound(advance));
  QFont cells = natural;
  cells.setKerning(false);
  cells.setLetterSpacing(QFont::AbsoluteSpacing, FCharWidth - advance);
  FCellFits.assign(FCellFits.size(), -1);
  // Setting it comes back here through changeEvent, and then finds nothing to change.
  if (cells != font()) setFont(cells);
  const QFontMetrics metrics(font());
  FLineHeight = std::max(1, metrics.lineSpacing());
  FAscent = metrics.ascent();
}

bool TLogView::FitsCell(QChar C) const {
  std::int8_t& known = FCellFits[C.unicode()];
  if (known < 0) {
    // A character of another font (a fallback's), or of another width than '0' in this one (a
    // proportional face), would move every character after it in the same drawText.
    const QFontMetricsF metrics(font());
    const bool own = C.unicode() < 0x80 || metrics.inFont(C);
    known = own && std::abs(metrics.horizontalAdvance(QString(C)) - FCharWidth) < 1.0 / 128 ? 1 : 0;
  }
  return known != 0;
}

std::uint64_t TLogView::PageLines() const {
  return static_cast<std::uint64_t>(std::max(1, viewport()->height() / FLineHeight));
}

std::uint64_t TLogView::MaxTopLine() const {
  const std::uint64_t count = FLayout.LineCount(), page = PageLines();
  return count > page ? count - page : 0;
}

void TLogView::UpdateScrollBars() {
  FSettingScroll = true;
  const std::uint64_t maxTop = MaxTopLine();
  FTopLine = std::min(FTopLine, maxTop);
  QScrollBar* v = verticalScrollBar();
  v->setPageStep(static_cast<int>(std::min<std::uint64_t>(PageLines(), kScrollLimit)));
  v->setSingleStep(1);
  if (maxTop <= kScrollLimit) {
    v->setRange(0, static_cast<int>(maxTop));
    v->setValue(static_cast<int>(FTopLine));
  } else {
    v->setRange(0, static_cast<int>(kScrollLimit));
    v->setValue(static_cast<int>(static_cast<long double>(FTopLine) * kScrollLimit / maxTop));
  }
  // The widest line sets the horizontal range; one that is wider than an int of pixels can hold
  // is reachable only that far.
  const std::uint64_t width = std::min<std::uint64_t>(FLayout.LongestLine() * static_cast<std::uint64_t>(FCharWidth),
                                                      std::numeric_limits<int>::max() / 2);
  QScrollBar* h = horizontalScrollBar();
  h->setRange(0, std::max(0, static_cast<int>(width) - viewport()->width()));
  h->setPageStep(viewport()->width());
  h->setSingleStep(FCharWidth);
  FSettingScroll = false;
}

void TLogView::SetTopLine(std::uint64_t Line) {
  FTopLine = std::min(Line, MaxTopLine());
  UpdateScrollBars();
  viewport()->update();
}

void TLogView::ScrollToLine(std::uint64_t Line) { SetTopLine(Line); }

void TLogView::ScrollToEnd() { SetTopLine(MaxTopLine()); }

void TLogView::scrollContentsBy(int, int Dy) {
  if (!FSettingScroll && Dy != 0) {
    const std::uint64_t maxTop = MaxTopLine();
    const auto value = static_cast<std::uint64_t>(std::max(0, verticalScrollBar()->value()));
    FTopLine = maxTop <= kScrollLimit ? value : static_cast<std::uint64_t>(static_cast<long double>(value) * maxTop / kScrollLimit);
  }
  viewport()->update();
}

void TLogView::resizeEvent(QResizeEvent* Event) {
  QAbstractScrollArea::resizeEvent(Event);
  UpdateScrollBars();
  UpdateWrapWidth();
}

void TLogView::changeEvent(QEvent* Event) {
  QAbstractScrollArea::changeEvent(Event);
  if (Event->type() == QEvent::FontChange) {
    UpdateMetrics();
    UpdateScrollBars();
    UpdateWrapWidth();
  }
}

// ---- the text of the lines ----

QString TLogView::HeaderText(const TRecordEntry& E) const {
  // The title goes through PrintableText too: a line break in it would split the header line.
  return DateTimeText(QDateTime::fromMSecsSinceEpoch(E.TimeUs / 1000)) + u' ' +
         AnsiText(PrintableText(FRecord.TitleText(E.Title)));
}

QString TLogView::LineSlice(const TLinePlace& Place, const TRecordEntry& E, std::uint64_t From, std::uint64_t To) const {
  ++FLinesFormatted;
  if (Place.Kind == lkSeparator) return {};
  if (Place.Kind == lkHeader) return Mid(HeaderText(E), From, To);
  const auto [first, count] = FLayout.BodyLineBytes(E, Place.BodyLine);
  std::string bytes;
  if (E.Mode == emHex) {
    // A hex line is at most 69 characters: format it whole, then cut.
    const bool kept = E.BodyKept && FRecord.ReadBody(Place.Entry, first, count, bytes);
    FBodyBytesRead += bytes.size();
    if (!kept || bytes.size() != count) return Mid(HexLabel(first) + u' ' + kNotKept, From, To);
    return Mid(AnsiText(HexLine(bytes, first)), From, To);
  }
  // A text line may be megabytes long: read only the columns asked for.
  if (!E.BodyKept) return Mid(kNotKept, From, To);
  if (From >= count || To <= From) return {};
  const std::uint64_t length = std::min(To, count) - From;
  const bool kept = FRecord.ReadBody(Place.Entry, first + From, length, bytes);
  FBodyBytesRead += bytes.size();
  if (!kept || bytes.size() != length) return Mid(kNotKept, From, To);
  return AnsiText(PrintableText(bytes));
}

std::uint64_t TLogView::LineLength(std::uint64_t Line) const {
  if (Line >= FLayout.LineCount()) return 0;
  const TLinePlace place = FLayout.Place(Line);
  TRecordEntry e;
  if (!FRecord.Entry(place.Entry, e)) return 0;
  switch (place.Kind) {
    case lkSeparator:
      return 0;
    case lkHeader:
      return static_cast<std::uint64_t>(HeaderText(e).size());
    case lkBody:
      break;
  }
  const std::uint64_t count = FLayout.BodyLineBytes(e, place.BodyLine).second;
  if (e.Mode == emHex) return e.BodyKept ? kHexTextColumn + count : kNotKeptHexWidth;
  return e.BodyKept || count == 0 ? count : static_cast<std::uint64_t>(kNotKept.size());
}

QString TLogView::LineText(std::uint64_t Line) const {
  if (Line >= FLayout.LineCount()) return {};
  const TLinePlace place = FLayout.Place(Line);
  TRecordEntry e;
  if (!FRecord.Entry(place.Entry, e)) return {};
  return LineSlice(place, e, 0, kNoEnd);
}

QColor TLogView::LineColor(std::uint64_t Line) const {
  TRecordEntry e;
  if (Line >= FLayout.LineCount() || !FRecord.Entry(FLayout.Place(Line).Entry, e)) return {};
  return EntryColor(e);
}

QColor TLogView::EntryColor(const TRecordEntry& E) const {
  return platform::gui::ToQColor(FDistinctColors && E.Session != 0 ? DistinctSessionColor(E.Session) : E.Color);
}

void TLogView::SetDistinctColors(bool Value) {
  if (Value == FDistinctColors) return;
  FDistinctColors = Value;
  viewport()->update();
}

// ---- painting ----

std::vector<std::pair<std::uint64_t, std::uint64_t>> TLogView::HighlightColumns(const TLinePlace& Place,
                                                                               const TRecordEntry& E,
                                                                               bool Current) const {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
  if (Place.Kind != lkBody) return runs;
  const auto [first, count] = FLayout.BodyLineBytes(E, Place.BodyLine);
  FSourced.clear();
  if (FHighlightSource) FHighlightSource(Place.Entry, first, first + count, FSourced);
  const auto found = FHighlights.find(Place.Entry);
  if (found != FHighlights.end()) FSourced.insert(FSourced.end(), found->second.begin(), found->second.end());
  for (const THighlight& h : FSourced) {
    if (h.Current != Current) continue;
    const std::uint64_t a = std::max(h.From, first), b = std::min(h.From + h.Length, first + count);
    if (a >= b) continue;
    const std::uint64_t j0 = a - first, j1 = b - first;
    if (E.Mode == emHex) {
      runs.emplace_back(5 + 3 * j0, 5 + 3 * (j1 - 1) + 2);
      runs.emplace_back(kHexTextColumn + j0, kHexTextColumn + j1);
    } else {
      runs.emplace_back(j0, j1);
    }
  }
  return runs;
}

void TLogView::DrawSlice(QPainter& Painter, int X, int Baseline, const QString& Text) const {
  // One drawText per run of characters that each take exactly one column; any other on its own
  // column, so that the columns after it stay in line.
  qsizetype run = 0;
  for (qsizetype i = 0; i <= Text.size(); ++i) {
    const bool end = i == Text.size();
    if (!end && FitsCell(Text[i])) continue;
    if (i > run) Painter.drawText(QPoint(X + static_cast<int>(run) * FCharWidth, Baseline), Text.mid(run, i - run));
    if (!end) Painter.drawText(QPoint(X + static_cast<int>(i) * FCharWidth, Baseline), QString(Text[i]));
    run = i + 1;
  }
}

void TLogView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const QRect area = viewport()->rect();
  painter.fillRect(area, palette().color(QPalette::Base));
  painter.setFont(font());
  const int scrolledX = horizontalScrollBar()->value();
  const auto firstColumn = static_cast<std::uint64_t>(scrolledX / FCharWidth);
  const std::uint64_t endColumn = static_cast<std::uint64_t>((scrolledX + area.width()) / FCharWidth) + 1;
  const int x = static_cast<int>(firstColumn) * FCharWidth - scrolledX;
  const TTextPos selFrom = std::min(FAnchor, FCaret), selTo = std::max(FAnchor, FCaret);
  const QColor found(255, 255, 128), current(255, 160, 64);
  const auto columnX = [&](std::uint64_t Column) {
    const std::uint64_t c = std::clamp(Column, firstColumn, endColumn);
    return x + static_cast<int>(c - firstColumn) * FCharWidth;
  };

  const std::uint64_t rows = static_cast<std::uint64_t>(area.height() / FLineHeight) + 1;
  for (std::uint64_t row = 0; row < rows; ++row) {
    const std::uint64_t line = FTopLine + row;
    if (line >= FLayout.LineCount()) break;
    const TLinePlace place = FLayout.Place(line);
    TRecordEntry e;
    if (!FRecord.Entry(place.Entry, e)) break;  // cleared: the next tick catches up
    const int top = static_cast<int>(row) * FLineHeight;
    const QString text = LineSlice(place, e, firstColumn, endColumn);
    for (bool isCurrent : {false, true})
      for (const auto& [a, b] : HighlightColumns(place, e, isCurrent))
        painter.fillRect(QRect(QPoint(columnX(a), top), QPoint(columnX(b) - 1, top + FLineHeight - 1)),
                         isCurrent ? current : found);
    QRect selected;
    if (selFrom != selTo && line >= selFrom.Line && line <= selTo.Line) {
      const std::uint64_t a = line == selFrom.Line ? selFrom.Column : 0;
      const std::uint64_t b = line == selTo.Line ? selTo.Column : firstColumn + static_cast<std::uint64_t>(text.size());
      if (b > a) selected = QRect(QPoint(columnX(a), top), QPoint(columnX(b) - 1, top + FLineHeight - 1));
      if (selected.isValid()) painter.fillRect(selected, palette().color(QPalette::Highlight));
    }
    if (text.isEmpty()) continue;
    painter.setPen(EntryColor(e));
    DrawSlice(painter, x, top + FAscent, text);
    if (selected.isValid()) {
      painter.save();
      painter.setClipRect(selected);
      painter.setPen(palette().color(QPalette::HighlightedText));
      DrawSlice(painter, x, top + FAscent, text);
      painter.restore();
    }
  }
}

// ---- selection ----

TTextPos TLogView::PosAt(QPoint Point) const {
  if (FLayout.LineCount() == 0) return {};
  const int row = Point.y() < 0 ? -1 : Point.y() / FLineHeight;
  std::uint64_t line = row < 0 ? (FTopLine > 0 ? FTopLine - 1 : 0) : FTopLine + static_cast<std::uint64_t>(row);
  line = std::min(line, FLayout.LineCount() - 1);
  const int x = Point.x() + horizontalScrollBar()->value();
  const std::uint64_t column = x <= 0 ? 0 : static_cast<std::uint64_t>((x + FCharWidth / 2) / FCharWidth);
  return {line, std::min(column, LineLength(line))};
}

void TLogView::SetSelection(TTextPos Anchor, TTextPos Caret) {
  const auto clamp = [this](TTextPos P) {
    if (FLayout.LineCount() == 0) return TTextPos{};
    P.Line = std::min(P.Line, FLayout.LineCount() - 1);
    P.Column = std::min(P.Column, LineLength(P.Line));
    return P;
  };
  FAnchor = clamp(Anchor);
  FCaret = clamp(Caret);
  viewport()->update();
}

void TLogView::SelectAll() {
  Flush();
  if (FLayout.LineCount() == 0) return SetSelection({}, {});
  const std::uint64_t last = FLayout.LineCount() - 1;
  SetSelection({0, 0}, {last, kNoEnd});
}

QString TLogView::SelectedText() const {
  const TTextPos from = std::min(FAnchor, FCaret), to = std::max(FAnchor, FCaret);
  QString out;
  if (from == to) return out;
  for (std::uint64_t line = from.Line; line <= to.Line && line < FLayout.LineCount(); ++line) {
    const TLinePlace place = FLayout.Place(line);
    TRecordEntry e;
    if (!FRecord.Entry(place.Entry, e)) break;
    out += LineSlice(place, e, line == from.Line ? from.Column : 0, line == to.Line ? to.Column : kNoEnd);
    if (line == to.Line) break;
    // A wrapped text body is one line of the log: no line end where it only goes on below.
    const bool wraps = place.Kind == lkBody && e.Mode == emText && FLayout.WrapColumns() > 0 &&
                       place.BodyLine + 1 < FLayout.BodyLines(e);
    if (!wraps) out += u'\n';
  }
  return out;
}

QString TLogView::AllText() const {
  // The text itself is TLogText's, which the saved log text shares.
  TLogText text;
  std::string out, body;
  TRecordEntry e;
  for (std::uint64_t k = 0; k < FLayout.VisibleCount(); ++k) {
    const std::uint64_t index = FLayout.EntryAt(k);
    if (!FRecord.Entry(index, e)) break;
    ++FLinesFormatted;
    body.clear();
    const bool kept = e.BodyKept && FRecord.ReadBody(index, 0, e.BodyLength, body) && body.size() == e.BodyLength;
    FBodyBytesRead += body.size();
    text.Append(e, FRecord.TitleText(e.Title), kept ? &body : nullptr, out);
  }
  return QString::fromUtf8(out);
}

void TLogView::SetCaretFromMouse(QPoint Point, bool Extend) {
  const TTextPos pos = PosAt(Point);
  SetSelection(Extend ? FAnchor : pos, pos);
}

void TLogView::mousePressEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(Event);
  setFocus(Qt::MouseFocusReason);
  SetCaretFromMouse(Event->position().toPoint(), Event->modifiers() & Qt::ShiftModifier);
  FDragging = true;
}

void TLogView::mouseMoveEvent(QMouseEvent* Event) {
  if (!FDragging || !(Event->buttons() & Qt::LeftButton)) return QAbstractScrollArea::mouseMoveEvent(Event);
  const QPoint at = Event->position().toPoint();
  // Dragging past the top or the bottom edge scrolls a line at a time.
  if (at.y() < 0 && FTopLine > 0) SetTopLine(FTopLine - 1);
  if (at.y() >= viewport()->height()) SetTopLine(FTopLine + 1);
  SetCaretFromMouse(at, true);
}

void TLogView::mouseReleaseEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) return QAbstractScrollArea::mouseReleaseEvent(Event);
  FDragging = false;
  Event->accept();
}

void TLogView::mouseDoubleClickEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) return QAbstractScrollArea::mouseDoubleClickEvent(Event);
  const TTextPos at = PosAt(Event->position().toPoint());
  const QString text = LineText(at.Line);
  auto from = static_cast<qsizetype>(at.Column);
  if (from >= text.size() || !IsWordChar(text[from])) {
    // Just after a word selects that word; on anything else, the character itself.
    if (from > 0 && from <= text.size() && IsWordChar(text[from - 1])) --from;
    else return SetSelection(at, {at.Line, std::min<std::uint64_t>(at.Column + 1, static_cast<std::uint64_t>(text.size()))});
  }
  qsizetype to = from;
  while (from > 0 && IsWordChar(text[from - 1])) --from;
  while (to < text.size() && IsWordChar(text[to])) ++to;
  SetSelection({at.Line, static_cast<std::uint64_t>(from)}, {at.Line, static_cast<std::uint64_t>(to)});
  FDragging = false;
}

void TLogView::keyPressEvent(QKeyEvent* Event) {
  if (Event == QKeySequence::Copy) {
    if (HasSelection()) platform::gui::SetClipboardText(SelectedText());
  } else if (Event == QKeySequence::SelectAll) {
    SelectAll();
  } else if (Event == QKeySequence::MoveToStartOfDocument) {
    SetTopLine(0);
  } else if (Event == QKeySequence::MoveToEndOfDocument) {
    ScrollToEnd();
  } else {
    return QAbstractScrollArea::keyPressEvent(Event);
  }
  Event->accept();
}

// ---- search highlights ----

void TLogView::SetHighlights(std::vector<THighlight> Highlights) {
  FHighlights.clear();
  for (THighlight& h : Highlights) FHighlights[h.Entry].push_back(h);
  viewport()->update();
}

void TLogView::SetHighlightSource(THighlightSource Source) {
  FHighlightSource = std::move(Source);
  viewport()->update();
}

void TLogView::ScrollToHighlight(const THighlight& Highlight) {
  Flush();
  const std::uint64_t k = FLayout.VisibleOf(Highlight.Entry);
  TRecordEntry e;
  if (k >= FLayout.VisibleCount() || FLayout.EntryAt(k) != Highlight.Entry || !FRecord.Entry(Highlight.Entry, e)) return;
  const std::uint64_t from = std::min(Highlight.From, e.BodyLength);
  std::uint64_t bodyLine = 0, column = 0;
  if (e.Mode == emHex) {
    bodyLine = from / kHexBytesPerLine;
    column = 5 + 3 * (from % kHexBytesPerLine);
  } else if (FLayout.WrapColumns() > 0) {
    bodyLine = from / FLayout.WrapColumns();
    column = from % FLayout.WrapColumns();
  } else {
    column = from;
  }
  const std::uint64_t line = FLayout.HeaderLine(k) + 1 + std::min(bodyLine, FLayout.BodyLines(e) - (FLayout.BodyLines(e) > 0));
  if (line < FTopLine || line >= FTopLine + PageLines()) SetTopLine(line > PageLines() / 2 ? line - PageLines() / 2 : 0);
  QScrollBar* h = horizontalScrollBar();
  const std::uint64_t x = column * static_cast<std::uint64_t>(FCharWidth);
  const auto shown = static_cast<std::uint64_t>(h->value());
  if (x < shown || x + 2 * static_cast<std::uint64_t>(FCharWidth) > shown + static_cast<std::uint64_t>(viewport()->width()))
    h->setValue(static_cast<int>(std::min<std::uint64_t>(x > static_cast<std::uint64_t>(viewport()->width() / 3) ? x - viewport()->width() / 3 : 0,
                                                         static_cast<std::uint64_t>(h->maximum()))));
}
