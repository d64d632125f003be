// The log window under a long session, against the text view it replaced, in one run:
// - 1,000,000 entries through TLog::AddEntry with the window shown (Qt's offscreen platform), the
//   event loop run between batches as the program's loop would: the cost of an entry in the first
//   and in the last tenth of the run (a flat cost keeps the ratio near 1);
// - then jumps to the middle of the log, each painted into an image: the time from the jump to a
//   finished picture;
// - the peer: the same entries appended to a QPlainTextEdit, as a plain text widget takes them
//   (one insertion per entry, redrawing held back between ticks), fewer of them since its cost
//   grows with the text; the same figures where it has them.
// - the sessions list and the search bar over 1,000,000 entries of 100 sessions: selecting one
//   session in the list until the filtered view is painted (target: under 200 ms, the entry in
//   sight kept in sight), "Show all" back, and a search through the bar until its last match is
//   in, with the longest the event loop had to wait meanwhile (the windows must not freeze).
//   Peers: the record's filter alone, and the bodies read one by one and searched with memmem on
//   the GUI thread.
//
// Options after Google Benchmark's own: --entries=N (1000000), --peer_entries=N (50000).
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QAction>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "record/AnsiText.h"
#include "record/DateTimeText.h"
#include "record/LogFormat.h"
#include "log/uLog.h"
#include "log/uLogView.h"
#include "log/uSearch.h"
#include "log/uSessions.h"
#include "record/RecordFilter.h"

#include <QLineEdit>
#include <QTimer>

namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t gEntries = 1000000;
std::uint64_t gPeerEntries = 50000;
constexpr std::uint64_t kBatch = 1000;  // entries between two runs of the event loop

double Seconds(Clock::duration D) { return std::chrono::duration<double>(D).count(); }

// Entry i of the run: a relay's mix of short requests and answers, some empty, every fifth one a
// hex dump, now and then a full 16 KiB chunk.
struct TShape {
  const char* Title;
  bool Hex;
  std::size_t Length;
};

TShape ShapeOf(std::uint64_t I) {
  static const char* kTitles[] = {"From Local", "From Remote", "Connection Opened", "Connection Closed"};
  TShape s{kTitles[I % 4], I % 5 == 4, 0};
  if (I % 4 < 2) s.Length = I % 997 == 0 ? std::size_t{16} << 10 : static_cast<std::size_t>((I * 37) % 300);
  return s;
}

const std::string& Body() {
  static const std::string body = [] {
    std::string b(16 << 10, '\0');
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i % 13 == 12 ? '\n' : 'a' + i % 26);
    return b;
  }();
  return body;
}

void RunEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

struct TAddFigures {
  double FirstNsPerEntry = 0;
  double LastNsPerEntry = 0;
  double EventsSeconds = 0;  // in the event loop between the batches: catch-ups and paints
};

// Adds N entries through Add, running the event loop after every batch; the cost of an entry in
// the first and in the last tenth, the event loop's time left out.
template <typename TAdd>
TAddFigures AddEntries(std::uint64_t N, TAdd Add) {
  TAddFigures f;
  const std::uint64_t tenth = std::max<std::uint64_t>(N / 10, 1);
  Clock::duration first{}, last{}, events{};
  for (std::uint64_t i = 0; i < N;) {
    const std::uint64_t end = std::min(N, i + kBatch);
    const auto start = Clock::now();
    for (; i < end; ++i) {
      const TShape s = ShapeOf(i);
      Add(s, std::string_view(Body().data(), s.Length));
    }
    const auto added = Clock::now();
    // Batches are whole thousands, so each tenth of a run of whole thousands is whole batches.
    if (end <= tenth) first += added - start;
    if (end > N - tenth) last += added - start;
    RunEvents();
    events += Clock::now() - added;
  }
  f.FirstNsPerEntry = Seconds(first) * 1e9 / static_cast<double>(tenth);
  f.LastNsPerEntry = Seconds(last) * 1e9 / static_cast<double>(tenth);
  f.EventsSeconds = Seconds(events);
  return f;
}

