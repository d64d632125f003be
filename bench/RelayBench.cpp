// The relay end to end, against socat and against no relay at all, in one run:
// - 64 MiB from a client through the relay to a server: the real main window and log window, the
//   log in text mode and in hex mode, with the longest stall of the Qt event loop meanwhile; the
//   headless program (a child process) writing its entries to a file as text and as hex, and
//   with --quiet; the same bytes through `socat -v` and `socat -v -x` (their dumps to a file),
//   plain `socat`, and direct;
// - a 1-byte ping-pong, 10,000 round trips, through the program, the headless program, socat, and
//   direct;
// - how soon the relay takes a connection to the server that the kernel has completed, 200
//   connections, the same four ways.
//
// The program runs as its main block runs it: Qt's event loop drives the sockets' loop through the
// loop bridge, on this thread alone. The peers run on a thread of their own (BenchPeers.h), socat
// as a child process; everything is on 127.0.0.1.
//
// Options after Google Benchmark's own: --mib=N (64), --round_trips=N (10000), --timeout=S (600
// for one transfer), --data=binary|text (bytes of every value, or printable CR LF lines).
#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "BenchPeers.h"
#include "StallWatch.h"
#include "app/uMain.h"
#include "log/uLog.h"
#include "platform/MessageLoop.h"
#include "platform/gui/ErrorBox.h"
#include "platform/gui/LoopBridge.h"

using namespace bench;

namespace {

struct TOptions {
  std::size_t Mib = 64;
  int RoundTrips = 10000;
  int TimeoutSeconds = 600;
  bool Text = false;
} gOptions;

const std::string& TransferData() {
  static const std::string data = gOptions.Text ? TextLines(gOptions.Mib << 20) : Pattern(gOptions.Mib << 20);
  return data;
}

// What one row of the tables shows.
struct TRow {
  bool Ok = false;
  std::string Error;
  double Seconds = 0;
  double MaxStallMs = -1;  // the program only
  double StallsOver100ms = 0;
  double Entries = -1;     // "From Local" entries in the log: the chunks the relay read
  double LargestEntryKib = -1;
  double RssMib = -1;      // the benchmark process after the transfer, log still full
  double DumpMib = -1;     // socat -x: size of its dump
  double LoopCpuSeconds = -1;  // the program's loop thread: what other load on the machine leaves alone
};
std::map<std::string, TRow> gTransfers, gPingPongs;
// redis-benchmark's requests per second through each path, SET and GET.
struct TRedisRow {
  bool Ok = false;
  std::string Error;
  double Set = 0, Get = 0;
};
std::map<std::string, TRedisRow> gRedis;
std::vector<std::string> gErrors;  // what the program would have shown in its error box

// The CPU clock of the calling thread, for another thread to read: called on the thread that runs
// the program's loop, handed to the peers.
clockid_t ThisThreadCpuClock() {
  clockid_t c = 0;
  return ::pthread_getcpuclockid(::pthread_self(), &c) == 0 ? c : 0;
}

double ResidentMib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1 << 20);
}

// Runs Qt's event loop until Done or the deadline.
bool PumpQtUntil(const std::function<bool()>& Done, int TimeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  for (int i = 0; i < 1000000 && !Done() && Clock::now() < deadline; ++i)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
  return Done();
}

// The two windows as the main block makes them, the server listening, relaying to RemotePort.
class TProgram {
public:
  TProgram(bool HexLog, std::uint16_t RemotePort, bool LineMode = false) {
    Main = new TMain;
    Main->show();
    Log = new TLog;
    Log->OnLineModeChange = [](QObject*, bool LineMode) {
      if (Main != nullptr) Main->SwitchLineMode(LineMode);
    };
    if (HexLog) Log->Debugstring1Click(Log->Debugstring1);
    if (LineMode) Log->LineMode1Click(Log->LineMode1);
    Main->RemoteAddr->setText(QStringLiteral("127.0.0.1"));
    Main->RemotePort->setText(QString::number(RemotePort));
    Port = FreePort();
    Main->LocalPoort->setText(QString::number(Port));
    Main->ListenBtn->click();
  }
  ~TProgram() {
    if (Main->ListenBtnTag() != 0) Main->ListenBtn->click();
    PumpQtUntil([] { return WSocketServer->ClientCount() == 0 && Main->DrainingCount() == 0; }, 30000);
    platform::SetApplicationTerminated(true);  // as the main block does before it destroys
    delete Main;
    delete Log;
    platform::SetApplicationTerminated(false);
  }
  TProgram(const TProgram&) = delete;
  TProgram& operator=(const TProgram&) = delete;

  bool Listening() const { return Main->ListenBtnTag() == 1; }

