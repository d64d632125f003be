// The log window under a long session, against the text view it replaced, in one run:
// - 1,000,000 entries through TLog::AddEntry with the window shown (Qt's offscreen platform), the
//   event loop run between batches as the program's loop would: the cost of an entry in the first
//   and in the last tenth of the run (a flat cost keeps the ratio near 1);
// - then jumps to the middle of the log, each painted into an image: the time from the jump to a
//   finished picture;
// - the peer: the same entries appended to a QPlainTextEdit as the window used to append them
//   (one insertion per entry, redrawing held back between ticks), fewer of them since its cost
//   grows with the text; the same figures where it has them.
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

#include "log/AnsiText.h"
#include "log/DateTimeText.h"
#include "log/LogFormat.h"
#include "log/uLog.h"
#include "log/uLogView.h"

namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t gEntries = 1000000;
std::uint64_t gPeerEntries = 50000;
constexpr std::uint64_t kBatch = 1000;  // entries between two runs of the event loop

double Seconds(Clock::duration D) { return std::chrono::duration<double>(D).count(); }

// Entry i of the run: a relay's mix of short requests and answers, some empty, every fifth one a
// hex dump, now and then a full 16 KiB chunk.
struct TSpec {
  const char* Title;
  bool Hex;
  std::size_t Length;
};

TSpec SpecOf(std::uint64_t I) {
  static const char* kTitles[] = {"From Local", "From Remote", "Connection Opened", "Connection Closed"};
  TSpec s{kTitles[I % 4], I % 5 == 4, 0};
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
      const TSpec s = SpecOf(i);
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
    gView.Add = AddEntries(gEntries, [&](const TSpec& S, std::string_view B) {
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
    gPeer.Add = AddEntries(gPeerEntries, [&](const TSpec& S, std::string_view B) {
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

BENCHMARK(BM_LogWindow_AddAndPaint)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextViewPeer_AddAndPaint)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

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
  return 0;
}
