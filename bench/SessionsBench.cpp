// Many sessions through a proxy: the headless relay against HAProxy in `mode tcp`, both in front of
// the same epoll echo server of this program, with clients that each connect, send 100 bytes, read
// them back (checked byte for byte) and then either close or stay open.
//
// Rows, each for HAProxy, the relay with --quiet, and the relay writing its entries to a file:
//   short sessions a second with 1, 50 and 500 in flight, and the proxy's CPU time per session;
//   opening N sessions that stay open, 64 at a time, a second;
//   the proxy's resident memory with N open, and per session (over its memory before them);
//   four rounds of N opened and closed: the memory with them open and after they have closed.
// The ratios are the relay's figure over HAProxy's from the same run (above 1: more sessions a
// second, or more memory).
//
// Peers. HAProxy is Debian's haproxy (scripts/install-deps installs it); it runs with one thread,
// as the relay does, and without it its column is skipped with a line that says so. The echo
// server and the clients are threads of this program, on epoll, so that they cost the same for
// every proxy. Everything is on 127.0.0.1; every wait has a deadline.
//
// Descriptors. N is 8,000: each open session holds two descriptors in the proxy and two in this
// program (the client's and the echo server's), so a hard limit of 20,000 a process leaves room.
// Under a lower hard limit, N is scaled down to what fits ((limit - 512) / 2, in steps of 64) and
// the table says so; the soft limit is raised to the hard one for this program and its children.
//
// Options: --seconds=S (3) for each short-session row, --sessions=N (8000, at most what fits),
// --only=haproxy,quiet,file (all three), --haproxy-threads=T (1), --wrap='CMD ARGS' to run the relay
// under a profiler (heaptrack, valgrind): its figures then are the profiler's, not the relay's.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SessionPeers.h"

using namespace bench;