  // The "From Local" entries in the log, and the bytes of the largest: the chunks the relay read.
  struct TEntries {
    int Count = 0;
    std::size_t Largest = 0;
  };
  static TEntries FromLocalEntries() {
    const TTrafficRecord& record = Log->Record();
    TEntries e;
    TRecordEntry entry;
    for (std::uint64_t i = 0; record.Entry(i, entry); ++i) {
      if (record.TitleText(entry.Title) != "From Local") continue;
      ++e.Count;
      e.Largest = std::max(e.Largest, static_cast<std::size_t>(entry.BodyLength));
    }
    return e;
  }

  std::uint16_t Port = 0;
};

// Runs Work on a thread of its own while this thread runs a Qt event loop, the program's, until
// Work has finished. Work's own deadlines bound it; the loop gives up a minute after them.
template <class R>
R BesideTheLoop(const std::function<R()>& Work, int TimeoutSeconds) {
  QEventLoop loop;
  std::optional<R> result;
  std::thread peers([&] {
    result = Work();
    QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
  });
  QTimer::singleShot(std::chrono::seconds(TimeoutSeconds + 60), &loop, [&loop] { loop.quit(); });
  loop.exec();
  peers.join();
  return *result;
}

TRow FromTransfer(const TTransferResult& T) {
  TRow row;
  row.Ok = T.Ok;
  row.Error = T.Ok ? std::string() : T.Error + " after " + std::to_string(T.Received) + " bytes";
  row.Seconds = T.Seconds;
  return row;
}

void Report(benchmark::State& State, const TRow& Row, double Bytes) {
  if (!Row.Ok) {
    State.SkipWithError(Row.Error.c_str());
    return;
  }
  State.SetIterationTime(Row.Seconds);
  State.counters["MiB/s"] = Bytes / (1 << 20) / Row.Seconds;
  if (Row.MaxStallMs >= 0) State.counters["max_stall_ms"] = Row.MaxStallMs;
  if (Row.LoopCpuSeconds >= 0) State.counters["loop_cpu_s"] = Row.LoopCpuSeconds;
  if (Row.Entries >= 0) State.counters["entries"] = Row.Entries;
  if (Row.LargestEntryKib >= 0) State.counters["largest_entry_KiB"] = Row.LargestEntryKib;
  if (Row.RssMib >= 0) State.counters["rss_MiB"] = Row.RssMib;
}

// ---- 64 MiB ---------------------------------------------------------------------------------

// A scratch folder for dumps and entries, removed with everything in it.
class TScratch {
public:
  TScratch() {
    if (::mkdtemp(FDir.data()) == nullptr) FDir.clear();
  }
  ~TScratch() {
    for (const std::string& f : FFiles) ::unlink(f.c_str());
    if (!FDir.empty()) ::rmdir(FDir.c_str());
  }
  bool Ok() const { return !FDir.empty(); }
  std::string File(const std::string& Name) {
    FFiles.push_back(FDir + "/" + Name);
    return FFiles.back();
  }
  static double Mib(const std::string& Path) {
    struct stat st{};
    return ::stat(Path.c_str(), &st) == 0 ? static_cast<double>(st.st_size) / (1 << 20) : -1;
  }

private:
  std::string FDir = "/tmp/vantrel-bench-XXXXXX";
  std::vector<std::string> FFiles;
};


// Repeat: the data is sent that many times over (a gibibyte kept in the log without the benchmark
// holding one).
void ProgramTransfer(benchmark::State& State, bool HexLog, const char* Name, std::size_t Repeat = 1) {
  for (auto _ : State) {
    const std::string& data = TransferData();
    TListener server;
    TRow row;
    {
      TProgram program(HexLog, server.Port);
      if (!program.Listening()) {
        State.SkipWithError("the program does not listen");
        return;
      }
      TStallWatch watch;
      const std::uint16_t entry = program.Port;
      const clockid_t loopCpu = ThisThreadCpuClock();
      TTransferResult t = BesideTheLoop<TTransferResult>(
          [&] { return RunTransfer(entry, server, data, gOptions.TimeoutSeconds, loopCpu, Repeat); },
          gOptions.TimeoutSeconds);
      watch.Finish();
      row = FromTransfer(t);
      row.LoopCpuSeconds = t.LoopCpuSeconds;
      row.MaxStallMs = watch.MaxMs(t.Start, t.End);
      row.StallsOver100ms = watch.Over(100, t.Start, t.End);
      row.RssMib = ResidentMib();
      const TProgram::TEntries entries = TProgram::FromLocalEntries();
      row.Entries = entries.Count;
      row.LargestEntryKib = static_cast<double>(entries.Largest) / 1024;
    }
    gTransfers[Name] = row;
    Report(State, row, static_cast<double>(data.size() * Repeat));
  }
}

