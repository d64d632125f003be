// Faults on demand, measured: how close a bandwidth limit and an added latency come to their
// settings, and what the relay costs with no fault set against a direct connection and against a
// session whose stages pass everything straight on, all in the same run. Plain printed figures.
//
//   bench_faults            2 s a bandwidth point
//   bench_faults --long     10 s a bandwidth point
//
// The relay engine runs on this thread's loop; the peers run on threads of their own with blocking
// sockets, so that they never wait for the loop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchPeers.h"
#include "platform/MessageLoop.h"
#include "relay/Relay.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration D) { return std::chrono::duration<double>(D).count(); }

// A relay engine on this thread, to the server listening at ServerPort, with the faults given.
struct TRelayRun {
  TRelay Relay{nullptr, nullptr};
  std::uint16_t Port = 0;

  TRelayRun(std::uint16_t ServerPort, const std::vector<std::string>& Faults) {
    TFaultSet set;
    std::string error;
    if (!set.Parse(Faults, error)) std::fprintf(stderr, "bench_faults: %s\n", error.c_str());
    Relay.SetFaults(set);
    const std::uint16_t free = bench::FreePort();
    TRelaySettings s;
    s.LocalPort = std::to_string(free);
    s.RemoteAddr = "127.0.0.1";
    s.RemotePort = std::to_string(ServerPort);
    Relay.Listen(s);
    Port = free;
  }
  ~TRelayRun() {
    Relay.Cancel();
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (Relay.SessionCount() > 0 && Clock::now() < until) platform::WaitAndDispatch(5);
  }
};

// Pumps the loop until Count peer threads have finished: the relay serves both peers to their
// ends: a peer blocked on the relay finishes only while the loop runs.
void Pump(const std::atomic<int>& Done, int Count) {
  while (Done.load() < Count) platform::WaitAndDispatch(1);
}

// ---- bandwidth ----

