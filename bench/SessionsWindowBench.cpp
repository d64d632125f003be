// The windows with thousands of sessions open: the real main window and log window (Qt's offscreen
// platform), the sessions list open, while N clients (8,000) connect through the relay to an echo
// server, each sending 100 bytes and reading them back, and stay open. With them open, the list
// is left to keep itself up to date, scrolled page by page, and filtered; then every client closes.
// Each step prints how long it took and the longest stall of the windows' event loop meanwhile
// (the longest gap between ticks of a 1 ms timer): the windows must answer within 100 ms.
//
// The counts are checked, not only timed: the status bar's client count and the list's rows and
// states after the sessions opened and after they closed, and the entries a filter leaves.
//
// The peer, for scrolling: a QTableView over a QStandardItemModel holding the same texts for the
// same number of rows, scrolled the same way in the same run.
//
// The echo server and the clients run in a child process (forked before Qt starts), so that they
// neither take turns on the windows' loop nor share their descriptors: the program holds two a
// session, the child two. Under a hard limit of descriptors below what N needs, N is scaled down
// to what fits ((limit - 512) / 2, in steps of 64) and the output says so.
//
// Options: --sessions=N (8000, at most what fits).
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTableView>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "SessionPeers.h"
#include "StallWatch.h"
#include "app/uMain.h"
#include "log/uLog.h"
#include "log/uLogView.h"
#include "log/uSessions.h"
#include "log/uSessionsModel.h"
#include "platform/MessageLoop.h"
#include "platform/gui/ErrorBox.h"
#include "platform/gui/LoopBridge.h"

using namespace bench;

namespace {

constexpr int kOpenAtATime = 64;
int gSessions = 8000;
std::vector<std::string> gErrors;  // what the program reported in its error box
std::vector<std::string> gWrong;   // counts that did not come out right

// ---- the peers' process ----

// The child's side: commands come as lines on Fd and each gets one line back.
//   "echo"       starts the echo server, answers its port;
//   "open P N"   opens N sessions to port P, kOpenAtATime at a time, and keeps them open, answers
//                "<done> <failed> <seconds> <first error>";
//   "close"      closes every kept session, answers "closed";
//   "exit".
[[noreturn]] void PeersProcess(int Fd) {
  std::unique_ptr<TEchoServer> echo;
  std::unique_ptr<TClients> clients;
  std::string pending;
  auto answer = [Fd](const std::string& Line) {
    const std::string l = Line + "\n";
    if (::write(Fd, l.data(), l.size()) != static_cast<ssize_t>(l.size())) std::_Exit(1);
  };
  for (;;) {
    char buf[256];
    const ssize_t n = ::read(Fd, buf, sizeof buf);
    if (n <= 0) std::_Exit(0);
    pending.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      std::istringstream in(pending.substr(0, nl));
      pending.erase(0, nl + 1);
      std::string command;
      in >> command;
      if (command == "echo") {
        echo = std::make_unique<TEchoServer>();
        answer(std::to_string(echo->Port));
      } else if (command == "open") {
        int port = 0, count = 0;
        in >> port >> count;
        clients = std::make_unique<TClients>(static_cast<std::uint16_t>(port));
        const TClients::TOutcome o = clients->OpenAndKeep(count, kOpenAtATime);
        answer(std::to_string(o.Done) + " " + std::to_string(o.Failed) + " " + std::to_string(o.Seconds) + " " +
               (o.FirstError.empty() ? "-" : o.FirstError));
      } else if (command == "close") {
        if (clients) clients->CloseOpen();
        answer("closed");
      } else {
        clients.reset();
        echo.reset();
        std::_Exit(0);
      }
    }
  }
}

class TPeers {
public:
  TPeers() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
    FPid = ::fork();
    if (FPid == 0) {
      ::close(fds[0]);
      PeersProcess(fds[1]);
    }
    ::close(fds[1]);
    FFd.Reset(fds[0]);
    SetNonBlocking(FFd.Get());
  }
  ~TPeers() {
    if (FPid <= 0) return;
    Send("exit");
    FFd.Reset();
    int status = 0;
    ::waitpid(FPid, &status, 0);
  }
  bool Started() const { return FPid > 0 && FFd.Valid(); }
  void Send(const std::string& Command) {
    const std::string l = Command + "\n";
    if (::write(FFd.Get(), l.data(), l.size()) != static_cast<ssize_t>(l.size())) gWrong.push_back("the peers' process is gone");
  }
  // The answer, once a whole line has come; the windows' loop runs meanwhile.
  std::optional<std::string> Answer() {
    char buf[256];
    for (ssize_t n; (n = ::read(FFd.Get(), buf, sizeof buf)) > 0;) FPending.append(buf, static_cast<std::size_t>(n));
    const std::size_t nl = FPending.find('\n');
    if (nl == std::string::npos) return std::nullopt;
    std::string line = FPending.substr(0, nl);
    FPending.erase(0, nl + 1);
    return line;
  }