// Plain socat, or socat writing its dump (Options: -v text, -v -x text and hex) to a file.
void SocatTransfer(benchmark::State& State, const std::vector<std::string>& Options, const char* Name) {
  for (auto _ : State) {
    const std::string& data = TransferData();
    TListener server;
    TScratch scratch;
    const std::uint16_t entry = FreePort();
    const std::string dump = Options.empty() ? std::string() : scratch.File("socat.dump");
    TRow row;
    {
      std::vector<std::string> args = {"socat"};
      args.insert(args.end(), Options.begin(), Options.end());
      args.push_back("TCP-LISTEN:" + std::to_string(entry) + ",bind=127.0.0.1,reuseaddr");
      args.push_back("TCP:127.0.0.1:" + std::to_string(server.Port));
      TChild socat(args, dump);
      if (!socat.Started()) {
        State.SkipWithError("socat does not start (Debian package socat)");
        return;
      }
      row = FromTransfer(RunTransfer(entry, server, data, gOptions.TimeoutSeconds));
      socat.WaitExit(10000);  // its dump is complete once it has ended
    }
    if (!dump.empty()) row.DumpMib = TScratch::Mib(dump);
    gTransfers[Name] = row;
    Report(State, row, static_cast<double>(data.size()));
  }
}

// The headless program as a script runs it: a child process, its entries to a file (none with
// --quiet). The dump is complete once SIGTERM has ended it.
void HeadlessTransfer(benchmark::State& State, const std::vector<std::string>& Extra, const char* Name) {
  for (auto _ : State) {
    const std::string& data = TransferData();
    TListener server;
    TScratch scratch;
    const std::uint16_t entry = FreePort();
    const std::string out = scratch.File("entries.txt");
    TRow row;
    {
      std::vector<std::string> args{VANTREL_PROGRAM, "--headless", "--local-port", std::to_string(entry),
                                    "--remote-addr", "127.0.0.1", "--remote-port", std::to_string(server.Port)};
      args.insert(args.end(), Extra.begin(), Extra.end());
      TChild program(args, scratch.File("stderr.txt"), out);
      if (!program.Started()) {
        State.SkipWithError("the headless program does not start");
        return;
      }
      row = FromTransfer(RunTransfer(entry, server, data, gOptions.TimeoutSeconds));
      program.Signal(SIGTERM);
      program.WaitExit(30000);
    }
    row.DumpMib = TScratch::Mib(out);
    gTransfers[Name] = row;
    Report(State, row, static_cast<double>(data.size()));
  }
}

void DirectTransfer(benchmark::State& State) {
  for (auto _ : State) {
    TListener server;
    TRow row = FromTransfer(RunTransfer(server.Port, server, TransferData(), gOptions.TimeoutSeconds));
    gTransfers["direct"] = row;
    Report(State, row, static_cast<double>(TransferData().size()));
  }
}

// ---- ping-pong ------------------------------------------------------------------------------

constexpr int kWarmup = 100;

TRow FromPingPong(const TPingPongResult& P) {
  TRow row;
  row.Ok = P.Ok;
  row.Error = P.Ok ? std::string() : P.Error;
  row.Seconds = P.Seconds;
  row.LoopCpuSeconds = P.LoopCpuSeconds;
  return row;
}

void ProgramPingPong(benchmark::State& State, bool HexLog, const char* Name) {
  for (auto _ : State) {
    TListener server;
    TRow row;
    {
      TProgram program(HexLog, server.Port);
      if (!program.Listening()) {
        State.SkipWithError("the program does not listen");
        return;
      }
      const std::uint16_t entry = program.Port;
      const clockid_t loopCpu = ThisThreadCpuClock();
      row = FromPingPong(BesideTheLoop<TPingPongResult>(
          [&] {
            return RunPingPong(entry, server, gOptions.RoundTrips, kWarmup, gOptions.TimeoutSeconds, loopCpu);
          },
          gOptions.TimeoutSeconds));
    }
    gPingPongs[Name] = row;
    Report(State, row, 2.0 * gOptions.RoundTrips);
  }
}

void HeadlessPingPong(benchmark::State& State) {
  for (auto _ : State) {
    TListener server;
    TScratch scratch;
    const std::uint16_t entry = FreePort();
    TRow row;
    {
      TChild program({VANTREL_PROGRAM, "--headless", "--local-port", std::to_string(entry), "--remote-addr",
                      "127.0.0.1", "--remote-port", std::to_string(server.Port)},
                     scratch.File("stderr.txt"), scratch.File("entries.txt"));
      if (!program.Started()) {
        State.SkipWithError("the headless program does not start");
        return;
      }
      row = FromPingPong(RunPingPong(entry, server, gOptions.RoundTrips, kWarmup, gOptions.TimeoutSeconds));
      program.Signal(SIGTERM);
      program.WaitExit(30000);
    }
    gPingPongs["headless, text log"] = row;
    Report(State, row, 2.0 * gOptions.RoundTrips);
  }
}

