// The TLS layer of the socket component, against OpenSSL doing the same in the same run:
//   - throughput of one TLS connection over loopback, 256 MiB one way, both ends in this thread:
//     a pair of TWSockets with TLS (memory BIOs under the component) against two SSL objects on
//     the sockets themselves (OpenSSL's socket BIOs), driven by poll;
//   - the same bytes from a TWSocket to `openssl s_server`, against `openssl s_client` to
//     `openssl s_server`;
//   - the time of a handshake (TCP connect and TLS 1.3 on both ends), a TWSocket pair against
//     the SSL pair;
//   - CPU seconds per GiB moved (this process, and the openssl children where they take part).
// Figures and ratios only; nothing here is asserted.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#undef htons
#undef ntohs

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "platform/MessageLoop.h"
#include "tests/tls/TlsTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kTotal = 256ll << 20;
constexpr std::int32_t kChunk = 64 << 10;
constexpr std::int64_t kHighWater = 4 << 20;
constexpr int kHandshakes = 200;

double Since(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }

double ProcessCpu() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double ChildrenCpu() {
  rusage ru{};
  ::getrusage(RUSAGE_CHILDREN, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

struct TFigure {
  double Seconds = 0, Cpu = 0;
  double MiBps() const { return Seconds > 0 ? static_cast<double>(kTotal) / (1 << 20) / Seconds : 0; }
  double CpuPerGiB() const { return Cpu / (static_cast<double>(kTotal) / (1ll << 30)); }
};

// ---- a TWSocket pair with TLS ----

TFigure TWSocketPair() {
  tlstest::TTlsPair p;
  if (!p.Open() || p.ClientEvents.HandshakeError != 0) {
    std::fprintf(stderr, "TWSocket pair: no TLS connection\n");
    return {};
  }
  std::int64_t received = 0, sent = 0;
  std::string buf(static_cast<std::size_t>(kChunk), '\0');
  p.Server.OnDataAvailable = [&](TComponent*, std::uint16_t) {
    std::int32_t n = p.Server.Receive(buf.data(), kChunk);
    if (n > 0) received += n;
  };
  const std::string chunk(static_cast<std::size_t>(kChunk), 'x');
  const double cpu0 = ProcessCpu();
  const auto start = Clock::now();
  while (received < kTotal) {
    while (sent < kTotal && p.Client.BufferedSendBytes() < kHighWater) {
      p.Client.Send(chunk.data(), kChunk);
      sent += kChunk;
    }
    platform::WaitAndDispatch(100);
  }
  return {Since(start), ProcessCpu() - cpu0};
}

// ---- two SSL objects on loopback sockets, both in this thread ----

struct TSslPair {
  SSL_CTX* ClientCtx = nullptr;
  SSL_CTX* ServerCtx = nullptr;
  SSL* Client = nullptr;
  SSL* Server = nullptr;
  int ClientFd = -1, ServerFd = -1;

  TSslPair() {
    ClientCtx = SSL_CTX_new(TLS_client_method());
    ServerCtx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_load_verify_file(ClientCtx, tlstest::Certs().Ca.c_str());
    SSL_CTX_set_verify(ClientCtx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_use_certificate_chain_file(ServerCtx, tlstest::Certs().ServerCert.c_str());
    SSL_CTX_use_PrivateKey_file(ServerCtx, tlstest::Certs().ServerKey.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_mode(ClientCtx, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_mode(ServerCtx, SSL_MODE_RELEASE_BUFFERS);
  }
  ~TSslPair() {
    Drop();
    SSL_CTX_free(ClientCtx);
    SSL_CTX_free(ServerCtx);
  }
  void Drop() {
    SSL_free(Client);
    SSL_free(Server);
    Client = Server = nullptr;
    if (ClientFd >= 0) ::close(ClientFd);
    if (ServerFd >= 0) ::close(ServerFd);
    ClientFd = ServerFd = -1;
  }
  bool Connect() {
    testsupport::RawListener l;
    ClientFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = ::htons(l.Port);
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::connect(ClientFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    pollfd pf{l.Fd, POLLIN, 0};
    ::poll(&pf, 1, 5000);
    ServerFd = ::accept(l.Fd, nullptr, nullptr);
    for (int fd : {ClientFd, ServerFd}) ::fcntl(fd, F_SETFL, O_NONBLOCK);
    Client = SSL_new(ClientCtx);
    Server = SSL_new(ServerCtx);
    SSL_set_fd(Client, ClientFd);
    SSL_set_fd(Server, ServerFd);
    SSL_set_tlsext_host_name(Client, "localhost");
    SSL_set1_host(Client, "localhost");
    SSL_set_connect_state(Client);
    SSL_set_accept_state(Server);
    bool clientDone = false, serverDone = false;
    for (int i = 0; i < 10000 && !(clientDone && serverDone); ++i) {
      if (!clientDone) clientDone = SSL_do_handshake(Client) == 1;
      if (!serverDone) serverDone = SSL_do_handshake(Server) == 1;
      pollfd fds[2] = {{ClientFd, POLLIN, 0}, {ServerFd, POLLIN, 0}};
      if (!(clientDone && serverDone)) ::poll(fds, 2, 10);
    }
    return clientDone && serverDone;
  }
};

TFigure SslPair() {
  TSslPair p;
  if (!p.Connect()) {
    std::fprintf(stderr, "SSL pair: no connection\n");
    return {};
  }
  const std::string chunk(static_cast<std::size_t>(kChunk), 'x');
  std::string buf(static_cast<std::size_t>(kChunk), '\0');
  std::int64_t sent = 0, received = 0;
  const double cpu0 = ProcessCpu();
  const auto start = Clock::now();
  while (received < kTotal) {
    pollfd fds[2] = {{p.ClientFd, static_cast<short>(sent < kTotal ? POLLOUT : 0), 0}, {p.ServerFd, POLLIN, 0}};
    ::poll(fds, 2, 100);
    while (sent < kTotal) {
      std::size_t n = 0;
      if (SSL_write_ex(p.Client, chunk.data(), chunk.size(), &n) != 1) break;
      sent += static_cast<std::int64_t>(n);
    }
    for (;;) {
      std::size_t n = 0;
      if (SSL_read_ex(p.Server, buf.data(), buf.size(), &n) != 1) break;
      received += static_cast<std::int64_t>(n);
    }
  }
  return {Since(start), ProcessCpu() - cpu0};
}

// ---- against openssl's programs ----

std::string BulkFile() {
  static std::string path;
  if (!path.empty()) return path;
  path = tlstest::Certs().Dir / "bulk.bin";
  std::ofstream out(path, std::ios::binary);
  const std::string chunk(static_cast<std::size_t>(kChunk), 'x');
  for (std::int64_t at = 0; at < kTotal; at += kChunk) out.write(chunk.data(), kChunk);
  return path;
}

// `openssl s_server` writing what it reads to /dev/null, for one connection.
pid_t OpenSslServer(std::uint16_t Port) {
  const std::string accept = "127.0.0.1:" + std::to_string(Port);
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 1);
    ::dup2(null, 2);
    int never[2];
    if (::pipe(never) == 0) ::dup2(never[0], 0);  // its input stays open and empty
    ::execlp("openssl", "openssl", "s_server", "-accept", accept.c_str(), "-cert", tlstest::Certs().ServerCert.c_str(),
             "-key", tlstest::Certs().ServerKey.c_str(), "-quiet", "-naccept", "1", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!tlstest::Listening(Port) && Clock::now() < deadline) ::usleep(2000);
  return pid;
}

TFigure TWSocketToOpenSslServer() {
  const std::uint16_t port = testsupport::UnusedPort();
  const double children0 = ChildrenCpu();
  pid_t server = OpenSslServer(port);
  TWSocket sock{nullptr};
  bool ready = false, closed = false;
  auto context = tlstest::ClientContext();
  sock.OnSessionConnected = [&](TComponent*, std::uint16_t e) {
    if (e == 0) sock.StartTls(std::make_unique<TTlsEngine>(context, "localhost"));
  };
  sock.OnTlsHandshake = [&](TComponent*, std::uint16_t e) { ready = e == 0; };
  sock.OnSessionClosed = [&](TComponent*, std::uint16_t) { closed = true; };
  sock.SetAddr("127.0.0.1");
  sock.SetPort(std::to_string(port));
  sock.Connect();
  testsupport::PumpUntil([&] { return ready || closed; });
  if (!ready) {
    std::fprintf(stderr, "TWSocket to s_server: no TLS connection\n");
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    return {};
  }
  const std::string chunk(static_cast<std::size_t>(kChunk), 'x');
  std::int64_t sent = 0;
  const double cpu0 = ProcessCpu();
  const auto start = Clock::now();
  while (sent < kTotal || sock.BufferedSendBytes() > 0) {
    while (sent < kTotal && sock.BufferedSendBytes() < kHighWater) {
      sock.Send(chunk.data(), kChunk);
      sent += kChunk;
    }
    platform::WaitAndDispatch(100);
  }
  sock.Shutdown(1);
  testsupport::PumpUntil([&] {
    int st = 0;
    return ::waitpid(server, &st, WNOHANG) == server;
  }, 60000);
  const double seconds = Since(start);
  return {seconds, ProcessCpu() - cpu0 + ChildrenCpu() - children0};
}

TFigure OpenSslToOpenSslServer() {
  const std::string file = BulkFile();
  const std::uint16_t port = testsupport::UnusedPort();
  const double children0 = ChildrenCpu();
  pid_t server = OpenSslServer(port);
  const auto start = Clock::now();
  pid_t client = ::fork();
  if (client == 0) {
    int in = ::open(file.c_str(), O_RDONLY);
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(in, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    const std::string connect = "127.0.0.1:" + std::to_string(port);
    // At the end of its input the client sends close_notify and leaves; the server then ends.
    ::execlp("openssl", "openssl", "s_client", "-connect", connect.c_str(), "-brief", "-nocommands",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::waitpid(client, nullptr, 0);
  ::waitpid(server, nullptr, 0);
  return {Since(start), ChildrenCpu() - children0};
}

// ---- handshakes ----

double TWSocketHandshakeMs() {
  auto client = tlstest::ClientContext();
  auto server = tlstest::ServerContext();
  const auto start = Clock::now();
  for (int i = 0; i < kHandshakes; ++i) {
    tlstest::TTlsPair p;
    if (!p.Open(client, server) || p.ClientEvents.HandshakeError != 0) return 0;
  }
  return Since(start) * 1000 / kHandshakes;
}

double SslHandshakeMs() {
  TSslPair p;
  const auto start = Clock::now();
  for (int i = 0; i < kHandshakes; ++i) {
    if (!p.Connect()) return 0;
    p.Drop();
  }
  return Since(start) * 1000 / kHandshakes;
}

void Row(const char* Name, const TFigure& F, const TFigure& Reference) {
  std::printf("  %-34s %8.1f MiB/s  %5.2f x  %6.2f CPU s/GiB\n", Name, F.MiBps(),
              Reference.MiBps() > 0 ? F.MiBps() / Reference.MiBps() : 0.0, F.CpuPerGiB());
}

}  // namespace

int main(int argc, char** argv) {
  // "bench_tls pair": the TWSocket pair alone, for a profiler.
  if (argc > 1 && std::string(argv[1]) == "pair") {
    const TFigure ours = TWSocketPair();
    std::printf("TWSocket pair: %.1f MiB/s, %.2f CPU s/GiB\n", ours.MiBps(), ours.CpuPerGiB());
    return 0;
  }
  std::printf("TLS 1.3 over loopback, 256 MiB one way (ratio: against the row below it)\n");
  const TFigure ours = TWSocketPair();
  const TFigure ssl = SslPair();
  Row("TWSocket pair, TLS (one thread)", ours, ssl);
  Row("SSL pair on sockets (one thread)", ssl, ssl);
  const TFigure toServer = TWSocketToOpenSslServer();
  const TFigure openssl = OpenSslToOpenSslServer();
  Row("TWSocket -> openssl s_server", toServer, openssl);
  Row("openssl s_client -> s_server", openssl, openssl);
  const double ourHandshake = TWSocketHandshakeMs();
  const double sslHandshake = SslHandshakeMs();
  std::printf("\nHandshake (TCP connect and TLS 1.3, both ends here), mean of %d:\n", kHandshakes);
  std::printf("  %-34s %8.3f ms  %5.2f x\n", "TWSocket pair", ourHandshake, sslHandshake > 0 ? ourHandshake / sslHandshake : 0.0);
  std::printf("  %-34s %8.3f ms\n", "SSL pair on sockets", sslHandshake);
  return 0;
}