// The server sends as fast as it can for Seconds; the client counts what arrives from its first
// byte on. Returns bytes a second.
double MeasureRate(std::uint64_t Rate, double Secs) {
  std::uint16_t serverPort = 0;
  const int listener = bench::ListenLoopback(serverPort);
  TRelayRun relay(serverPort, {"local:bandwidth=" + std::to_string(Rate) + "/s"});
  std::atomic<int> done{0};
  std::atomic<bool> stop{false};
  double measured = 0;
  std::thread server([&] {
    const int c = ::accept(listener, nullptr, nullptr);
    std::string block(64 << 10, 'x');
    while (!stop.load()) {
      if (::send(c, block.data(), std::min<std::size_t>(block.size(), std::max<std::uint64_t>(Rate / 10, 1)), MSG_NOSIGNAL) <= 0) break;
    }
    ::close(c);
    ++done;
  });
  std::thread client([&] {
    const int fd = bench::ConnectNoDelay(relay.Port);
    std::vector<char> buf(1 << 16);
    std::uint64_t got = 0;
    Clock::time_point first{};
    const timeval tv{0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    while (true) {
      const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      const auto now = Clock::now();
      if (n > 0) {
        if (got == 0) first = now;
        got += static_cast<std::uint64_t>(n);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        break;
      }
      if (got > 0 && Seconds(now - first) >= Secs) {
        // The bytes of the first read came at once; the rate is what followed them.
        measured = static_cast<double>(got) / Seconds(now - first);
        break;
      }
    }
    stop = true;
    ::close(fd);
    ++done;
  });
  Pump(done, 2);
  client.join();
  server.join();
  ::close(listener);
  return measured;
}

// ---- latency and round trips ----

// Round trips of one byte through Port to an echo server: each time in microseconds.
std::vector<double> RoundTrips(std::uint16_t Port, int Count) {
  std::vector<double> out;
  const int fd = bench::ConnectNoDelay(Port);
  if (fd < 0) return out;
  char b = 'p';
  for (int i = 0; i < Count; ++i) {
    const auto t0 = Clock::now();
    if (::send(fd, &b, 1, MSG_NOSIGNAL) != 1) break;
    if (::recv(fd, &b, 1, MSG_WAITALL) != 1) break;
    out.push_back(Seconds(Clock::now() - t0) * 1e6);
  }
  ::close(fd);
  return out;
}

// An echo server for one connection, on a thread.
std::thread EchoServer(int Listener, std::atomic<int>& Done) {
  return std::thread([Listener, &Done] {
    const int c = ::accept(Listener, nullptr, nullptr);
    const int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<char> buf(1 << 16);
    for (ssize_t n; (n = ::recv(c, buf.data(), buf.size(), 0)) > 0;)
      if (::send(c, buf.data(), static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
    ::close(c);
    ++Done;
  });
}

double Percentile(std::vector<double> V, double P) {
  if (V.empty()) return NAN;
  std::sort(V.begin(), V.end());
  const auto i = static_cast<std::size_t>(std::ceil(P * static_cast<double>(V.size()))) - 1;
  return V[std::min(i, V.size() - 1)];
}

// Round trips through a relay with Faults (or straight to the server when Direct).
std::vector<double> RelayRoundTrips(const std::vector<std::string>& Faults, int Count, bool Direct = false) {
  std::uint16_t serverPort = 0;
  const int listener = bench::ListenLoopback(serverPort);
  std::atomic<int> done{0};
  std::thread server = EchoServer(listener, done);
  std::vector<double> trips;
  if (Direct) {
    trips = RoundTrips(serverPort, Count);
  } else {
    TRelayRun relay(serverPort, Faults);
    std::thread client([&] {
      trips = RoundTrips(relay.Port, Count);
      ++done;
    });
    Pump(done, 2);
    client.join();
  }
  server.join();
  ::close(listener);
  return trips;
}

// ---- throughput ----

// Bytes a second of Total bytes sent one way through Faults' relay (or straight), read to the end.
double Throughput(const std::vector<std::string>& Faults, std::size_t Total, bool Direct = false) {
  std::uint16_t serverPort = 0;
  const int listener = bench::ListenLoopback(serverPort);
  double rate = 0;
  std::atomic<int> done{0};
  std::thread server([&] {
    const int c = ::accept(listener, nullptr, nullptr);
    std::vector<char> buf(1 << 18);
    std::size_t got = 0;
    const auto t0 = Clock::now();
    for (ssize_t n; (n = ::recv(c, buf.data(), buf.size(), 0)) > 0;) got += static_cast<std::size_t>(n);
    rate = static_cast<double>(got) / Seconds(Clock::now() - t0);
    ::close(c);
    ++done;
  });
  auto send = [&](std::uint16_t Port) {
    const int fd = bench::ConnectNoDelay(Port);
    std::string block(1 << 18, 'y');
    for (std::size_t sent = 0; sent < Total;) {
      const ssize_t n = ::send(fd, block.data(), std::min(block.size(), Total - sent), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    char b;
    while (::recv(fd, &b, 1, 0) > 0) {
    }
    ::close(fd);
  };
  if (Direct) {
    send(serverPort);
  } else {
    TRelayRun relay(serverPort, Faults);
    std::thread client([&] {
      send(relay.Port);
      ++done;
    });
    Pump(done, 2);
    client.join();
  }
  server.join();
  ::close(listener);
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  const bool longRun = argc > 1 && std::strcmp(argv[1], "--long") == 0;
  const double secs = longRun ? 10.0 : 2.0;

  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("Bandwidth toward Local, %.0f s a point (the setting is within +-5%% when the error is):\n", secs);
  std::printf("  %-12s %14s %14s %9s\n", "setting", "measured B/s", "setting B/s", "error");
  for (std::uint64_t rate : {1000ULL, 10000ULL, 100000ULL, 1000000ULL, 10000000ULL, 100000000ULL}) {
    const double got = MeasureRate(rate, secs);
    std::printf("  %-12s %14.0f %14llu %+8.2f%%\n", RateText(rate).c_str(), got, static_cast<unsigned long long>(rate),
                100.0 * (got - static_cast<double>(rate)) / static_cast<double>(rate));
    std::fflush(stdout);
  }

  std::printf("\nAdded latency toward Remote, one byte echoed; the relay without a fault in the same run is the base:\n");
  const std::vector<double> base = RelayRoundTrips({}, 400);
  const double baseMedian = Percentile(base, 0.5);
  std::printf("  base round trip: median %.0f us, p99 %.0f us\n", baseMedian, Percentile(base, 0.99));
  std::printf("  %-10s %8s %14s %14s %12s\n", "setting", "trips", "added median", "added p99", "p99 - set");
  for (std::int64_t us : {1000LL, 10000LL, 100000LL, 1000000LL}) {
    const int trips = static_cast<int>(std::clamp<std::int64_t>(2000000 / us, 3, 300));
    std::vector<double> t = RelayRoundTrips({"remote:latency=" + std::to_string(us) + "us"}, trips);
    for (double& x : t) x -= baseMedian;
    const double p99 = Percentile(t, 0.99);
    std::printf("  %-10s %8zu %11.0f us %11.0f us %+9.0f us\n", TimeText(us).c_str(), t.size(), Percentile(t, 0.5), p99,
                p99 - static_cast<double>(us));
    std::fflush(stdout);
  }

  std::printf("\nNo fault set, against a direct connection and a session whose stages pass everything on:\n");
  const std::size_t total = 512u << 20;
  const double direct = Throughput({}, total, true);
  const double plain = Throughput({}, total);
  const double staged = Throughput({"remote:stall=1000000GB"}, total);
  std::printf("  throughput, 512 MiB: direct %.0f MB/s, relay %.0f MB/s (%.2f of direct), relay with a stage that passes "
              "on %.0f MB/s (%.2f of the relay)\n",
              direct / 1e6, plain / 1e6, plain / direct, staged / 1e6, staged / plain);
  const std::vector<double> directTrips = RelayRoundTrips({}, 2000, true);
  const std::vector<double> plainTrips = RelayRoundTrips({}, 2000);
  const std::vector<double> stagedTrips = RelayRoundTrips({"remote:stall=1000000GB", "local:stall=1000000GB"}, 2000);
  std::printf("  round trip median: direct %.0f us, relay %.0f us (%.2fx), relay with stages %.0f us (%.2fx of the relay)\n",
              Percentile(directTrips, 0.5), Percentile(plainTrips, 0.5),
              Percentile(plainTrips, 0.5) / Percentile(directTrips, 0.5), Percentile(stagedTrips, 0.5),
              Percentile(stagedTrips, 0.5) / Percentile(plainTrips, 0.5));
  return 0;
}