void SocatPingPong(benchmark::State& State) {
  for (auto _ : State) {
    TListener server;
    const std::uint16_t entry = FreePort();
    TRow row;
    {
      TChild socat({"socat", "TCP-LISTEN:" + std::to_string(entry) + ",bind=127.0.0.1,reuseaddr",
                    "TCP:127.0.0.1:" + std::to_string(server.Port)},
                   std::string());
      if (!socat.Started()) {
        State.SkipWithError("socat does not start (Debian package socat)");
        return;
      }
      row = FromPingPong(RunPingPong(entry, server, gOptions.RoundTrips, kWarmup, gOptions.TimeoutSeconds));
      socat.WaitExit(10000);
    }
    gPingPongs["socat"] = row;
    Report(State, row, 2.0 * gOptions.RoundTrips);
  }
}

void DirectPingPong(benchmark::State& State) {
  for (auto _ : State) {
    TListener server;
    TRow row = FromPingPong(RunPingPong(server.Port, server, gOptions.RoundTrips, kWarmup, gOptions.TimeoutSeconds));
    gPingPongs["direct"] = row;
    Report(State, row, 2.0 * gOptions.RoundTrips);
  }
}

// ---- taking a connection ------------------------------------------------------------------

// How long after the kernel has completed the relay's connection to the server the relay takes
// it: the server's accept to the arrival of a byte that the relay held for it (RunConnectLatency).
// A server that answers and resets within that time has reset before the relay looks.
constexpr int kConnects = 200;
std::map<std::string, TConnectResult> gConnects;

void ReportConnect(benchmark::State& State, const std::string& Name, const TConnectResult& R) {
  gConnects[Name] = R;
  if (!R.Ok) {
    State.SkipWithError(R.Error.c_str());
    return;
  }
  State.SetIterationTime(R.Quantile(0.5) / 1e6);
  State.counters["median_us"] = R.Quantile(0.5);
  State.counters["p90_us"] = R.Quantile(0.9);
}

void ProgramConnect(benchmark::State& State) {
  for (auto _ : State) {
    TListener server;
    TConnectResult r;
    {
      TProgram program(false, server.Port);
      if (!program.Listening()) {
        State.SkipWithError("the program does not listen");
        return;
      }
      const std::uint16_t entry = program.Port;
      r = BesideTheLoop<TConnectResult>([&] { return RunConnectLatency(entry, server, kConnects, gOptions.TimeoutSeconds); },
                                        gOptions.TimeoutSeconds);
    }
    ReportConnect(State, "program", r);
  }
}

void HeadlessConnect(benchmark::State& State) {
  for (auto _ : State) {
    TListener server;
    TScratch scratch;
    const std::uint16_t entry = FreePort();
    TConnectResult r;
    {
      TChild program({VANTREL_PROGRAM, "--headless", "--local-port", std::to_string(entry), "--remote-addr",
                      "127.0.0.1", "--remote-port", std::to_string(server.Port)},
                     scratch.File("stderr.txt"), scratch.File("entries.txt"));
      if (!program.Started()) {
        State.SkipWithError("the headless program does not start");
        return;
      }
      r = RunConnectLatency(entry, server, kConnects, gOptions.TimeoutSeconds);
      program.Signal(SIGTERM);
      program.WaitExit(30000);
    }
    ReportConnect(State, "headless", r);
  }
}

// socat forks a child for each connection before it connects onwards: what is measured is the
// child's own time from its connect to the byte.
void SocatConnect(benchmark::State& State) {
  for (auto _ : State) {
    TListener server;
    const std::uint16_t entry = FreePort();
    TConnectResult r;
    {
      TChild socat({"socat", "TCP-LISTEN:" + std::to_string(entry) + ",bind=127.0.0.1,reuseaddr,fork",
                    "TCP:127.0.0.1:" + std::to_string(server.Port)},
                   std::string());
      if (!socat.Started()) {
        State.SkipWithError("socat does not start (Debian package socat)");
        return;
      }
      r = RunConnectLatency(entry, server, kConnects, gOptions.TimeoutSeconds);
      socat.Signal(SIGTERM);
      socat.WaitExit(10000);
    }
    ReportConnect(State, "socat", r);
  }
}

// No relay: the byte is there before the server's accept.
void DirectConnect(benchmark::State& State) {
  for (auto _ : State) {
    TListener server;
    ReportConnect(State, "direct", RunConnectLatency(server.Port, server, kConnects, gOptions.TimeoutSeconds));
  }
}

// ---- redis-benchmark ------------------------------------------------------------------------

// A request-response protocol of short lines: redis-benchmark -t set,get -n 2000 -c 10 against a
// redis-server on loopback, directly, through socat, and through the relay with line mode off and
// on (the Debian packages redis-server and redis-tools; without them these rows are skipped).
constexpr int kRedisRequests = 2000;

