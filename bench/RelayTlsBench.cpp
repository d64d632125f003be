// The relay with TLS on both legs (the headless program: --local-tls --remote-tls), against
// stunnel doing the same in the same run (two services in one process: TLS in, plaintext across,
// TLS out), both in front of the same TLS server:
//   - throughput: 1 GiB from a TLS client through the front to a TLS server that counts it;
//   - the handshake time the front adds: a connection, both handshakes and one byte there and
//     back, through the front, less the same straight to the server (median of kRounds);
//   - the front's CPU seconds per GiB (from /proc of the child).
// Client and server are OpenSSL on blocking sockets, each in a thread of this process. Figures and
// ratios only; nothing is asserted. Without stunnel4 its rows are skipped.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#undef htons
#undef ntohs

#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchPeers.h"
#include "tests/tls/TlsTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kTotal = 1ll << 30;
constexpr int kChunk = 64 << 10;
constexpr int kRounds = 30;

double Since(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }

// User and system CPU seconds of a process so far.
double CpuOf(pid_t Pid) {
  std::ifstream in("/proc/" + std::to_string(Pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  std::vector<std::string> v;
  while (fields >> f) v.push_back(f);
  if (v.size() < 13) return 0;
  return (std::stod(v[11]) + std::stod(v[12])) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The TLS server: each connection answers one byte, then counts what comes until close_notify.
struct TServer {
  SSL_CTX* Ctx = nullptr;
  int Fd = -1;
  std::uint16_t Port = 0;
  std::atomic<std::int64_t> LastCount{0};
  std::atomic<int> Served{0};
  std::thread Thread;
  std::atomic<bool> Stop{false};

  void Start() {
    Ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(Ctx, tlstest::Certs().ServerCert.c_str());
    SSL_CTX_use_PrivateKey_file(Ctx, tlstest::Certs().ServerKey.c_str(), SSL_FILETYPE_PEM);
    Fd = bench::ListenLoopback(Port, 64);
    Thread = std::thread([this] {
      std::vector<char> buf(kChunk);
      while (!Stop) {
        const int c = ::accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        SSL* s = SSL_new(Ctx);
        SSL_set_fd(s, c);
        std::int64_t count = 0;
        char b = 0;
        if (SSL_accept(s) == 1 && SSL_read(s, &b, 1) == 1 && SSL_write(s, &b, 1) == 1) {
          int n;
          while ((n = SSL_read(s, buf.data(), kChunk)) > 0) count += n;
          SSL_shutdown(s);
        }
        SSL_free(s);
        ::close(c);
        LastCount = count;
        ++Served;
      }
    });
  }
  ~TServer() {
    Stop = true;
    ::shutdown(Fd, SHUT_RDWR);
    const int wake = bench::ConnectNoDelay(Port);
    if (Thread.joinable()) Thread.join();
    if (wake >= 0) ::close(wake);
    ::close(Fd);
    SSL_CTX_free(Ctx);
  }
};

// One client connection through Port: the handshake and one byte back (seconds), then Bytes.
struct TClientRun {
  double FirstByte = -1;
  double Bulk = -1;
};

TClientRun RunClient(SSL_CTX* Ctx, std::uint16_t Port, std::int64_t Bytes, TServer& Server) {
  TClientRun r;
  const int served = Server.Served;
  const auto start = Clock::now();
  const int fd = bench::ConnectNoDelay(Port);
  if (fd < 0) return r;
  SSL* s = SSL_new(Ctx);
  SSL_set_fd(s, fd);
  SSL_set_tlsext_host_name(s, "localhost");
  SSL_set1_host(s, "localhost");
  char b = 'x';
  if (SSL_connect(s) == 1 && SSL_write(s, &b, 1) == 1 && SSL_read(s, &b, 1) == 1) {
    r.FirstByte = Since(start);
    const std::string chunk = tlstest::Pattern(kChunk, 5);
    const auto bulk = Clock::now();
    std::int64_t sent = 0;
    while (sent < Bytes) {
      const int n = SSL_write(s, chunk.data(), static_cast<int>(std::min<std::int64_t>(kChunk, Bytes - sent)));
      if (n <= 0) break;
      sent += n;
    }
    SSL_shutdown(s);
    ::shutdown(fd, SHUT_WR);
    // Until the server has counted everything (or given up).
    for (int i = 0; i < 60000 && Server.Served == served; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (Server.LastCount == Bytes) r.Bulk = Since(bulk);
  }
  SSL_free(s);
  ::close(fd);
  return r;
}

double Median(std::vector<double> V) {
  if (V.empty()) return -1;
  std::sort(V.begin(), V.end());
  return V[V.size() / 2];
}

struct TFront {
  const char* Name;
  pid_t Pid = -1;
  std::uint16_t Port = 0;
};

struct TFigures {
  double MiBps = -1, FirstByteMs = -1, CpuPerGiB = -1;
};

TFigures Measure(SSL_CTX* Client, std::uint16_t Port, pid_t Pid, TServer& Server) {
  TFigures f;
  std::vector<double> firsts;
  for (int i = 0; i < kRounds; ++i) {
    const TClientRun r = RunClient(Client, Port, 0, Server);
    if (r.FirstByte >= 0) firsts.push_back(r.FirstByte * 1000);
  }
  f.FirstByteMs = Median(firsts);
  const double cpu = Pid > 0 ? CpuOf(Pid) : 0;
  const TClientRun bulk = RunClient(Client, Port, kTotal, Server);
  if (bulk.Bulk > 0) {
    f.MiBps = static_cast<double>(kTotal) / (1 << 20) / bulk.Bulk;
    if (Pid > 0) f.CpuPerGiB = (CpuOf(Pid) - cpu) / (static_cast<double>(kTotal) / (1 << 30));
  }
  return f;
}

bool WaitListening(std::uint16_t Port) {
  for (int i = 0; i < 500; ++i) {
    if (tlstest::Listening(Port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool Have(const char* Program) {
  return std::system((std::string("command -v ") + Program + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

int main() {
  TServer server;
  server.Start();
  SSL_CTX* client = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(client, tlstest::Certs().Ca.c_str(), nullptr);
  SSL_CTX_set_verify(client, SSL_VERIFY_PEER, nullptr);
  const std::string remote = std::to_string(server.Port);

  const TFigures direct = Measure(client, server.Port, -1, server);

  // The relay, headless and quiet, with the same certificate as stunnel's. The remote side is an
  // address, as stunnel's is once its configuration is read: with a name, the relay looks it up
  // for every session (some 5 ms for "localhost" here), which is no part of TLS.
  const std::uint16_t relayPort = tlstest::UnusedPort();
  tlstest::TChild relay({VANTREL_PROGRAM, "--headless", "--quiet", "--local-port", std::to_string(relayPort),
                         "--remote-addr", "127.0.0.1", "--remote-port", remote, "--local-tls", "--remote-tls", "--cert",
                         tlstest::Certs().ServerCert, "--key", tlstest::Certs().ServerKey, "--remote-ca",
                         tlstest::Certs().Ca});
  TFigures ours;
  if (WaitListening(relayPort)) ours = Measure(client, relayPort, relay.Pid, server);
  ::kill(relay.Pid, SIGTERM);

  TFigures peer;
  const bool haveStunnel = Have("stunnel4");
  if (haveStunnel) {
    tlstest::TTempDir dir;
    const std::uint16_t in = tlstest::UnusedPort(), across = tlstest::UnusedPort();
    tlstest::WriteFile(dir / "stunnel.conf",
                       "foreground = yes\npid =\nsyslog = no\ndebug = 0\n"
                       "[in]\naccept = 127.0.0.1:" + std::to_string(in) + "\nconnect = 127.0.0.1:" +
                           std::to_string(across) + "\ncert = " + tlstest::Certs().ServerCert + "\nkey = " +
                           tlstest::Certs().ServerKey + "\n"
                       "[out]\nclient = yes\naccept = 127.0.0.1:" + std::to_string(across) + "\nconnect = 127.0.0.1:" +
                           remote + "\nverifyChain = yes\nCAfile = " + tlstest::Certs().Ca +
                           "\ncheckHost = localhost\nsni = localhost\n");
    tlstest::TChild stunnel({"stunnel4", dir / "stunnel.conf"});
    if (WaitListening(in)) peer = Measure(client, in, stunnel.Pid, server);
  }

  std::printf("TLS on both legs, 1 GiB one way; first byte: connect, both handshakes, one byte there and back (median of %d)\n",
              kRounds);
  std::printf("  %-28s %10s %9s %14s %12s\n", "", "MiB/s", "ratio", "first byte ms", "CPU s/GiB");
  auto row = [&](const char* Name, const TFigures& F, bool Ratio) {
    std::printf("  %-28s %10.1f %9s %14.3f %12s\n", Name, F.MiBps,
                Ratio && peer.MiBps > 0 && F.MiBps > 0 ? (std::to_string(F.MiBps / peer.MiBps).substr(0, 5) + " x").c_str() : "",
                F.FirstByteMs, F.CpuPerGiB >= 0 ? std::to_string(F.CpuPerGiB).substr(0, 5).c_str() : "");
  };
  row("straight to the server", direct, false);
  row("through the relay", ours, true);
  if (haveStunnel)
    row("through stunnel", peer, false);
  else
    std::printf("  stunnel4 not installed: its row is skipped\n");
  if (ours.FirstByteMs >= 0 && direct.FirstByteMs >= 0)
    std::printf("  handshake time added: relay %.3f ms", ours.FirstByteMs - direct.FirstByteMs);
  if (haveStunnel && peer.FirstByteMs >= 0) std::printf(", stunnel %.3f ms", peer.FirstByteMs - direct.FirstByteMs);
  std::printf("\n");
  SSL_CTX_free(client);
  return 0;
}
