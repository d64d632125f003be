// The log view over the traffic record: the lines it shows against an entry-by-entry layout, wrap,
// selection and copying as a user does them, following the newest entry or staying put, very long
// lines, and that painting formats only what is in sight however large the record is.
#include <gtest/gtest.h>

#include <QAction>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QtTestApp.h"
#include "record/AnsiText.h"
#include "record/DateTimeText.h"
#include "record/LogFormat.h"
#include "log/uLog.h"
#include "log/uLogView.h"
#include "platform/gui/Clipboard.h"

namespace {

constexpr std::int64_t kBaseUs = 1700000000000000;  // a fixed moment; entries one millisecond apart

QString Header(const TTrafficRecord& Record, const TRecordEntry& E) {
  // The text has whole seconds: one formatting serves every entry of the same second.
  static std::int64_t second = -1;
  static QString text;
  if (E.TimeUs / 1000000 != second) {
    second = E.TimeUs / 1000000;
    text = DateTimeText(QDateTime::fromMSecsSinceEpoch(E.TimeUs / 1000));
  }
  return text + u' ' + AnsiText(PrintableText(Record.TitleText(E.Title)));
}

// The lines of the record as the log lays them out, one entry after another: an empty
// line before an entry unless the text so far is empty or ends in an empty line.
QStringList EntryByEntry(const TTrafficRecord& Record) {
  QStringList lines;
  TRecordEntry e;
  for (std::uint64_t i = 0; Record.Entry(i, e); ++i) {
    if (!lines.isEmpty() && !lines.back().isEmpty()) lines << QString();
    lines << Header(Record, e);
    std::string body;
    Record.ReadBody(i, 0, e.BodyLength, body);
    if (e.Mode == emHex) {
      for (const std::string& line : HexDumpLines(body)) lines << AnsiText(line);
    } else {
      lines << AnsiText(PrintableText(body));
    }
  }
  return lines;
}

std::string Bytes(std::size_t Length, unsigned Seed) {
  std::string s(Length, '\0');
  for (std::size_t i = 0; i < Length; ++i) s[i] = static_cast<char>((i * 31 + Seed * 7) & 0xFF);
  return s;
}

std::string Letters(std::size_t Length) {
  std::string s(Length, ' ');
  for (std::size_t i = 0; i < Length; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

class LogView : public ::testing::Test {
protected:
  void SetUp() override {
    View = std::make_unique<TLogView>(Record);
    View->resize(400, 300);
  }
  void TearDown() override { View.reset(); }

  void Add(const std::string& Title, TEntryMode Mode, const std::string& Body, TColor Color = 0) {
    Record.Add(Title, Color, Mode, TEntrySource{}, Body, kBaseUs + static_cast<std::int64_t>(Record.Count()) * 1000);
  }

  QStringList Lines() {
    View->Flush();
    QStringList lines;
    for (std::uint64_t i = 0; i < View->LineCount(); ++i) lines << View->LineText(i);
    return lines;
  }

  void Show() {
    View->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(View.get()));
    View->Flush();
  }

  // The point of the viewport where a place is, with the view scrolled to the top left.
  QPoint At(std::uint64_t Line, std::uint64_t Column) const {
    return QPoint(static_cast<int>(Column) * View->CharWidth(),
                  static_cast<int>(Line - View->TopLine()) * View->LineHeight() + View->LineHeight() / 2);
  }

  std::uint64_t Columns() const { return static_cast<std::uint64_t>(View->viewport()->width() / View->CharWidth()); }

  TTrafficRecord Record;
  std::unique_ptr<TLogView> View;
};

TEST_F(LogView, LinesAtTheTopMiddleAndEndOfALargeRecordAreThoseOfTheEntryByEntryLayout) {
  const char* titles[] = {"From Local", "From Remote", "Connection Opened", "Connection\r\nClosed"};
  for (unsigned i = 0; i < 100000; ++i) {
    const TEntryMode mode = i % 3 == 1 ? emHex : emText;
    const std::size_t length = i % 11 == 0 ? 0 : (i * 7) % 45;  // some empty bodies in both modes
    Add(titles[i % 4], mode, Bytes(length, i), i % 5);
  }
  const QStringList expected = EntryByEntry(Record);
  View->Flush();
  ASSERT_EQ(View->LineCount(), static_cast<std::uint64_t>(expected.size()));
  const qsizetype n = expected.size();
  const auto shown = [&](qsizetype Line) { return View->LineText(static_cast<std::uint64_t>(Line)); };
  for (qsizetype from : {qsizetype{0}, n / 2 - 150, n - 300})
    for (qsizetype i = from; i < from + 300; ++i) ASSERT_EQ(shown(i), expected[i]) << "line " << i;
  for (qsizetype i = 0; i < n; i += 97) ASSERT_EQ(shown(i), expected[i]) << "line " << i;
  // Each line in the colour of its entry: the last entry's colour on the last line.
  TRecordEntry last;
  ASSERT_TRUE(Record.Entry(Record.Count() - 1, last));
  EXPECT_EQ(View->LineColor(static_cast<std::uint64_t>(n - 1)), QColor(static_cast<int>(last.Color), 0, 0));
}

TEST_F(LogView, WrapCutsTextBodiesAtTheViewportWidthInWholeCharactersAndFollowsResizes) {
  Show();
  const std::uint64_t w = Columns();
  ASSERT_GT(w, 10u);
  const std::string longText = Letters(2 * w + w / 2);
  Add("Long", emText, longText);
  Add("Exact", emText, Letters(w));
  Add("Empty", emText, "");
  Add("Hex", emHex, Bytes(40, 1));
  const QStringList unwrapped = Lines();
  ASSERT_EQ(unwrapped.size(), 12);  // 2 + sep + 2 + sep + 2 + (no sep) 1 + 3

  View->SetWordWrap(true);
  QStringList lines = Lines();
  ASSERT_EQ(lines.size(), 14);
  EXPECT_EQ(lines[1], QString::fromLatin1(longText.substr(0, w)));
  EXPECT_EQ(lines[2], QString::fromLatin1(longText.substr(w, w)));
  EXPECT_EQ(lines[3], QString::fromLatin1(longText.substr(2 * w)));
  EXPECT_EQ(lines[6], QString::fromLatin1(Letters(w)));  // exactly the width: one line
  EXPECT_EQ(lines[9], QString());  // an empty body is still one line
  EXPECT_EQ(lines.mid(10), unwrapped.mid(8)) << "headers and hex lines are never cut";

  // Narrower: the layout is worked out again at the new width.
  View->resize(View->width() - static_cast<int>(w / 2) * View->CharWidth(), View->height());
  const std::uint64_t narrow = Columns();
  ASSERT_LT(narrow, w);
  lines = Lines();
  const std::uint64_t cut = (longText.size() + narrow - 1) / narrow;
  ASSERT_EQ(static_cast<std::uint64_t>(lines.size()), 1 + cut + 1 + 1 + 2 + 1 + 2 + 1 + 3);
  for (std::uint64_t j = 0; j < cut; ++j)
    EXPECT_EQ(lines[static_cast<qsizetype>(1 + j)], QString::fromLatin1(longText.substr(j * narrow, narrow)));

  View->SetWordWrap(false);
  EXPECT_EQ(Lines(), unwrapped);
}

TEST_F(LogView, SelectionByDragShiftClickDoubleClickAndSelectAllCopiesTheTextAsShown) {
  Add("First", emText, "alpha beta_gamma delta");
  Add("Second", emHex, "0123456789ABCDEFxyz");
  Add("Third", emText, "end");
  Show();
  const QStringList lines = Lines();
  ASSERT_EQ(lines.size(), 9);
  QWidget* port = View->viewport();

  // Drag from the middle of the first body to the middle of the first hex line.
  QTest::mousePress(port, Qt::LeftButton, {}, At(1, 6));
  QTest::mouseMove(port, At(4, 10));
  QTest::mouseRelease(port, Qt::LeftButton, {}, At(4, 10));
  const QString dragged = lines[1].mid(6) + u'\n' + u'\n' + lines[3] + u'\n' + lines[4].left(10);
  EXPECT_EQ(View->SelectedText(), dragged);
  platform::gui::SetClipboardText(QString());
  QTest::keyClick(View.get(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(platform::gui::ClipboardText(), dragged);

  // Shift-click moves the end, keeping where the drag began.
  QTest::mouseClick(port, Qt::LeftButton, Qt::ShiftModifier, At(1, 11));
  EXPECT_EQ(View->SelectedText(), QStringLiteral("beta_"));

  // A double-click takes the whole word, underscores and digits included.
  QTest::mouseDClick(port, Qt::LeftButton, {}, At(1, 12));
  EXPECT_EQ(View->SelectedText(), QStringLiteral("beta_gamma"));

  QTest::keyClick(View.get(), Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(View.get(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(platform::gui::ClipboardText(), lines.join(u'\n'));
  EXPECT_EQ(platform::gui::ClipboardText(), View->AllText());
}

TEST_F(LogView, ASelectionAcrossAWrappedBodyCopiesItAsOneLine) {
  Show();
  const std::uint64_t w = Columns();
  const std::string body = Letters(3 * w);
  Add("Wide", emText, body);
  Add("Next", emText, "x");
  View->SetWordWrap(true);
  const QStringList lines = Lines();
  ASSERT_EQ(lines.size(), 7);
  View->SetSelection({0, 0}, {6, 1});
  EXPECT_EQ(View->SelectedText(), lines[0] + u'\n' + QString::fromLatin1(body) + u'\n' + u'\n' + lines[5] + QStringLiteral("\nx"));
}

TEST_F(LogView, FollowingScrollsToTheNewestLineNeverSidewaysAndStayingPutKeepsThePlace) {
  Show();
  QScrollBar* v = View->verticalScrollBar();
  QScrollBar* h = View->horizontalScrollBar();
  for (int i = 0; i < 200; ++i) Add("Fill", emText, "line " + std::to_string(i));
  View->Flush();
  EXPECT_EQ(v->value(), v->maximum());
  EXPECT_GT(v->maximum(), 0);
  EXPECT_EQ(View->TopLine() + View->PageLines(), View->LineCount());

  // A 16 KiB chunk is one line: the horizontal range reaches its end.
  const std::string chunk = Letters(16 << 10);
  Add("From Remote", emText, chunk);
  View->Flush();
  EXPECT_EQ(View->Layout().LongestLine(), chunk.size());
  EXPECT_EQ(h->maximum(), static_cast<int>(chunk.size()) * View->CharWidth() - View->viewport()->width());
  EXPECT_EQ(h->value(), 0) << "following shows the start of the lines";
  h->setValue(h->maximum());
  View->SetSelection({View->LineCount() - 1, chunk.size() - 3}, {View->LineCount() - 1, chunk.size()});
  EXPECT_EQ(View->SelectedText(), QString::fromLatin1(chunk.substr(chunk.size() - 3)));
  const int sideways = 1000;
  h->setValue(sideways);  // the user's own horizontal place survives new entries
  Add("More", emText, "x");
  View->Flush();
  EXPECT_EQ(h->value(), sideways);
  EXPECT_EQ(v->value(), v->maximum());

  // Staying put: the place the user scrolled to holds while the scroll bar grows.
  View->SetFollowing(false);
  v->setValue(10);
  const int maximum = v->maximum();
  for (int i = 0; i < 50; ++i) Add("Later", emText, "y");
  View->Flush();
  EXPECT_GT(v->maximum(), maximum);
  EXPECT_EQ(v->value(), 10);
  EXPECT_EQ(View->TopLine(), 10u);
  View->SetFollowing(true);
  EXPECT_EQ(View->TopLine(), 10u) << "following again takes effect with the next entry";
  Add("Now", emText, "z");
  View->Flush();
  EXPECT_EQ(v->value(), v->maximum());
}

TEST_F(LogView, PaintingALongLineReadsOnlyTheColumnsInSight) {
  const std::string chunk = Bytes(1 << 20, 3);  // a megabyte on one line
  Add("Held", emText, chunk);
  Show();
  QScrollBar* h = View->horizontalScrollBar();
  h->setValue(h->maximum() / 2);
  const std::uint64_t before = View->BodyBytesRead();
  (void)View->viewport()->grab();
  const std::uint64_t read = View->BodyBytesRead() - before;
  EXPECT_GT(read, 0u);
  EXPECT_LE(read, Columns() + 2);
  // And what it shows there is the body at that column.
  const std::uint64_t column = static_cast<std::uint64_t>(h->value() / View->CharWidth());
  View->SetSelection({1, column}, {1, column + 20});
  EXPECT_EQ(View->SelectedText(), AnsiText(PrintableText(chunk.substr(column, 20))));
}

TEST_F(LogView, APaintOfAMillionEntryRecordFormatsOnlyTheLinesInSight) {
  for (unsigned i = 0; i < 1000000; ++i) Add(i % 2 ? "From Local" : "From Remote", i % 4 == 3 ? emHex : emText, Bytes(i % 24, i));
  const std::uint64_t unpainted = View->LinesFormatted();
  View->Flush();
  EXPECT_EQ(View->LinesFormatted(), unpainted) << "taking up the record formats nothing";
  Show();
  const std::uint64_t middle = View->LineCount() / 2;
  View->ScrollToLine(middle);
  const std::uint64_t before = View->LinesFormatted();
  const QImage image = View->viewport()->grab().toImage();
  EXPECT_FALSE(image.isNull());
  const std::uint64_t formatted = View->LinesFormatted() - before;
  EXPECT_GE(formatted, View->PageLines());
  EXPECT_LE(formatted, View->PageLines() + 1);

  // The lines there are those of the entries there.
  const TLinePlace place = View->Layout().Place(middle);
  const std::uint64_t header = View->Layout().HeaderLine(place.Visible);
  TRecordEntry e;
  ASSERT_TRUE(Record.Entry(place.Entry, e));
  EXPECT_EQ(View->LineText(header), Header(Record, e));
  std::string body;
  Record.ReadBody(place.Entry, 0, e.BodyLength, body);
  if (e.Mode == emText) {
    EXPECT_EQ(View->LineText(header + 1), AnsiText(PrintableText(body)));
  } else if (!body.empty()) {
    EXPECT_EQ(View->LineText(header + 1), AnsiText(HexDumpLines(body)[0]));
  }
}

TEST_F(LogView, AFilterKeepsTheEntryInSightAndLaysOutOnlyItsEntries) {
  for (int i = 0; i < 300; ++i) Add(i % 2 ? "Odd" : "Even", i % 3 ? emText : emHex, i % 5 ? "body" : "");
  Show();
  View->SetFollowing(false);
  const std::uint64_t entry = 151;
  View->ScrollToLine(View->Layout().HeaderLine(entry));
  std::vector<std::uint64_t> odd;
  for (std::uint64_t i = 1; i < 300; i += 2) odd.push_back(i);
  View->SetVisibleEntries(odd);
  ASSERT_EQ(View->Layout().VisibleCount(), odd.size());
  EXPECT_EQ(View->Layout().Place(View->TopLine()).Entry, entry);
  EXPECT_EQ(View->Layout().Place(View->TopLine()).Kind, lkHeader);

  // The filtered lines are the entry-by-entry layout of a record that holds only those entries.
  TTrafficRecord only;
  TRecordEntry e;
  for (std::uint64_t i : odd) {
    ASSERT_TRUE(Record.Entry(i, e));
    std::string body;
    Record.ReadBody(i, 0, e.BodyLength, body);
    only.Add(Record.TitleText(e.Title), e.Color, e.Mode, TEntrySource{}, body, e.TimeUs);
  }
  EXPECT_EQ(Lines(), EntryByEntry(only));

  View->SetVisibleEntries(std::nullopt);
  EXPECT_EQ(View->Layout().Place(View->TopLine()).Entry, entry);
  EXPECT_EQ(Lines(), EntryByEntry(Record));
}

TEST_F(LogView, HighlightedBytesAreDrawnAndTheCurrentOneIsScrolledIntoSight) {
  for (int i = 0; i < 500; ++i) Add("Fill", emText, "filler");
  const std::string wide = Letters(2000);
  Add("Wide", emText, wide);
  Add("Dump", emHex, Bytes(64, 9));
  Show();
  View->SetFollowing(false);
  View->ScrollToLine(0);
  const THighlight far{500, 1500, 4, true};
  View->SetHighlights({far, THighlight{501, 20, 2, false}});
  View->ScrollToHighlight(far);
  const std::uint64_t line = View->Layout().HeaderLine(500) + 1;
  ASSERT_GE(line, View->TopLine());
  ASSERT_LT(line, View->TopLine() + View->PageLines());
  const int x = 1500 * View->CharWidth() - View->horizontalScrollBar()->value();
  ASSERT_GE(x, 0);
  ASSERT_LT(x, View->viewport()->width());
  // The highlight colour behind the bytes, not the background.
  const QImage image = View->viewport()->grab().toImage();
  const int y = static_cast<int>(line - View->TopLine()) * View->LineHeight();
  const QColor behind = image.pixelColor(x, y);
  EXPECT_NE(behind, View->palette().color(QPalette::Base));
  EXPECT_EQ(behind, image.pixelColor(x + 4 * View->CharWidth() - 1, y));
  EXPECT_EQ(image.pixelColor(x + 5 * View->CharWidth(), y), View->palette().color(QPalette::Base));
  EXPECT_EQ(image.pixelColor(x - View->CharWidth(), y), View->palette().color(QPalette::Base));
}

// ---- highlights against the glyphs they stand behind ----

// A face and size for the view, and how many device pixels a pixel of it takes when painted.
struct TFaceCase {
  const char* Name;
  const char* Family;  // null: the view's own
  int PointSize;
  bool FixedPitch;
  qreal Zoom;
};

void PrintTo(const TFaceCase& Case, std::ostream* Out) { *Out << Case.Name; }

class LogViewHighlight : public LogView, public ::testing::WithParamInterface<TFaceCase> {
protected:
  // The viewport as painted on a device of Zoom device pixels a pixel.
  QImage Paint() const {
    const qreal zoom = GetParam().Zoom;
    QImage image(View->viewport()->size() * zoom, QImage::Format_ARGB32);
    image.setDevicePixelRatio(zoom);
    image.fill(Qt::white);
    View->viewport()->render(&image);
    return image;
  }
};

// A highlighted run of columns on a line, and the view scrolled sideways by Scroll pixels.
struct TPainted {
  std::uint64_t Line;
  std::uint64_t From, To;  // columns
  int Scroll;
};

TEST_P(LogViewHighlight, CoversExactlyTheGlyphsOfItsBytesAtAnyColumnAndScroll) {
  const TFaceCase& face = GetParam();
  if (face.Family != nullptr) {
    QFont font{QString::fromLatin1(face.Family)};
    font.setPointSize(face.PointSize);
    font.setFixedPitch(face.FixedPitch);
    View->setFont(font);
    ASSERT_EQ(QFontInfo(View->font()).family(), QString::fromLatin1(face.Family)) << "the face is not installed";
  }
  // A request line at column 0, a header inside a request at column 30, a match far out on a long
  // line, and hex bytes within one dump line and across two. Every match has a blank on each side.
  Add("From Local", emText, "GET /nope HTTP/1.1\r\nHost: example\r\n\r\n");
  Add("From Local", emText, "GET /search HTTP/1.1\r\nX-Find: needle \r\n\r\n");
  Add("From Remote", emText, Letters(1993) + " needle " + Letters(1000));
  Add("From Remote", emHex, "ab needle xyz  pins tail");
  View->resize(1100, 400);
  Show();
  View->SetFollowing(false);
  View->SetHighlights({{0, 0, 9, false}, {1, 30, 6, true}, {2, 1994, 6, false}, {3, 3, 6, false}, {3, 15, 4, true}});
  const int w = View->CharWidth();
  const std::uint64_t hex0 = View->Layout().HeaderLine(3) + 1;
  const TPainted cases[] = {
      {1, 0, 9, 0},
      {4, 30, 36, 0},
      {4, 30, 36, 3 * w + w / 2},  // scrolled by part of a column
      {7, 1994, 2000, 1990 * w - 5},
      {hex0, 5 + 3 * 3, 5 + 3 * 8 + 2, 0},  // "6E 65 65 64 6C 65"
      {hex0, 53 + 3, 53 + 9, 0},            // "needle"
      {hex0, 5 + 3 * 15, 5 + 3 * 15 + 2, 0},  // "70", the last byte of the line
      {hex0, 53 + 15, 53 + 16, 0},
      {hex0 + 1, 5, 5 + 3 * 2 + 2, 0},  // "69 6E 73"
      {hex0 + 1, 53, 53 + 3, 0},
  };
  const qreal zoom = face.Zoom;
  const QColor found(255, 255, 128), current(255, 160, 64);
  for (const TPainted& c : cases) {
    SCOPED_TRACE(::testing::Message() << "line " << c.Line << " columns " << c.From << "-" << c.To << " scrolled " << c.Scroll);
    View->horizontalScrollBar()->setValue(c.Scroll);
    ASSERT_EQ(View->horizontalScrollBar()->value(), c.Scroll);
    const QImage image = Paint();
    const QString text = View->LineText(c.Line);
    ASSERT_GE(static_cast<std::uint64_t>(text.size()), c.To);
    // Where the font puts the glyphs of those columns: for a fixed-pitch face, the advance of the
    // text before them; a face of other widths is drawn a character to a column.
    const QFontMetricsF metrics(View->font());
    const auto glyphX = [&](std::uint64_t Column) {
      const qreal x = face.FixedPitch ? metrics.horizontalAdvance(text.left(static_cast<qsizetype>(Column)))
                                      : static_cast<qreal>(Column * static_cast<std::uint64_t>(w));
      return (x - c.Scroll) * zoom;
    };
    const qreal left = glyphX(c.From), right = glyphX(c.To);

    // The highlighted device columns of the line's band: one run, from the first glyph's start to
    // the last one's end.
    const int top = static_cast<int>(std::lround(static_cast<qreal>(c.Line - View->TopLine()) * View->LineHeight() * zoom));
    const int bottom = static_cast<int>(std::lround(static_cast<qreal>(c.Line + 1 - View->TopLine()) * View->LineHeight() * zoom));
    const auto column = [&](int X, const std::function<bool(QColor)>& Is) {
      for (int y = top; y < bottom; ++y)
        if (Is(image.pixelColor(X, y))) return true;
      return false;
    };
    const auto highlit = [&](QColor p) { return p == found || p == current; };
    const auto dark = [](QColor p) { return qGray(p.rgb()) < 128; };
    const int from = std::max(0, static_cast<int>(std::floor(left)) - 3 * w * static_cast<int>(zoom));
    const int to = std::min(image.width(), static_cast<int>(std::ceil(right)) + 3 * w * static_cast<int>(zoom));
    std::vector<std::pair<int, int>> runs;
    for (int x = from; x < to; ++x) {
      if (!column(x, highlit)) continue;
      if (runs.empty() || runs.back().second != x) runs.emplace_back(x, x);
      runs.back().second = x + 1;
    }
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_NEAR(runs[0].first, left, 0.5);
    EXPECT_NEAR(runs[0].second, right, 0.5);

    // The ink agrees: the first and the last glyph have theirs inside the highlight, and the blank
    // column on either side of it none.
    const int cell = static_cast<int>(std::lround(w * zoom));
    bool inkFirst = false, inkLast = false, inkOutside = false;
    for (int x = runs[0].first - cell; x < runs[0].second + cell; ++x) {
      if (x < 0 || x >= image.width() || !column(x, dark)) continue;
      inkFirst |= x >= runs[0].first && x < runs[0].first + cell;
      inkLast |= x >= runs[0].second - cell && x < runs[0].second;
      inkOutside |= x < runs[0].first || x >= runs[0].second;
    }
    EXPECT_TRUE(inkFirst);
    EXPECT_TRUE(inkLast);
    EXPECT_FALSE(inkOutside);
  }
}

INSTANTIATE_TEST_SUITE_P(Faces, LogViewHighlight,
                         ::testing::Values(TFaceCase{"TheViewsOwn", nullptr, 0, true, 1.0},
                                           TFaceCase{"DejaVuSansMono11", "DejaVu Sans Mono", 11, true, 1.0},
                                           TFaceCase{"LiberationMono14", "Liberation Mono", 14, true, 1.0},
                                           TFaceCase{"TheViewsOwnZoomed2x", nullptr, 0, true, 2.0},
                                           TFaceCase{"ProportionalDejaVuSans10", "DejaVu Sans", 10, false, 1.0}),
                         [](const ::testing::TestParamInfo<TFaceCase>& Info) { return std::string(Info.param.Name); });

// What "&Copy" gives from a QPlainTextEdit that holds the log: each entry inserted on its own, the
// whole text taken raw with paragraph separators as line ends.
QString CopiedTheOldWay(const TTrafficRecord& Record) {
  QPlainTextEdit edit;
  QTextDocument* doc = edit.document();
  TRecordEntry e;
  for (std::uint64_t i = 0; Record.Entry(i, e); ++i) {
    std::string body;
    Record.ReadBody(i, 0, e.BodyLength, body);
    const bool empty = doc->isEmpty();
    QStringList lines;
    if (!empty && !doc->lastBlock().text().isEmpty()) lines << QString();
    lines << Header(Record, e);
    if (e.Mode == emHex) {
      for (const std::string& line : HexDumpLines(body)) lines << AnsiText(line);
    } else {
      lines << AnsiText(PrintableText(body));
    }
    QTextCursor end(doc);
    end.movePosition(QTextCursor::End);
    end.insertText((empty ? QString() : QStringLiteral("\n")) + lines.join(u'\n'));
  }
  QString text = doc->toRawText();
  text.replace(QChar::ParagraphSeparator, u'\n');
  return text;
}

TEST(LogWindowCopy, CopiesByteForByteWhatTheTextViewCopied) {
  TLog log;
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<char>(i);
  const struct {
    bool Hex;
    std::string Body;
  } entries[] = {
      {false, "GET / HTTP/1.0\r\nHost: x\r\n\r\n"},
      {false, ""},
      {true, ""},
      {false, ""},
      {true, "Hello, relay one\r\nline two\r\n"},
      {false, all},
      {true, all},
      {false, Letters(16 << 10)},
      {true, Bytes(70000, 5)},  // past 65536: the labels start again at 0000
      {false, "no\xA0" "break \x80\x81\x9F\xFF"},
      {true, ""},
      {false, "last"},
  };
  for (const auto& e : entries) {
    if (log.Debugstring1->isChecked() != e.Hex) log.Debugstring1->trigger();
    log.SetEntryTitle(e.Hex ? "From Remote" : "From Local");
    log.AddEntry(e.Body);
  }
  const QString expected = CopiedTheOldWay(log.Record());
  platform::gui::SetClipboardText(QString());
  log.Copy1->trigger();
  const QString copied = platform::gui::ClipboardText();
  EXPECT_EQ(copied.size(), expected.size());
  EXPECT_TRUE(copied == expected);
  // Word wrap changes what is shown, not what "&Copy" copies.
  log.Wordwrap1->trigger();
  log.Copy1->trigger();
  EXPECT_TRUE(platform::gui::ClipboardText() == expected);
}

TEST(LogWindowRecord, EntriesKeepTheirSessionAndModeAndALossIsReportedOnceAsAnEntry) {
  // A spill directory that cannot exist: once the bodies pass the memory budget, the oldest ones
  // cannot be moved out and are lost.
  const char* saved = std::getenv("TMPDIR");
  const std::string previous = saved ? saved : "";
  ::setenv("TMPDIR", "/nonexistent/vantrel-log-test", 1);
  TLog log;
  if (saved) ::setenv("TMPDIR", previous.c_str(), 1);
  else ::unsetenv("TMPDIR");

  log.SetEntryTitle("From Local");
  log.SetEntryColor(0x00008000);
  log.AddEntry("abc", TEntrySource{7, edFromLocal, 100});
  log.Debugstring1->trigger();
  log.AddEntry("def");
  TRecordEntry e;
  ASSERT_TRUE(log.Record().Entry(0, e));
  EXPECT_EQ(e.Session, 7u);
  EXPECT_EQ(e.Direction, edFromLocal);
  EXPECT_EQ(e.Offset, 100u);
  EXPECT_EQ(e.Mode, emText);
  EXPECT_EQ(e.Color, 0x00008000u);
  ASSERT_TRUE(log.Record().Entry(1, e));
  EXPECT_EQ(e.Session, 0u);
  EXPECT_EQ(e.Mode, emHex);

  log.Debugstring1->trigger();
  const std::string chunk(16 << 20, 'q');
  const std::uint64_t chunks = TTrafficRecord::kDefaultMemoryBudget / chunk.size() + 3;
  for (std::uint64_t i = 0; i < chunks; ++i) log.AddEntry(chunk);
  std::vector<std::string> titles;
  for (std::uint64_t i = 0; log.Record().Entry(i, e); ++i) titles.push_back(log.Record().TitleText(e.Title));
  ASSERT_EQ(std::count(titles.begin(), titles.end(), "Error: Data not kept"), 1) << "one report for the run";
  const auto report = std::find(titles.begin(), titles.end(), "Error: Data not kept") - titles.begin();
  ASSERT_TRUE(log.Record().Entry(static_cast<std::uint64_t>(report), e));
  EXPECT_EQ(e.Color, clBlack);
  EXPECT_EQ(e.Mode, emText);
  std::string message;
  log.Record().ReadBody(static_cast<std::uint64_t>(report), 0, e.BodyLength, message);
  EXPECT_FALSE(message.empty());

  // A lost body keeps its lines and says so in each.
  log.LogWnd->Flush();
  ASSERT_TRUE(log.Record().Entry(2, e));
  ASSERT_FALSE(e.BodyKept);
  const std::uint64_t header = log.LogWnd->Layout().HeaderLine(2);
  EXPECT_EQ(log.LogWnd->LineText(header + 1), QStringLiteral("(not kept)"));
  EXPECT_EQ(log.LogWnd->LineText(header + 2), QString());
  EXPECT_TRUE(log.LogWnd->LineText(header + 3).endsWith(QStringLiteral(" From Local")));
}

}  // namespace