TRedisRow RunRedisBenchmark(std::uint16_t Port) {
  TRedisRow row;
  TScratch scratch;
  const std::string out = scratch.File("redis.csv");
  {
    TChild bench({"redis-benchmark", "-h", "127.0.0.1", "-p", std::to_string(Port), "-t", "set,get", "-n",
                  std::to_string(kRedisRequests), "-c", "10", "--csv"},
                 scratch.File("redis.err"), out);
    if (!bench.Started() || !bench.WaitExit(gOptions.TimeoutSeconds * 1000)) {
      row.Error = "redis-benchmark did not run to its end";
      return row;
    }
  }
  std::ifstream in(out);
  for (std::string line; std::getline(in, line);) {
    double* target = line.rfind("\"SET\"", 0) == 0 ? &row.Set : line.rfind("\"GET\"", 0) == 0 ? &row.Get : nullptr;
    if (target == nullptr) continue;
    const std::size_t at = line.find(",\"");
    if (at != std::string::npos) *target = std::atof(line.c_str() + at + 2);
  }
  row.Ok = row.Set > 0 && row.Get > 0;
  if (!row.Ok) row.Error = "no figures from redis-benchmark (packages redis-server, redis-tools)";
  return row;
}

// A redis-server of its own on a free port, for the duration of one row.
class TRedisServer {
public:
  TRedisServer() : FPort(FreePort()) {
    FChild = std::make_unique<TChild>(std::vector<std::string>{"redis-server", "--port", std::to_string(FPort), "--bind",
                                                               "127.0.0.1", "--save", "", "--appendonly", "no"},
                                      FScratch.File("redis-server.log"), FScratch.File("redis-server.out"));
    // Ready once it accepts a connection.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    FReady = FChild->Started() && ConnectLoopback(FPort, deadline).Valid();
  }
  bool Ready() const { return FReady; }
  std::uint16_t Port() const { return FPort; }

private:
  TScratch FScratch;
  std::uint16_t FPort;
  std::unique_ptr<TChild> FChild;
  bool FReady = false;
};

void ReportRedis(benchmark::State& State, const std::string& Name, const TRedisRow& Row) {
  gRedis[Name] = Row;
  if (!Row.Ok) {
    State.SkipWithError(Row.Error.c_str());
    return;
  }
  State.SetIterationTime(2.0 * kRedisRequests / ((Row.Set + Row.Get) / 2));
  State.counters["SET_rps"] = Row.Set;
  State.counters["GET_rps"] = Row.Get;
}

void RedisDirect(benchmark::State& State) {
  for (auto _ : State) {
    TRedisServer redis;
    ReportRedis(State, "direct", redis.Ready() ? RunRedisBenchmark(redis.Port()) : TRedisRow{false, "no redis-server"});
  }
}

void RedisSocat(benchmark::State& State) {
  for (auto _ : State) {
    TRedisServer redis;
    const std::uint16_t entry = FreePort();
    TScratch scratch;
    TChild socat({"socat", "TCP-LISTEN:" + std::to_string(entry) + ",bind=127.0.0.1,reuseaddr,fork",
                  "TCP:127.0.0.1:" + std::to_string(redis.Port())},
                 scratch.File("socat.err"));
    const bool up = redis.Ready() && socat.Started() && ConnectLoopback(entry, Clock::now() + std::chrono::seconds(10)).Valid();
    ReportRedis(State, "socat", up ? RunRedisBenchmark(entry) : TRedisRow{false, "no redis-server or socat"});
  }
}

void RedisProgram(benchmark::State& State, bool LineMode, const char* Name) {
  for (auto _ : State) {
    TRedisServer redis;
    if (!redis.Ready()) {
      ReportRedis(State, Name, TRedisRow{false, "no redis-server"});
      continue;
    }
    TRedisRow row;
    {
      TProgram program(false, redis.Port(), LineMode);
      const std::uint16_t entry = program.Port;
      row = BesideTheLoop<TRedisRow>([&] { return RunRedisBenchmark(entry); }, gOptions.TimeoutSeconds);
    }
    ReportRedis(State, Name, row);
  }
}

void RedisHeadless(benchmark::State& State, bool LineMode, const char* Name) {
  for (auto _ : State) {
    TRedisServer redis;
    TScratch scratch;
    const std::uint16_t entry = FreePort();
    std::vector<std::string> args{VANTREL_PROGRAM, "--headless", "--local-port", std::to_string(entry),
                                  "--remote-addr", "127.0.0.1", "--remote-port", std::to_string(redis.Port())};
    if (LineMode) args.push_back("--line-mode");
    TChild program(args, scratch.File("stderr.txt"), scratch.File("entries.txt"));
    const bool up = redis.Ready() && program.Started() && ConnectLoopback(entry, Clock::now() + std::chrono::seconds(10)).Valid();
    ReportRedis(State, Name, up ? RunRedisBenchmark(entry) : TRedisRow{false, "no redis-server, or the program"});
    program.Signal(SIGTERM);
    program.WaitExit(30000);
  }
}