private:
  pid_t FPid = -1;
  TFd FFd;
  std::string FPending;
};

// ---- the windows ----

// Runs the windows' loop until Done or the deadline.
bool Pump(const std::function<bool()>& Done, int TimeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  for (long i = 0; i < 10000000L && !Done() && Clock::now() < deadline; ++i)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
  return Done();
}

std::optional<std::string> AnswerOf(TPeers& Peers, int TimeoutMs) {
  std::optional<std::string> answer;
  Pump([&] {
    if (!answer) answer = Peers.Answer();
    return answer.has_value();
  }, TimeoutMs);
  return answer;
}

std::string Figure(double V, int Decimals = 0) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", Decimals, V);
  return buf;
}

void Check(bool Ok, const std::string& What) {
  if (!Ok) gWrong.push_back(What);
}

// One line of the table.
struct TStep {
  std::string Name;
  double Ms = 0;         // the step's time
  double WorstMs = -1;   // the slowest of its parts, where it has parts (pages, clicks)
  double StallMs = 0;    // the longest stall of the loop meanwhile
  int Over100 = 0;
  std::string Note;
};
std::vector<TStep> gSteps;

class TTimed {
public:
  TTimed(TStallWatch& Watch, std::string Name) : FWatch(Watch), FStart(Clock::now()) { FStep.Name = std::move(Name); }
  TStep& Step() { return FStep; }
  void Done() {
    const auto end = Clock::now();
    FStep.Ms = std::chrono::duration<double, std::milli>(end - FStart).count();
    FStep.StallMs = FWatch.MaxMs(FStart, end);
    FStep.Over100 = FWatch.Over(100, FStart, end);
    gSteps.push_back(FStep);
  }

private:
  TStallWatch& FWatch;
  Clock::time_point FStart;
  TStep FStep;
};

double MsSince(Clock::time_point Start) { return std::chrono::duration<double, std::milli>(Clock::now() - Start).count(); }

// Scrolls View from top to bottom a page at a time, each page painted before the next; the
// slowest page.
double ScrollPageByPage(QTableView& View, int& Pages) {
  QScrollBar& bar = *View.verticalScrollBar();
  bar.setValue(0);
  View.viewport()->repaint();
  double worst = 0;
  Pages = 0;
  for (int value = 0; Pages < 100000; value += bar.pageStep()) {
    const auto start = Clock::now();
    bar.setValue(std::min(value, bar.maximum()));
    View.viewport()->repaint();
    QCoreApplication::processEvents();
    worst = std::max(worst, MsSince(start));
    ++Pages;
    if (value >= bar.maximum()) break;
  }
  return worst;
}

// The sessions of the entries the log view shows.
std::set<std::uint64_t> ShownSessions() {
  TLogView& view = *Log->LogWnd;
  view.Flush();
  std::set<std::uint64_t> shown;
  TRecordEntry e;
  for (std::uint64_t line = 0; line < view.LineCount(); ++line)
    if (Log->Record().Entry(view.Layout().Place(line).Entry, e)) shown.insert(e.Session);
  return shown;
}

int RowsInState(const TSessionsModel& Model, const QString& State) {
  int n = 0;
  for (int row = 0; row < Model.rowCount(); ++row)
    n += Model.data(Model.index(row, TSessionsModel::scState)).toString() == State;
  return n;
}