namespace {

constexpr int kOpenAtATime = 64;
constexpr int kRounds = 4;

struct TOptions {
  double Seconds = 3;
  int Sessions = 8000;
  bool HaProxy = true, Quiet = true, File = true;
  int HaProxyThreads = 1;
  std::vector<std::string> Wrap;
} gOptions;

// ---- the proxies ----

long ProcessKib(pid_t Pid, const char* Field) {
  std::ifstream in("/proc/" + std::to_string(Pid) + "/status");
  std::string line;
  const std::string key = std::string(Field) + ":";
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
  return -1;
}

// User and system CPU time of a process, in seconds.
double ProcessCpuSeconds(pid_t Pid) {
  std::ifstream in("/proc/" + std::to_string(Pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t paren = all.rfind(')');
  if (paren == std::string::npos) return -1;
  std::istringstream rest(all.substr(paren + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct TScratchDir {
  std::string Path;
  TScratchDir() {
    char tmpl[] = "/tmp/bench_sessions.XXXXXX";
    if (::mkdtemp(tmpl) != nullptr) Path = tmpl;
  }
  ~TScratchDir() {
    if (!Path.empty()) std::system(("rm -rf '" + Path + "'").c_str());
  }
  std::string File(const std::string& Name) const { return Path + "/" + Name; }
};

bool OnPath(const std::string& Program) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/sbin", "/usr/local/bin"}) {
    struct stat st{};
    if (::stat((std::string(dir) + "/" + Program).c_str(), &st) == 0) return true;
  }
  return false;
}

// What one proxy measured.
struct TColumn {
  bool Ran = false;
  std::string Skipped;  // why it did not run
  std::string Error;
  double Rate[3] = {0, 0, 0};       // short sessions a second with 1, 50, 500 in flight
  double CpuUs[3] = {0, 0, 0};      // the proxy's CPU time per short session
  double OpenRate[kRounds] = {};    // opening N that stay open, a second, each round
  double StartMib = 0;              // at start
  double BeforeMib = 0;             // after the short sessions, before the rounds
  double OpenMib[kRounds] = {};     // with N open, each round
  double ClosedMib[kRounds] = {};   // after they closed, each round
  double PerSessionKib() const { return (OpenMib[0] - BeforeMib) * 1024.0 / gOptions.Sessions; }
};

double Mib(pid_t Pid) { return static_cast<double>(ProcessKib(Pid, "VmRSS")) / 1024.0; }

// Waits until the echo server holds no connection and the proxy has been idle (no CPU time) with
// its memory the same for two seconds: a proxy may still be closing sessions, or give memory back
// a moment after they have ended. At most ten seconds.
double SettledMib(pid_t Pid, const TEchoServer& Echo) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Echo.Open() > 0 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  double last = Mib(Pid), lastCpu = ProcessCpuSeconds(Pid);
  for (int i = 0, same = 0; i < 100 && same < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double now = Mib(Pid), cpu = ProcessCpuSeconds(Pid);
    same = now == last && cpu == lastCpu ? same + 1 : 0;
    last = now;
    lastCpu = cpu;
  }
  return last;
}

// Runs every row against the proxy listening at Port, process Pid.
void Measure(TColumn& Col, std::uint16_t Port, pid_t Pid, const TEchoServer& Echo) {
  TClients clients(Port);
  // Up and answering: one session, untimed.
  TClients::TOutcome warm = clients.OpenAndKeep(1, 1);
  clients.CloseOpen();
  if (warm.Done != 1) {
    Col.Error = "no session went through: " + warm.FirstError;
    return;
  }
  Col.StartMib = SettledMib(Pid, Echo);
  const int inFlight[3] = {1, 50, 500};
  for (int i = 0; i < 3; ++i) {
    const double cpu = ProcessCpuSeconds(Pid);
    TClients::TOutcome o = clients.Short(inFlight[i], gOptions.Seconds);
    if (o.Failed > 0 && Col.Error.empty())
      Col.Error = std::to_string(o.Failed) + " short sessions failed (" + o.FirstError + ")";
    Col.Rate[i] = static_cast<double>(o.Done) / o.Seconds;
    Col.CpuUs[i] = o.Done > 0 ? (ProcessCpuSeconds(Pid) - cpu) * 1e6 / static_cast<double>(o.Done) : 0;
    SettledMib(Pid, Echo);
  }
  Col.BeforeMib = SettledMib(Pid, Echo);
  for (int r = 0; r < kRounds; ++r) {
    TClients::TOutcome o = clients.OpenAndKeep(gOptions.Sessions, kOpenAtATime);
    if ((o.Failed > 0 || o.Done != gOptions.Sessions) && Col.Error.empty())
      Col.Error = "round " + std::to_string(r + 1) + ": " + std::to_string(o.Done) + " of " +
                  std::to_string(gOptions.Sessions) + " opened (" + o.FirstError + ")";
    Col.OpenRate[r] = static_cast<double>(o.Done) / o.Seconds;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Col.OpenMib[r] = Mib(Pid);
    clients.CloseOpen();
    Col.ClosedMib[r] = SettledMib(Pid, Echo);
  }
  Col.Ran = true;
}

// Waits until something listens at Port (a child still starting), up to the deadline.
bool AwaitListening(std::uint16_t Port, int Seconds) {
  TFd fd = ConnectLoopback(Port, Clock::now() + std::chrono::seconds(Seconds));
  return fd.Valid();
}

TColumn RunHaProxy(const TEchoServer& Echo, const TScratchDir& Scratch) {
  TColumn col;
  if (!OnPath("haproxy")) {
    col.Skipped = "HAProxy is not installed (Debian package haproxy; scripts/install-deps installs it)";
    return col;
  }
  const std::uint16_t port = FreePort();
  const std::string config = Scratch.File("haproxy.cfg");
  {
    std::ofstream cfg(config);
    cfg << "global\n"
        << "  maxconn " << gOptions.Sessions + 1000 << "\n"
        << "  nbthread " << gOptions.HaProxyThreads << "\n"
        << "defaults\n"
        << "  mode tcp\n"
        << "  maxconn " << gOptions.Sessions + 1000 << "\n"
        << "  timeout connect 10s\n  timeout client 5m\n  timeout server 5m\n"
        << "frontend sessions\n"
        << "  bind 127.0.0.1:" << port << "\n"
        << "  default_backend echo\n"
        << "backend echo\n"
        << "  server echo 127.0.0.1:" << Echo.Port << "\n";
  }
  TChild proxy({"haproxy", "-db", "-f", config}, Scratch.File("haproxy.stderr"));
  if (!proxy.Started() || !AwaitListening(port, 10)) {
    col.Skipped = "HAProxy did not start (see haproxy -db -f with the configuration above)";
    return col;
  }
  Measure(col, port, proxy.Pid(), Echo);
  return col;
}

TColumn RunRelay(const TEchoServer& Echo, const TScratchDir& Scratch, bool Quiet) {
  TColumn col;
  const std::uint16_t port = FreePort();
  std::vector<std::string> args = gOptions.Wrap;
  args.insert(args.end(), {VANTREL_PROGRAM, "--headless", "--local-port", std::to_string(port),
                           "--remote-addr", "127.0.0.1", "--remote-port", std::to_string(Echo.Port)});
  if (Quiet) args.push_back("--quiet");
  const std::string entries = Scratch.File(Quiet ? "quiet.out" : "entries.txt");
  TChild relay(args, Scratch.File("relay.stderr"), entries);
  if (!relay.Started() || !AwaitListening(port, 10)) {
    col.Skipped = "the headless relay did not start";
    return col;
  }
  Measure(col, port, relay.Pid(), Echo);
  relay.Signal(SIGTERM);
  relay.WaitExit(30000);
  return col;
}

// ---- the table ----

std::string Figure(double V, int Decimals = 0) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", Decimals, V);
  return buf;
}

std::string Ratio(double Ours, double Theirs) {
  if (Theirs <= 0) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2fx", Ours / Theirs);
  return buf;
}

void PrintTable(const TColumn& Ha, const TColumn& Quiet, const TColumn& File) {
  struct TCol {
    const TColumn* C;
    const char* Name;
  };
  const TCol cols[] = {{&Ha, "HAProxy"}, {&Quiet, "headless --quiet"}, {&File, "headless, entries to a file"}};
  const std::string n = std::to_string(gOptions.Sessions);
  std::printf("\n%-52s %12s %18s %8s %18s %8s\n", "", "HAProxy", "headless --quiet", "x HAP", "entries to a file", "x HAP");
  auto row = [&](const std::string& Label, auto Value, int Decimals) {
    std::printf("%-52s", Label.c_str());
    for (int i = 0; i < 3; ++i) {
      const TColumn& c = *cols[i].C;
      const std::string v = c.Ran ? Figure(Value(c), Decimals) : "-";
      std::printf(i == 0 ? " %12s" : " %18s", v.c_str());
      if (i > 0) std::printf(" %8s", c.Ran && Ha.Ran ? Ratio(Value(c), Value(Ha)).c_str() : "-");
    }
    std::printf("\n");
  };
  const int inFlight[3] = {1, 50, 500};
  for (int i = 0; i < 3; ++i)
    row("short sessions a second, " + std::to_string(inFlight[i]) + " in flight", [i](const TColumn& c) { return c.Rate[i]; }, 0);
  for (int i = 0; i < 3; ++i)
    row("  proxy CPU per short session (us), " + std::to_string(inFlight[i]) + " in flight",
        [i](const TColumn& c) { return c.CpuUs[i]; }, 1);
  row("opening " + n + " that stay open (" + std::to_string(kOpenAtATime) + " at a time), a second",
      [](const TColumn& c) { return c.OpenRate[0]; }, 0);
  row("  the same, rounds 2 to 4 (best)", [](const TColumn& c) {
    return std::max({c.OpenRate[1], c.OpenRate[2], c.OpenRate[3]});
  }, 0);
  row("memory (RSS, MB) at start", [](const TColumn& c) { return c.StartMib; }, 1);
  row("memory before the rounds", [](const TColumn& c) { return c.BeforeMib; }, 1);
  row("memory with " + n + " open", [](const TColumn& c) { return c.OpenMib[0]; }, 1);
  row("  per session (KiB, over the memory before)", [](const TColumn& c) { return c.PerSessionKib(); }, 2);
  for (int r = 0; r < kRounds; ++r) {
    row("round " + std::to_string(r + 1) + ": memory with " + n + " open", [r](const TColumn& c) { return c.OpenMib[r]; }, 1);
    row("round " + std::to_string(r + 1) + ": memory after they closed", [r](const TColumn& c) { return c.ClosedMib[r]; }, 1);
  }
  std::printf("x HAP: the relay's figure over HAProxy's in this run (sessions a second: above 1 is faster;\n"
              "memory and CPU: above 1 is more).\n");
  for (const TCol& c : cols) {
    if (!c.C->Skipped.empty()) std::printf("%s: skipped: %s\n", c.Name, c.C->Skipped.c_str());
    if (!c.C->Error.empty()) std::printf("%s: %s\n", c.Name, c.C->Error.c_str());
  }
}

void ParseOptions(int Argc, char** Argv) {
  for (int i = 1; i < Argc; ++i) {
    const std::string a = Argv[i];
    auto value = [&](const char* Name) -> std::optional<std::string> {
      const std::string prefix = std::string("--") + Name + "=";
      if (a.rfind(prefix, 0) != 0) return std::nullopt;
      return a.substr(prefix.size());
    };
    if (auto v = value("seconds")) {
      gOptions.Seconds = std::clamp(std::atof(v->c_str()), 0.2, 60.0);
    } else if (auto v = value("sessions")) {
      gOptions.Sessions = std::clamp(std::atoi(v->c_str()), 64, 8000);
    } else if (auto v = value("only")) {
      gOptions.HaProxy = v->find("haproxy") != std::string::npos;
      gOptions.Quiet = v->find("quiet") != std::string::npos;
      gOptions.File = v->find("file") != std::string::npos;
    } else if (auto v = value("wrap")) {
      std::istringstream words(*v);
      for (std::string w; words >> w;) gOptions.Wrap.push_back(w);
    } else if (auto v = value("haproxy-threads")) {
      gOptions.HaProxyThreads = std::clamp(std::atoi(v->c_str()), 1, 64);
    } else {
      std::fprintf(stderr, "bench_sessions: unknown option %s\n", a.c_str());
      std::exit(2);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  ParseOptions(argc, argv);
  // Two descriptors a session in each process, and room for the rest. Below what 8,000 need, the
  // count is scaled down to what fits.
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &lim);
  const long fits = lim.rlim_max == RLIM_INFINITY ? 1L << 20 : (static_cast<long>(lim.rlim_max) - 512) / 2 / 64 * 64;
  if (fits < gOptions.Sessions) {
    gOptions.Sessions = static_cast<int>(std::max(64L, fits));
    std::printf("The hard limit of descriptors is %ld: %d sessions instead of 8000 (two descriptors a session in "
                "each process).\n",
                static_cast<long>(lim.rlim_max), gOptions.Sessions);
  }
  std::printf("Sessions through a proxy on 127.0.0.1: each client connects, sends %zu bytes, reads them back, then\n"
              "closes or stays open. %d sessions open at most; short rows %.1f s each; HAProxy with %d thread(s);\n"
              "%u CPUs.\n",
              kMessage, gOptions.Sessions, gOptions.Seconds, gOptions.HaProxyThreads, std::thread::hardware_concurrency());
  std::fflush(stdout);

  TEchoServer echo;
  TScratchDir scratch;
  TColumn ha, quiet, file;
  if (gOptions.HaProxy) ha = RunHaProxy(echo, scratch);
  else ha.Skipped = "not asked for (--only)";
  if (gOptions.Quiet) quiet = RunRelay(echo, scratch, true);
  else quiet.Skipped = "not asked for (--only)";
  if (gOptions.File) file = RunRelay(echo, scratch, false);
  else file.Skipped = "not asked for (--only)";
  PrintTable(ha, quiet, file);
  return 0;
}
