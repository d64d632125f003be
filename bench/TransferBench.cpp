// Throughput of one loopback connection: 256 MiB from one TWSocket to another, in plain mode and
// in line mode, against the same transfer between two plain non-blocking POSIX sockets.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#undef htons
#undef ntohs

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "net/WSocket.h"
#include "tests/net/SocketTestSupport.h"
#include "platform/MessageLoop.h"

namespace {

constexpr std::int64_t kTotal = 256ll << 20;
constexpr std::int32_t kChunk = 64 << 10;
constexpr std::int64_t kHighWater = 4 << 20;  // what the sender lets queue in the chain
std::map<std::string, double> gMiBps;

// Two connected components over loopback, as the tests make them.
using Pair = testsupport::ComponentPair;

// Chunks whose bytes make lines of 100 to 1500 bytes, each ending in CR LF.
std::string LineChunk() {
  std::string s;
  std::uint32_t x = 1;
  while (s.size() < static_cast<std::size_t>(kChunk)) {
    x = x * 1664525u + 1013904223u;
    std::size_t len = 100 + (x >> 16) % 1400;
    for (std::size_t i = 0; i < len; ++i) s += static_cast<char>('a' + (i + x) % 26);
    s += "\r\n";
  }
  s.resize(static_cast<std::size_t>(kChunk) - 2);
  s += "\r\n";
  return s;
}

void Transfer(benchmark::State& state, bool lineMode, const char* name) {
  const std::string chunk = lineMode ? LineChunk() : std::string(static_cast<std::size_t>(kChunk), 'x');
  for (auto _ : state) {
    Pair p;
    if (!p.Open()) {
      state.SkipWithError("no connection");
      return;
    }
    std::int64_t sent = 0, received = 0;
    std::string buf(static_cast<std::size_t>(kChunk), '\0');
    if (lineMode) {
      p.Server.SetLineMode(true);
      p.Server.SetLineLimit(0);
      p.Server.OnDataAvailable = [&](TComponent*, std::uint16_t) { received += static_cast<std::int64_t>(p.Server.ReceiveText().size()); };
    } else {
      p.Server.OnDataAvailable = [&](TComponent*, std::uint16_t) {
        std::int32_t n = p.Server.Receive(buf.data(), kChunk);
        if (n > 0) received += n;
      };
    }
    auto start = std::chrono::steady_clock::now();
    while (received < kTotal) {
      while (sent < kTotal && p.Client.BufferedSendBytes() < kHighWater) {
        p.Client.Send(chunk.data(), kChunk);
        sent += kChunk;
      }
      platform::WaitAndDispatch(100);
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(secs);
    gMiBps[name] = static_cast<double>(kTotal) / (1 << 20) / secs;
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}

void BM_TWSocketPlain(benchmark::State& state) { Transfer(state, false, "TWSocket plain"); }
void BM_TWSocketLineMode(benchmark::State& state) { Transfer(state, true, "TWSocket line mode"); }

// The reference: the same bytes between two non-blocking POSIX sockets driven by poll.
void BM_PosixReference(benchmark::State& state) {
  for (auto _ : state) {
    int lst = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    ::bind(lst, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(lst, 1);
    socklen_t len = sizeof a;
    ::getsockname(lst, reinterpret_cast<sockaddr*>(&a), &len);
    int cli = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(cli, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int srv = ::accept(lst, nullptr, nullptr);
    ::close(lst);
    for (int fd : {cli, srv}) ::fcntl(fd, F_SETFL, O_NONBLOCK);
    std::string out(static_cast<std::size_t>(kChunk), 'x'), in(static_cast<std::size_t>(kChunk), '\0');
    std::int64_t sent = 0, received = 0;
    std::size_t off = 0;
    auto start = std::chrono::steady_clock::now();
    while (received < kTotal) {
      pollfd fds[2] = {{cli, static_cast<short>(sent < kTotal ? POLLOUT : 0), 0}, {srv, POLLIN, 0}};
      ::poll(fds, 2, 100);
      if (fds[0].revents & POLLOUT) {
        ssize_t n = ::send(cli, out.data() + off, out.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
          sent += n;
          off = (off + static_cast<std::size_t>(n)) % out.size();
        }
      }
      if (fds[1].revents & POLLIN) {
        ssize_t n = ::recv(srv, in.data(), in.size(), 0);
        if (n > 0) received += n;
      }
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(secs);
    gMiBps["POSIX reference"] = static_cast<double>(kTotal) / (1 << 20) / secs;
    ::close(cli);
    ::close(srv);
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}

BENCHMARK(BM_PosixReference)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TWSocketPlain)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TWSocketLineMode)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  double ref = gMiBps["POSIX reference"];
  std::printf("\n256 MiB over one loopback connection (last run of each):\n");
  for (const auto& [name, mibps] : gMiBps)
    std::printf("  %-20s %9.1f MiB/s   %5.2f x reference\n", name.c_str(), mibps, ref > 0 ? mibps / ref : 0.0);
  return 0;
}