void BM_Transfer_Direct(benchmark::State& s) { DirectTransfer(s); }
void BM_Transfer_Socat(benchmark::State& s) { SocatTransfer(s, {}, "socat"); }
void BM_Transfer_SocatTextDump(benchmark::State& s) { SocatTransfer(s, {"-v"}, "socat -v"); }
void BM_Transfer_SocatHexDump(benchmark::State& s) { SocatTransfer(s, {"-v", "-x"}, "socat -v -x"); }
void BM_Transfer_HeadlessText(benchmark::State& s) { HeadlessTransfer(s, {}, "headless, text"); }
void BM_Transfer_HeadlessHex(benchmark::State& s) { HeadlessTransfer(s, {"--hex"}, "headless, hex"); }
void BM_Transfer_HeadlessQuiet(benchmark::State& s) { HeadlessTransfer(s, {"--quiet"}, "headless --quiet"); }
void BM_Transfer_ProgramTextLog(benchmark::State& s) { ProgramTransfer(s, false, "program, text log"); }
void BM_Transfer_ProgramHexLog(benchmark::State& s) { ProgramTransfer(s, true, "program, hex log"); }
// 1 GiB in the log: what the process holds afterwards, the record's spill file doing its work.
void BM_Transfer_ProgramGiB(benchmark::State& s) {
  ProgramTransfer(s, false, "program, 1 GiB kept", std::max<std::size_t>(1, 1024 / gOptions.Mib));
}
void BM_PingPong_Direct(benchmark::State& s) { DirectPingPong(s); }
void BM_PingPong_Socat(benchmark::State& s) { SocatPingPong(s); }
void BM_PingPong_Headless(benchmark::State& s) { HeadlessPingPong(s); }
void BM_PingPong_ProgramTextLog(benchmark::State& s) { ProgramPingPong(s, false, "program, text log"); }
void BM_Connect_Direct(benchmark::State& s) { DirectConnect(s); }
void BM_Connect_Socat(benchmark::State& s) { SocatConnect(s); }
void BM_Connect_Headless(benchmark::State& s) { HeadlessConnect(s); }
void BM_Connect_Program(benchmark::State& s) { ProgramConnect(s); }
void BM_PingPong_ProgramHexLog(benchmark::State& s) { ProgramPingPong(s, true, "program, hex log"); }

void BM_Redis_Direct(benchmark::State& s) { RedisDirect(s); }
void BM_Redis_Socat(benchmark::State& s) { RedisSocat(s); }
void BM_Redis_Program(benchmark::State& s) { RedisProgram(s, false, "program, text log"); }
void BM_Redis_ProgramLineMode(benchmark::State& s) { RedisProgram(s, true, "program, line mode"); }
void BM_Redis_Headless(benchmark::State& s) { RedisHeadless(s, false, "headless"); }
void BM_Redis_HeadlessLineMode(benchmark::State& s) { RedisHeadless(s, true, "headless, line mode"); }

// One run each: a run of the hex log takes minutes, and the peers' figures vary less than the
// program's between runs.
#define RELAY_BENCHMARK(f) BENCHMARK(f)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond)
RELAY_BENCHMARK(BM_Transfer_Direct);
RELAY_BENCHMARK(BM_Transfer_Socat);
RELAY_BENCHMARK(BM_Transfer_SocatTextDump);
RELAY_BENCHMARK(BM_Transfer_SocatHexDump);
RELAY_BENCHMARK(BM_Transfer_HeadlessQuiet);
RELAY_BENCHMARK(BM_Transfer_HeadlessText);
RELAY_BENCHMARK(BM_Transfer_HeadlessHex);
RELAY_BENCHMARK(BM_Transfer_ProgramTextLog);
RELAY_BENCHMARK(BM_Transfer_ProgramHexLog);
RELAY_BENCHMARK(BM_Transfer_ProgramGiB);
RELAY_BENCHMARK(BM_PingPong_Direct);
RELAY_BENCHMARK(BM_PingPong_Socat);
RELAY_BENCHMARK(BM_PingPong_Headless);
RELAY_BENCHMARK(BM_Redis_Direct);
RELAY_BENCHMARK(BM_Redis_Socat);
RELAY_BENCHMARK(BM_Redis_Program);
RELAY_BENCHMARK(BM_Redis_ProgramLineMode);
RELAY_BENCHMARK(BM_Redis_Headless);
RELAY_BENCHMARK(BM_Redis_HeadlessLineMode);
RELAY_BENCHMARK(BM_PingPong_ProgramTextLog);
RELAY_BENCHMARK(BM_PingPong_ProgramHexLog);
RELAY_BENCHMARK(BM_Connect_Direct);
RELAY_BENCHMARK(BM_Connect_Socat);
RELAY_BENCHMARK(BM_Connect_Headless);
RELAY_BENCHMARK(BM_Connect_Program);

// ---- the tables -----------------------------------------------------------------------------

const TRow* Find(const std::map<std::string, TRow>& Rows, const std::string& Name) {
  auto it = Rows.find(Name);
  return it != Rows.end() && it->second.Ok ? &it->second : nullptr;
}