void Run(TPeers& Peers, std::uint16_t EchoPort) {
  Main = new TMain;
  Main->show();
  Log = new TLog;
  Log->resize(900, 700);
  Log->show();
  Main->RemoteAddr->setText(QStringLiteral("127.0.0.1"));
  Main->RemotePort->setText(QString::number(EchoPort));
  const std::uint16_t port = FreePort();
  Main->LocalPoort->setText(QString::number(port));
  Main->ListenBtn->click();
  if (Main->ListenBtnTag() != 1) {
    gWrong.push_back("the program does not listen");
    return;
  }
  Log->Sessions1->trigger();
  TSessionsPanel& panel = *Log->SessionsPanel;
  TSessionsModel& model = *panel.Model;
  QTableView& list = *panel.SessionsList;
  Pump([&] { return list.viewport()->height() > 100; }, 5000);

  TStallWatch watch;
  const QString n = QString::number(gSessions);
  {
    TTimed t(watch, "opening " + std::to_string(gSessions) + " (" + std::to_string(kOpenAtATime) + " at a time)");
    Peers.Send("open " + std::to_string(port) + " " + std::to_string(gSessions));
    const std::optional<std::string> answer = AnswerOf(Peers, 300000);
    int done = 0, failed = 0;
    double seconds = 0;
    if (answer) std::istringstream(*answer) >> done >> failed >> seconds;
    Check(answer && done == gSessions && failed == 0, "opened: " + answer.value_or("no answer"));
    t.Step().Note = Figure(done / std::max(seconds, 1e-9)) + " a second";
    t.Done();
  }
  Pump([] { return WSocketServer->ClientCount() == gSessions; }, 30000);
  panel.Flush();
  Check(Main->StatusPanel(1)->text() == n, "status bar with all open: \"" + Main->StatusPanel(1)->text().toStdString() + "\"");
  Check(Main->StatusPanel(3)->text() == QStringLiteral("127.0.0.1"), "status bar's peer with all open");
  Check(model.rowCount() == gSessions, "rows with all open: " + std::to_string(model.rowCount()));
  Check(RowsInState(model, QStringLiteral("relaying")) == gSessions, "rows relaying with all open");

  {
    TTimed t(watch, "kept up to date, 3 s with all open");
    const auto until = Clock::now() + std::chrono::seconds(3);
    Pump([&] { return Clock::now() >= until; }, 4000);
    t.Done();
  }
  {
    TTimed t(watch, "scrolling the list page by page");
    int pages = 0;
    t.Step().WorstMs = ScrollPageByPage(list, pages);
    t.Step().Note = std::to_string(pages) + " pages";
    t.Done();
  }
  {
    // The same rows in Qt's own item model, in a view of the same size.
    QStandardItemModel peer(gSessions, TSessionsModel::scColumnCount);
    for (int row = 0; row < gSessions; ++row)
      for (int c = 0; c < TSessionsModel::scColumnCount; ++c)
        peer.setItem(row, c, new QStandardItem(model.data(model.index(row, c)).toString()));
    QTableView view;
    view.setModel(&peer);
    view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view.verticalHeader()->setDefaultSectionSize(list.verticalHeader()->defaultSectionSize());
    view.resize(list.size());
    view.show();
    Pump([&] { return view.viewport()->height() > 100; }, 5000);
    TTimed t(watch, "  peer: QStandardItemModel, the same");
    int pages = 0;
    t.Step().WorstMs = ScrollPageByPage(view, pages);
    t.Step().Note = std::to_string(pages) + " pages";
    t.Done();
  }
  const auto click = [&](const std::string& Name, const std::function<void()>& Do) {
    TTimed t(watch, Name);
    const auto start = Clock::now();
    Do();
    Log->LogWnd->Flush();
    Log->LogWnd->viewport()->repaint();
    list.viewport()->repaint();
    t.Step().WorstMs = MsSince(start);
    Pump([] { return false; }, 300);  // the timers that follow a change
    t.Done();
  };
  const int middle = gSessions / 2;
  const std::uint64_t picked = model.Info(middle).Id;
  click("selecting one session", [&] { list.selectRow(middle); });
  Check(ShownSessions() == std::set<std::uint64_t>{picked}, "the filter of one session shows others");
  click("selecting all sessions", [&] { list.selectAll(); });
  Check(ShownSessions().size() == static_cast<std::size_t>(gSessions), "the filter of all sessions misses some");
  click("only what came from the remote side", [&] { panel.DirectionBox->setCurrentIndex(dfFromRemote); });
  click("Show all", [&] { panel.ShowAllBtn->click(); });
  Check(!Log->LogWnd->Layout().Filtered(), "Show all leaves a filter");
  click("scrolling the list to its end", [&] { list.scrollToBottom(); });
  list.selectRow(middle);
  click("Clear, one session selected", [&] { Log->Clear1->trigger(); });
  Check(model.rowCount() == gSessions, "rows after a Clear: " + std::to_string(model.rowCount()));
  Check(panel.SessionsList->selectionModel()->selectedRows().size() == 1, "the selection after a Clear");
  {
    TTimed t(watch, "closing all " + std::to_string(gSessions));
    Peers.Send("close");
    Check(AnswerOf(Peers, 60000).has_value(), "no answer to close");
    Pump([] { return WSocketServer->ClientCount() == 0 && Main->DrainingCount() == 0; }, 120000);
    t.Step().Note = std::to_string(WSocketServer->ClientCount()) + " left";
    t.Done();
  }
  {
    TTimed t(watch, "the list once they closed");
    panel.Flush();
    list.viewport()->repaint();
    t.Done();
  }
  Check(Main->StatusPanel(1)->text() == QStringLiteral("0"), "status bar with all closed: \"" + Main->StatusPanel(1)->text().toStdString() + "\"");
  Check(Main->StatusPanel(3)->text().isEmpty(), "status bar's peer with all closed");
  Check(model.rowCount() == gSessions, "rows with all closed: " + std::to_string(model.rowCount()));
  Check(RowsInState(model, QStringLiteral("closed")) == gSessions, "rows closed with all closed: " + std::to_string(RowsInState(model, QStringLiteral("closed"))));
  watch.Finish();

  Main->ListenBtn->click();
  platform::SetApplicationTerminated(true);
  delete Main;
  delete Log;
  platform::SetApplicationTerminated(false);
}