// Median time of jumping to a line near the middle and painting the viewport into an image.
template <typename TJump>
double JumpAndPaintMs(QWidget* Viewport, TJump Jump) {
  std::vector<double> ms;
  QImage image(Viewport->size(), QImage::Format_ARGB32_Premultiplied);
  for (int i = 0; i < 21; ++i) {
    const auto start = Clock::now();
    Jump(i);
    QPainter painter(&image);
    Viewport->render(&painter);
    painter.end();
    ms.push_back(Seconds(Clock::now() - start) * 1e3);
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

struct TResult {
  bool Done = false;
  std::uint64_t Entries = 0;
  TAddFigures Add;
  double PaintMiddleMs = 0;
  std::uint64_t Lines = 0;
};
TResult gView, gPeer;

void BM_LogWindow_AddAndPaint(benchmark::State& State) {
  for (auto _ : State) {
    TLog log;
    log.show();
    RunEvents();
    const auto start = Clock::now();
    gView.Add = AddEntries(gEntries, [&](const TShape& S, std::string_view B) {
      if (log.Debugstring1->isChecked() != S.Hex) log.Debugstring1->setChecked(S.Hex);
      log.SetEntryTitle(S.Title);
      log.AddEntry(std::string(B));
    });
    State.SetIterationTime(Seconds(Clock::now() - start));
    log.LogWnd->Flush();
    RunEvents();
    log.Refresh1Click(nullptr);  // stay where the jumps put the view
    TLogView* view = log.LogWnd;
    const std::uint64_t lines = view->LineCount();
    gView.PaintMiddleMs =
        JumpAndPaintMs(view->viewport(), [&](int I) { view->ScrollToLine(lines / 2 + static_cast<std::uint64_t>(I) * 7919); });
    gView.Lines = lines;
    gView.Entries = gEntries;
    gView.Done = true;
    State.counters["first_ns_per_entry"] = gView.Add.FirstNsPerEntry;
    State.counters["last_ns_per_entry"] = gView.Add.LastNsPerEntry;
    State.counters["paint_middle_ms"] = gView.PaintMiddleMs;
  }
}

// The window's former way: every entry one insertion into the text view's document, redrawing
// held back and resumed once per tick of the event loop.
void BM_TextViewPeer_AddAndPaint(benchmark::State& State) {
  for (auto _ : State) {
    QPlainTextEdit edit;
    edit.setReadOnly(true);
    edit.setUndoRedoEnabled(false);
    edit.setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont font(QStringLiteral("Liberation Mono"));
    font.setStyleHint(QFont::Monospace);
    font.setPointSize(8);
    edit.setFont(font);
    edit.resize(518, 606);
    edit.show();
    RunEvents();
    QTextDocument* doc = edit.document();
    const auto start = Clock::now();
    gPeer.Add = AddEntries(gPeerEntries, [&](const TShape& S, std::string_view B) {
      edit.setUpdatesEnabled(false);
      const std::string body(B);
      const bool empty = doc->isEmpty();
      QStringList lines;
      if (!empty && !doc->lastBlock().text().isEmpty()) lines << QString();
      lines << NowText() + u' ' + QString::fromLatin1(S.Title);
      if (S.Hex) {
        for (const std::string& line : HexDumpLines(body)) lines << AnsiText(line);
      } else {
        lines << AnsiText(PrintableText(body));
      }
      QTextCursor end(doc);
      end.movePosition(QTextCursor::End);
      end.insertText((empty ? QString() : QStringLiteral("\n")) + lines.join(u'\n'));
      edit.moveCursor(QTextCursor::End);
      edit.ensureCursorVisible();
      edit.setUpdatesEnabled(true);
    });
    State.SetIterationTime(Seconds(Clock::now() - start));
    QScrollBar* v = edit.verticalScrollBar();
    gPeer.PaintMiddleMs = JumpAndPaintMs(edit.viewport(), [&](int I) { v->setValue(v->maximum() / 2 + I * 97); });
    gPeer.Lines = static_cast<std::uint64_t>(doc->blockCount());
    gPeer.Entries = gPeerEntries;
    gPeer.Done = true;
    State.counters["first_ns_per_entry"] = gPeer.Add.FirstNsPerEntry;
    State.counters["last_ns_per_entry"] = gPeer.Add.LastNsPerEntry;
    State.counters["paint_middle_ms"] = gPeer.PaintMiddleMs;
  }
}


struct TToolsResult {
  bool Done = false;
  std::uint64_t Entries = 0, Shown = 0;
  double FilterMs = 0, FilterPeerMs = 0, ShowAllMs = 0;
  bool KeptInSight = false;
  double SearchMs = 0, SearchPeerMs = 0, LongestWaitMs = 0;
  std::uint64_t SearchBytes = 0, Matches = 0, PeerMatches = 0;
};
TToolsResult gTools;

double PaintMs(QWidget* Viewport, Clock::time_point Start) {
  QImage image(Viewport->size(), QImage::Format_ARGB32_Premultiplied);
  QPainter painter(&image);
  Viewport->render(&painter);
  painter.end();
  return Seconds(Clock::now() - Start) * 1e3;
}

void BM_LogWindow_FilterAndSearch(benchmark::State& State) {
  constexpr std::uint64_t kSessions = 100;
  const char kNeedle[] = "Needle-7f";
  for (auto _ : State) {
    TLog log;
    log.show();
    RunEvents();
    std::uint64_t offsets[kSessions + 1][3] = {};
    for (std::uint64_t i = 0; i < gEntries; ++i) {
      // Sessions in runs of a few entries, as they interleave under load; a needle now and then.
      const std::uint64_t session = (i / 4 * 37) % kSessions + 1;
      const TShape shape = ShapeOf(i);
      const TEntryDirection way = shape.Title[5] == 'L' ? edFromLocal : shape.Title[5] == 'R' ? edFromRemote : edNone;
      std::string body(Body().data(), shape.Length);
      if (i % 9973 == 0 && body.size() > sizeof kNeedle) body.replace(1, sizeof kNeedle - 1, kNeedle);
      log.SetEntryColor(static_cast<TColor>(session * 0x030507));
      log.SetEntryTitle(shape.Title);
      log.AddEntry(body, TEntrySource{session, way, way == edNone ? 0 : offsets[session][way]});
      offsets[session][way] += body.size();
      if (i % kBatch == kBatch - 1) RunEvents();
    }
    log.LogWnd->Flush();
    log.Refresh1Click(nullptr);  // stay where the bench puts the view
    log.Sessions1->trigger();
    RunEvents();
    log.SessionsPanel->Flush();
    TLogView* view = log.LogWnd;
    const TTrafficRecord& record = log.Record();

    // The entry at the top: one of session 42, in the middle of the log.
    std::uint64_t middle = record.Count() / 2;
    TRecordEntry e;
    while (record.Entry(middle, e) && e.Session != 42) ++middle;
    view->ScrollToLine(view->Layout().HeaderLine(view->Layout().VisibleOf(middle)));
    RunEvents();
    auto start = Clock::now();
    log.SessionsPanel->SelectSessions({42});
    view->Flush();
    gTools.FilterMs = PaintMs(view->viewport(), start);
    gTools.KeptInSight = view->Layout().Place(view->TopLine()).Entry == middle;
    gTools.Shown = view->Layout().VisibleCount();
    TEntryFilter filter;
    filter.SetSessions({42});
    std::vector<std::uint64_t> kept;
    start = Clock::now();
    FilterEntries(record, filter, 0, record.Count(), kept);
    gTools.FilterPeerMs = Seconds(Clock::now() - start) * 1e3;
    start = Clock::now();
    log.SessionsPanel->ShowAllBtnClick();
    view->Flush();
    gTools.ShowAllMs = PaintMs(view->viewport(), start);

    // The search bar: from the pattern to the last match, the event loop run as the program runs it.
    log.Find1->trigger();
    log.SearchBar->SearchText->setText(QString::fromLatin1(kNeedle));
    // A timer that should tick every 10 ms tells how long the loop was kept from it.
    QTimer tick;
    auto last = Clock::now();
    double longest = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
      const auto now = Clock::now();
      longest = std::max(longest, Seconds(now - last) * 1e3 - 10);
      last = now;
    });
    start = Clock::now();
    log.SearchBar->FindNext();  // searches at once rather than when the typing pauses
    tick.start(10);
    last = Clock::now();
    while (log.SearchBar->Searching()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    gTools.SearchMs = Seconds(Clock::now() - start) * 1e3;
    tick.stop();
    gTools.LongestWaitMs = longest;
    gTools.Matches = log.SearchBar->MatchCount();
    gTools.SearchBytes = record.BodyBytes();
    // The peer: every body read and searched on this thread, no streams.
    start = Clock::now();
    std::string bytes;
    std::uint64_t found = 0;
    for (std::uint64_t i = 0; record.Entry(i, e); ++i) {
      bytes.clear();
      if (!record.ReadBody(i, 0, e.BodyLength, bytes)) continue;
      for (const char* p = bytes.data(); const void* hit = ::memmem(p, bytes.size() - static_cast<std::size_t>(p - bytes.data()), kNeedle, sizeof kNeedle - 1);
           p = static_cast<const char*>(hit) + sizeof kNeedle - 1)
        ++found;
    }
    gTools.SearchPeerMs = Seconds(Clock::now() - start) * 1e3;
    gTools.PeerMatches = found;
    gTools.Entries = record.Count();
    gTools.Done = true;
    State.SetIterationTime(gTools.FilterMs / 1e3);
    State.counters["filter_ms"] = gTools.FilterMs;
    State.counters["search_ms"] = gTools.SearchMs;
  }
}

BENCHMARK(BM_LogWindow_AddAndPaint)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextViewPeer_AddAndPaint)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LogWindow_FilterAndSearch)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void Print(const char* Name, const TResult& R) {
  if (!R.Done) return;
  std::printf("%-22s %9llu %10llu %12.0f %12.0f %8.2fx %10.1f %12.2f\n", Name, static_cast<unsigned long long>(R.Entries),
              static_cast<unsigned long long>(R.Lines), R.Add.FirstNsPerEntry, R.Add.LastNsPerEntry,
              R.Add.FirstNsPerEntry > 0 ? R.Add.LastNsPerEntry / R.Add.FirstNsPerEntry : 0.0, R.Add.EventsSeconds,
              R.PaintMiddleMs);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--entries=", 10) == 0) gEntries = std::strtoull(argv[i] + 10, nullptr, 10);
    else if (std::strncmp(argv[i], "--peer_entries=", 15) == 0) gPeerEntries = std::strtoull(argv[i] + 15, nullptr, 10);
    else rest.push_back(argv[i]);
  }
  int restCount = static_cast<int>(rest.size());
  QApplication app(restCount, rest.data());
  benchmark::Initialize(&restCount, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\nLog window: entries added with the window shown; cost of an entry in the first and the last tenth\n"
              "(event loop left out, its total shown apart); a jump to the middle painted into an image (median of 21).\n"
              "Targets: last <= 1.2x first; paint < 20 ms.\n\n");
  std::printf("%-22s %9s %10s %12s %12s %9s %10s %12s\n", "", "entries", "lines", "first ns/e", "last ns/e", "last/1st",
              "events s", "paint ms");
  Print("log window (record)", gView);
  Print("text view (peer)", gPeer);
  if (gTools.Done) {
    std::printf("\nSessions list and search over %llu entries of 100 sessions (targets: filter < 200 ms; search < 2 s/GiB,\n"
                "the event loop never kept waiting long).\n",
                static_cast<unsigned long long>(gTools.Entries));
    std::printf("  select one session, to the painted view: %8.1f ms  (%llu entries shown; entry in sight kept: %s)\n",
                gTools.FilterMs, static_cast<unsigned long long>(gTools.Shown), gTools.KeptInSight ? "yes" : "NO");
    std::printf("  peer: the record's filter alone:          %8.1f ms  (ratio %.2fx)\n", gTools.FilterPeerMs,
                gTools.FilterMs / gTools.FilterPeerMs);
    std::printf("  \"Show all\", to the painted view:          %8.1f ms\n", gTools.ShowAllMs);
    std::printf("  search bar, %llu MiB, to the last match:   %8.1f ms  (%llu matches; %.0f MiB/s; a 10 ms timer late by %.1f ms at most)\n",
                static_cast<unsigned long long>(gTools.SearchBytes >> 20), gTools.SearchMs,
                static_cast<unsigned long long>(gTools.Matches), static_cast<double>(gTools.SearchBytes >> 20) / (gTools.SearchMs / 1e3),
                gTools.LongestWaitMs);
    std::printf("  peer: bodies read and memmem'd in turn:   %8.1f ms  (%llu matches; ratio %.2fx)\n", gTools.SearchPeerMs,
                static_cast<unsigned long long>(gTools.PeerMatches), gTools.SearchMs / gTools.SearchPeerMs);
  }
  return 0;
}