std::string Ratio(const TRow& Row, const TRow* Reference) {
  if (Reference == nullptr) return "-";
  char s[32];
  std::snprintf(s, sizeof s, "%.3g", Row.Seconds / Reference->Seconds);
  return s;
}

void PrintTransfers() {
  const char* order[] = {"direct",           "socat",          "socat -v",         "socat -v -x",
                         "headless --quiet", "headless, text", "headless, hex",    "program, text log",
                         "program, hex log", "program, 1 GiB kept"};
  const TRow* socat = Find(gTransfers, "socat");
  // Each row that writes a dump is set against socat writing the same kind of dump.
  auto dumpPeer = [](const std::string& Name) {
    return Find(gTransfers, Name.find("hex") != std::string::npos ? "socat -v -x" : "socat -v");
  };
  std::printf("\n%zu MiB from a client through the relay to a server (%s data), one run each:\n", gOptions.Mib,
              gOptions.Text ? "text-line" : "binary");
  std::printf("  %-19s %9s %9s %9s %11s %9s %13s %8s %12s %8s %9s\n", "relay", "seconds", "MiB/s", "x socat",
              "x its dump", "loop CPU", "max Qt stall", "entries", "largest KiB", "RSS MiB", "dump MiB");
  for (const char* name : order) {
    auto it = gTransfers.find(name);
    if (it == gTransfers.end()) continue;
    const TRow& r = it->second;
    if (!r.Ok) {
      std::printf("  %-19s failed: %s\n", name, r.Error.c_str());
      continue;
    }
    std::string cpu = "-", stall = "-", entries = "-", largest = "-", rss = "-", dump = "-", xDump = "-";
    const bool dumps = r.DumpMib >= 0 || std::string(name).rfind("program", 0) == 0;
    if (dumps && std::string(name).rfind("socat", 0) != 0) xDump = Ratio(r, dumpPeer(name));
    if (r.DumpMib >= 0) {
      char s[32];
      std::snprintf(s, sizeof s, "%.0f", r.DumpMib);
      dump = s;
    }
    if (r.MaxStallMs >= 0) {
      char s[48];
      std::snprintf(s, sizeof s, "%.2f", r.LoopCpuSeconds);
      cpu = s;
      std::snprintf(s, sizeof s, "%.0f ms", r.MaxStallMs);
      stall = s;
      entries = std::to_string(static_cast<long>(r.Entries));
      largest = std::to_string(static_cast<long>(r.LargestEntryKib));
      std::snprintf(s, sizeof s, "%.0f", r.RssMib);
      rss = s;
    }
    const double mib = static_cast<double>(gOptions.Mib) *
                       (std::string(name) == "program, 1 GiB kept" ? static_cast<double>(std::max<std::size_t>(1, 1024 / gOptions.Mib)) : 1.0);
    std::printf("  %-19s %9.2f %9.1f %9s %11s %9s %13s %8s %12s %8s %9s\n", name, r.Seconds,
                mib / r.Seconds, Ratio(r, socat).c_str(), xDump.c_str(), cpu.c_str(),
                stall.c_str(), entries.c_str(), largest.c_str(), rss.c_str(), dump.c_str());
  }
  std::printf("  x socat: the time over plain socat's. x its dump: the time over socat writing the same kind\n"
              "  of dump (socat -v for text, socat -v -x for hex); below 0.1 is ten times its throughput.\n"
              "  loop CPU: seconds of CPU that the program's one thread used meanwhile, which other load on\n"
              "  the machine does not inflate. max Qt stall: the longest gap between ticks of a 1 ms timer on\n"
              "  the program's loop during the transfer. entries: \"From Local\" log entries, each a chunk the\n"
              "  relay read. RSS: this process, the log still full (it also holds the benchmark's own copy\n"
              "  of the data, %zu MiB). dump: the size of the file written.\n", gOptions.Mib);
  for (const char* name : {"program, text log", "program, hex log"})
    if (const TRow* r = Find(gTransfers, name); r != nullptr && r->StallsOver100ms > 0)
      std::printf("  %s: %.0f stalls over 100 ms.\n", name, r->StallsOver100ms);
}