void PrintSteps() {
  std::printf("\n%-44s %10s %12s %14s %10s  %s\n", "step", "ms", "worst part", "longest stall", "> 100 ms", "");
  for (const TStep& s : gSteps) {
    const std::string worst = s.WorstMs >= 0 ? Figure(s.WorstMs, 1) + " ms" : "-";
    std::printf("%-44s %10.0f %12s %11.0f ms %10d  %s\n", s.Name.c_str(), s.Ms, worst.c_str(), s.StallMs, s.Over100,
                s.Note.c_str());
  }
  std::printf("worst part: the slowest page of a scroll, or a click until the views are painted.\n"
              "longest stall: the longest gap between two ticks of a 1 ms timer on the windows' loop.\n");
  for (const std::string& e : gErrors) std::printf("The program reported: %s\n", e.c_str());
  if (gWrong.empty()) std::printf("Counts: the status bar, the list's rows and states, the filters all came out right.\n");
  for (const std::string& w : gWrong) std::printf("WRONG: %s\n", w.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--sessions=", 0) == 0) {
      gSessions = std::clamp(std::atoi(a.c_str() + 11), 64, 8000);
    } else {
      std::fprintf(stderr, "bench_sessions_window: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &lim);
  const long fits = lim.rlim_max == RLIM_INFINITY ? 1L << 20 : (static_cast<long>(lim.rlim_max) - 512) / 2 / 64 * 64;
  if (fits < gSessions) {
    gSessions = static_cast<int>(std::max(64L, fits));
    std::printf("The hard limit of descriptors is %ld: %d sessions instead of 8000.\n", static_cast<long>(lim.rlim_max),
                gSessions);
  }
  TPeers peers;  // before Qt starts any thread
  if (!peers.Started()) {
    std::printf("the peers' process did not start\n");
    return 1;
  }
  peers.Send("echo");
  std::optional<std::string> echo;
  for (int i = 0; i < 1000 && !(echo = peers.Answer()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!echo) {
    std::printf("the echo server did not start\n");
    return 1;
  }

  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  platform::gui::TLoopBridge bridge;  // Qt's loop drives the sockets' loop, as in the program
  platform::gui::SetErrorHandler([](const std::string& m) { gErrors.push_back(m); });
  std::printf("The windows with %d sessions open: Qt platform %s, Qt %s, %u CPUs.\n", gSessions,
              qgetenv("QT_QPA_PLATFORM").constData(), qVersion(), std::thread::hardware_concurrency());
  std::fflush(stdout);
  Run(peers, static_cast<std::uint16_t>(std::atoi(echo->c_str())));
  platform::gui::SetErrorHandler(nullptr);
  PrintSteps();
  return gWrong.empty() ? 0 : 1;
}
