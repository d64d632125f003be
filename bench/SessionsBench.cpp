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
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchPeers.h"

using namespace bench;

namespace {

constexpr std::size_t kMessage = 100;  // bytes each client sends and reads back
constexpr int kOpenAtATime = 64;
constexpr int kRounds = 4;

struct TOptions {
  double Seconds = 3;
  int Sessions = 8000;
  bool HaProxy = true, Quiet = true, File = true;
  int HaProxyThreads = 1;
  std::vector<std::string> Wrap;
} gOptions;

// ---- the echo server ----

// Accepts every connection and sends back what it reads; closes once the peer has ended its stream.
class TEchoServer {
public:
  TEchoServer() {
    FListen.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int on = 1;
    ::setsockopt(FListen.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = Loopback(0);
    ::bind(FListen.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(FListen.Get(), 4096);
    socklen_t len = sizeof a;
    ::getsockname(FListen.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    Port = ::ntohs(a.sin_port);
    FStop.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    FThread = std::thread([this] { Run(); });
  }
  ~TEchoServer() {
    std::uint64_t one = 1;
    if (::write(FStop.Get(), &one, sizeof one) != sizeof one) std::perror("echo server: stop");
    FThread.join();
  }
  std::uint16_t Port = 0;
  // Connections accepted and not yet closed.
  int Open() const { return FOpen.load(); }

private:
  void Run() {
    TFd ep(::epoll_create1(EPOLL_CLOEXEC));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = FListen.Get();
    ::epoll_ctl(ep.Get(), EPOLL_CTL_ADD, FListen.Get(), &ev);
    ev.data.fd = FStop.Get();
    ::epoll_ctl(ep.Get(), EPOLL_CTL_ADD, FStop.Get(), &ev);
    std::vector<bool> open;
    std::vector<epoll_event> events(256);
    char buf[4096];
    for (;;) {
      const int n = ::epoll_wait(ep.Get(), events.data(), static_cast<int>(events.size()), 1000);
      for (int i = 0; i < n; ++i) {
        const int fd = events[static_cast<std::size_t>(i)].data.fd;
        if (fd == FStop.Get()) {
          for (std::size_t c = 0; c < open.size(); ++c)
            if (open[c]) ::close(static_cast<int>(c));
          return;
        }
        if (fd == FListen.Get()) {
          for (int k = 0; k < 1024; ++k) {
            const int c = ::accept4(FListen.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c < 0) break;
            if (static_cast<std::size_t>(c) >= open.size()) open.resize(static_cast<std::size_t>(c) + 1024);
            open[static_cast<std::size_t>(c)] = true;
            ++FOpen;
            epoll_event cev{};
            cev.events = EPOLLIN;
            cev.data.fd = c;
            ::epoll_ctl(ep.Get(), EPOLL_CTL_ADD, c, &cev);
          }
          continue;
        }
        // A message is 100 bytes: the socket always takes the answer whole.
        const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
        if (got > 0 && ::send(fd, buf, static_cast<std::size_t>(got), MSG_NOSIGNAL) == got) continue;
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        ::epoll_ctl(ep.Get(), EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        open[static_cast<std::size_t>(fd)] = false;
        --FOpen;
      }
    }
  }

  TFd FListen, FStop;
  std::atomic<int> FOpen{0};
  std::thread FThread;
};

// ---- the clients ----

// Each client: connect, send 100 bytes, read them back, then close or stay open. Non-blocking, on
// one epoll, on the calling thread.
class TClients {
public:
  explicit TClients(std::uint16_t Port) : FPort(Port), FEp(::epoll_create1(EPOLL_CLOEXEC)) {}
  ~TClients() { CloseOpen(); }

  struct TOutcome {
    long Done = 0;
    long Failed = 0;
    double Seconds = 0;
    std::string FirstError;
  };

  // Short sessions, InFlight at a time, for Seconds (and those still under way when it ends).
  TOutcome Short(int InFlight, double Seconds) {
    return Run(InFlight, -1, Seconds, false);
  }
  // Count sessions that stay open, started InFlight at a time.
  TOutcome OpenAndKeep(int Count, int InFlight) { return Run(InFlight, Count, 120, true); }

  std::size_t Kept() const { return FKept.size(); }
  void CloseOpen() {
    for (int fd : FKept) ::close(fd);
    FKept.clear();
  }

private:
  struct TConn {
    int Fd = -1;
    std::size_t Sent = 0, Got = 0;
    unsigned char Seed = 0;
    bool Connected = false;
  };

  static char ByteOf(unsigned char Seed, std::size_t I) { return static_cast<char>((Seed + I * 7) & 0xFF); }

  bool Start(TConn& C, unsigned char Seed, std::string& Error) {
    C = TConn{};
    C.Seed = Seed;
    C.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (C.Fd < 0) {
      Error = std::string("socket: ") + std::strerror(errno);
      return false;
    }
    SetNoDelay(C.Fd);
    sockaddr_in a = Loopback(FPort);
    if (::connect(C.Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
      Error = std::string("connect: ") + std::strerror(errno);
      ::close(C.Fd);
      C.Fd = -1;
      return false;
    }
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.ptr = &C;
    ::epoll_ctl(FEp.Get(), EPOLL_CTL_ADD, C.Fd, &ev);
    return true;
  }

  // One step of a connection; 1 when its exchange is complete, -1 when it failed, 0 otherwise.
  int Step(TConn& C, std::uint32_t Events, std::string& Error) {
    if (Events & (EPOLLERR | EPOLLHUP)) {
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(C.Fd, SOL_SOCKET, SO_ERROR, &err, &len);
      Error = std::string("connection failed: ") + std::strerror(err != 0 ? err : ECONNRESET);
      return -1;
    }
    if (!C.Connected && (Events & EPOLLOUT)) {
      C.Connected = true;
      char msg[kMessage];
      for (std::size_t i = 0; i < kMessage; ++i) msg[i] = ByteOf(C.Seed, i);
      const ssize_t n = ::send(C.Fd, msg, kMessage, MSG_NOSIGNAL);
      if (n != static_cast<ssize_t>(kMessage)) {
        Error = "the message did not go out whole";
        return -1;
      }
      C.Sent = kMessage;
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = &C;
      ::epoll_ctl(FEp.Get(), EPOLL_CTL_MOD, C.Fd, &ev);
      return 0;
    }
    if (Events & EPOLLIN) {
      char buf[kMessage];
      const ssize_t n = ::recv(C.Fd, buf, kMessage - C.Got, 0);
      if (n == 0) {
        Error = "the proxy ended the stream early";
        return -1;
      }
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return 0;
        Error = std::string("recv: ") + std::strerror(errno);
        return -1;
      }
      for (ssize_t i = 0; i < n; ++i)
        if (buf[i] != ByteOf(C.Seed, C.Got + static_cast<std::size_t>(i))) {
          Error = "the bytes that came back differ from those sent";
          return -1;
        }
      C.Got += static_cast<std::size_t>(n);
      if (C.Got == kMessage) return 1;
    }
    return 0;
  }

  TOutcome Run(int InFlight, int Count, double Seconds, bool Keep) {
    TOutcome out;
    std::vector<TConn> slots(static_cast<std::size_t>(InFlight));
    std::vector<std::size_t> idle;
    for (std::size_t i = slots.size(); i-- > 0;) idle.push_back(i);
    long started = 0;
    unsigned char seed = 1;
    const auto start = Clock::now();
    const auto stopStarting = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(Seconds));
    const auto deadline = stopStarting + std::chrono::seconds(30);  // for those under way
    std::vector<epoll_event> events(512);
    int active = 0;
    auto more = [&] { return Count < 0 ? Clock::now() < stopStarting : started < Count; };
    for (long rounds = 0; rounds < 100000000L; ++rounds) {
      while (!idle.empty() && more() && out.Failed < 100) {
        TConn& c = slots[idle.back()];
        std::string error;
        ++started;
        if (!Start(c, seed++, error)) {
          ++out.Failed;
          if (out.FirstError.empty()) out.FirstError = error;
          continue;
        }
        idle.pop_back();
        ++active;
      }
      if (active == 0 || Clock::now() > deadline) break;
      const int n = ::epoll_wait(FEp.Get(), events.data(), static_cast<int>(events.size()), 1000);
      for (int i = 0; i < n; ++i) {
        auto* c = static_cast<TConn*>(events[static_cast<std::size_t>(i)].data.ptr);
        std::string error;
        const int r = Step(*c, events[static_cast<std::size_t>(i)].events, error);
        if (r == 0) continue;
        if (r > 0) {
          ++out.Done;
        } else {
          ++out.Failed;
          if (out.FirstError.empty()) out.FirstError = error;
        }
        ::epoll_ctl(FEp.Get(), EPOLL_CTL_DEL, c->Fd, nullptr);
        if (r > 0 && Keep)
          FKept.push_back(c->Fd);
        else
          ::close(c->Fd);
        c->Fd = -1;
        idle.push_back(static_cast<std::size_t>(c - slots.data()));
        --active;
      }
    }
    out.Seconds = SecondsSince(start);
    for (TConn& c : slots)
      if (c.Fd >= 0) ::close(c.Fd);
    return out;
  }

  std::uint16_t FPort;
  TFd FEp;
  std::vector<int> FKept;
};

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