void PrintPingPongs() {
  const char* order[] = {"direct", "socat", "headless, text log", "program, text log", "program, hex log"};
  const TRow* direct = Find(gPingPongs, "direct");
  const TRow* socat = Find(gPingPongs, "socat");
  std::printf("\n1-byte ping-pong, %d round trips (after %d untimed):\n", gOptions.RoundTrips, kWarmup);
  std::printf("  %-19s %9s %14s %9s %9s %19s\n", "path", "seconds", "us/round trip", "x direct", "x socat",
              "loop CPU us/trip");
  for (const char* name : order) {
    auto it = gPingPongs.find(name);
    if (it == gPingPongs.end()) continue;
    const TRow& r = it->second;
    if (!r.Ok) {
      std::printf("  %-19s failed: %s\n", name, r.Error.c_str());
      continue;
    }
    std::string cpu = "-";
    if (r.LoopCpuSeconds >= 0) cpu = std::to_string(static_cast<long>(r.LoopCpuSeconds * 1e6 / gOptions.RoundTrips));
    std::printf("  %-19s %9.3f %14.1f %9s %9s %19s\n", name, r.Seconds, r.Seconds * 1e6 / gOptions.RoundTrips,
                Ratio(r, direct).c_str(), Ratio(r, socat).c_str(), cpu.c_str());
  }
}

void PrintConnects() {
  if (gConnects.empty()) return;
  std::printf("\nFrom the server's accept of the relay's connection to the byte held for it, %d connections:\n",
              kConnects);
  std::printf("  %-19s %12s %12s %12s\n", "path", "median us", "p90 us", "max us");
  for (const char* name : {"direct", "socat", "headless", "program"}) {
    auto it = gConnects.find(name);
    if (it == gConnects.end()) continue;
    const TConnectResult& r = it->second;
    if (!r.Ok) {
      std::printf("  %-19s failed: %s\n", name, r.Error.c_str());
      continue;
    }
    std::printf("  %-19s %12.0f %12.0f %12.0f\n", name, r.Quantile(0.5), r.Quantile(0.9), r.Us.back());
  }
  std::printf("  How long the relay takes to look at a connection the kernel has completed: a server that\n"
              "  answers and resets sooner has reset by then. program: the windows, Qt's loop driving the\n"
              "  sockets' loop.\n");
}

void PrintRedis() {
  if (gRedis.empty()) return;
  const char* order[] = {"direct", "socat", "headless", "headless, line mode", "program, text log", "program, line mode"};
  const TRedisRow* socat = gRedis.count("socat") != 0 && gRedis["socat"].Ok ? &gRedis["socat"] : nullptr;
  std::printf("\nredis-benchmark -t set,get -n %d -c 10, requests per second:\n", kRedisRequests);
  std::printf("  %-19s %10s %10s %12s %12s\n", "path", "SET", "GET", "SET x socat", "GET x socat");
  for (const char* name : order) {
    auto it = gRedis.find(name);
    if (it == gRedis.end()) continue;
    const TRedisRow& r = it->second;
    if (!r.Ok) {
      std::printf("  %-19s failed: %s\n", name, r.Error.c_str());
      continue;
    }
    char set[32] = "-", get[32] = "-";
    if (socat != nullptr) {
      std::snprintf(set, sizeof set, "%.2f", r.Set / socat->Set);
      std::snprintf(get, sizeof get, "%.2f", r.Get / socat->Get);
    }
    std::printf("  %-19s %10.0f %10.0f %12s %12s\n", name, r.Set, r.Get, set, get);
  }
  std::printf("  x socat: requests per second over socat's (above 1 is faster). Line mode relays each\n"
              "  CR LF line as an entry of its own.\n");
}

void ParseOptions(int Argc, char** Argv) {
  for (int i = 1; i < Argc; ++i) {
    std::string a = Argv[i];
    auto value = [&](const char* Name) -> std::optional<std::string> {
      std::string prefix = std::string("--") + Name + "=";
      if (a.rfind(prefix, 0) != 0) return std::nullopt;
      return a.substr(prefix.size());
    };
    if (auto v = value("mib")) {
      gOptions.Mib = std::clamp<std::size_t>(std::strtoul(v->c_str(), nullptr, 10), 1, 1024);
    } else if (auto v = value("round_trips")) {
      gOptions.RoundTrips = std::clamp(std::atoi(v->c_str()), 1, 10000000);
    } else if (auto v = value("timeout")) {
      gOptions.TimeoutSeconds = std::clamp(std::atoi(v->c_str()), 1, 3600);
    } else if (auto v = value("data")) {
      gOptions.Text = *v == "text";
    } else {
      std::fprintf(stderr, "bench_relay: unknown option %s\n", a.c_str());
      std::exit(2);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The windows are real but never shown on a desktop, unless a platform was asked for.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  benchmark::Initialize(&argc, argv);
  ParseOptions(argc, argv);
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  platform::gui::TLoopBridge bridge;  // Qt's loop drives the sockets' loop, as in the program
  platform::gui::SetErrorHandler([](const std::string& m) { gErrors.push_back(m); });

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\nQt platform %s, Qt %s, %u CPUs.\n", qgetenv("QT_QPA_PLATFORM").constData(), qVersion(),
              std::thread::hardware_concurrency());
  PrintTransfers();
  PrintPingPongs();
  PrintConnects();
  PrintRedis();
  for (const std::string& e : gErrors) std::printf("The program reported: %s\n", e.c_str());
  platform::gui::SetErrorHandler(nullptr);
  return 0;
}
