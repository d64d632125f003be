// What an idle session costs the relay: a thousand clients relayed on loopback to an echo server,
// each having sent 100 bytes and read them back, then left open. The engine writes no entries (as
// with --quiet), and the test's own peers hold nothing on the heap (their descriptors live in
// vectors reserved beforehand), so that what the heap gains is the relay's: its sessions, both
// sockets of each and their records in the loop. The peers' descriptors are moved above the
// relay's, so that the relay's own are numbered as in a process of its own (its records are kept by
// descriptor number). An idle session must cost at most 4 KiB of heap, and closing them all must
// give it back.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cstring>
#include <memory>
#include <vector>

#include "SocketTestSupport.h"
#include "relay/Relay.h"

#if defined(__SANITIZE_ADDRESS__)
#define SESSION_MEMORY_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SESSION_MEMORY_ASAN 1
#endif
#endif
#ifdef SESSION_MEMORY_ASAN
// The sanitizer's own count: under it, the C library's allocator statistics are not kept.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

using namespace testsupport;

namespace {

std::int64_t HeapInUse() {
#ifdef SESSION_MEMORY_ASAN
  return static_cast<std::int64_t>(__sanitizer_get_current_allocated_bytes());
#else
  struct mallinfo2 m = ::mallinfo2();
  return static_cast<std::int64_t>(m.uordblks + m.hblkhd);
#endif
}

constexpr std::size_t kMessage = 100;
constexpr int kSessions = 1000;
constexpr int kConnectBurst = 64;
constexpr int kPeerFds = 8192;  // the peers' descriptors are numbered from here on

// Fd under a number at kPeerFds or above; -1 (and Fd closed) when there is none.
int AbovePeerFloor(int Fd) {
  if (Fd < 0) return -1;
  const int high = ::fcntl(Fd, F_DUPFD_CLOEXEC, kPeerFds);
  ::close(Fd);
  if (high >= 0) ::fcntl(high, F_SETFL, ::fcntl(high, F_GETFL) | O_NONBLOCK);
  return high;
}

char ByteOf(int Session, std::size_t I) { return static_cast<char>((Session * 31 + static_cast<int>(I) * 7) & 0xFF); }

class SessionMemory : public ::testing::Test {
protected:
  void SetUp() override {
    // The relay's two descriptors a session below kPeerFds, the client's and the echo server's above.
    rlimit r{};
    ::getrlimit(RLIMIT_NOFILE, &r);
    const rlim_t needed = kPeerFds + 2 * kSessions + 256;
    if (r.rlim_cur < needed) {
      r.rlim_cur = std::min<rlim_t>(r.rlim_max, needed);
      ::setrlimit(RLIMIT_NOFILE, &r);
    }
    ::getrlimit(RLIMIT_NOFILE, &r);
    if (r.rlim_cur < needed) GTEST_SKIP() << "room for " << r.rlim_cur << " descriptors only";
    Clients.reserve(kSessions);
    Echoed.reserve(kSessions);
    Servers.reserve(kSessions);
    Relay = std::make_unique<TRelay>(nullptr, nullptr);
    TRelaySettings settings;
    settings.LocalPort = "0";
    settings.RemoteAddr = "127.0.0.1";
    settings.RemotePort = std::to_string(Remote.Port);
    Relay->Listen(settings);
    Port = static_cast<std::uint16_t>(std::stoi(Relay->WSocketServer()->GetBoundPort()));
  }
  void TearDown() override {
    CloseAll();
    Relay.reset();
  }

  // The echo server: accepts, and sends back whatever it reads.
  void ServeEcho() {
    for (int i = 0; i < 64; ++i) {
      const int c = AbovePeerFloor(::accept4(Remote.Fd, nullptr, nullptr, SOCK_CLOEXEC));
      if (c < 0) break;
      Servers.push_back(c);
    }
    char buf[512];
    for (int fd : Servers) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        ASSERT_EQ(::send(fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL), n);
      }
    }
  }
  // Opens Count sessions kConnectBurst at a time; each sends its message and reads it back, checked
  // byte for byte. True once all of them have their echo.
  bool Open(int Count) {
    int done = 0;
    const bool ok = PumpUntil([&] {
      while (static_cast<int>(Clients.size()) < Count && static_cast<int>(Clients.size()) - done < kConnectBurst) {
        const int fd = AbovePeerFloor(RawConnect(Port));
        if (fd < 0) return false;
        const int session = static_cast<int>(Clients.size());
        char msg[kMessage];
        for (std::size_t i = 0; i < kMessage; ++i) msg[i] = ByteOf(session, i);
        if (::send(fd, msg, kMessage, MSG_NOSIGNAL) != static_cast<ssize_t>(kMessage)) return false;
        Clients.push_back(fd);
        Echoed.push_back(0);
      }
      ServeEcho();
      done = 0;
      for (std::size_t s = 0; s < Clients.size(); ++s) {
        if (Echoed[s] < kMessage) {
          char buf[kMessage];
          const ssize_t n = ::recv(Clients[s], buf, kMessage - Echoed[s], MSG_DONTWAIT);
          for (ssize_t i = 0; i < n; ++i)
            EXPECT_EQ(buf[i], ByteOf(static_cast<int>(s), Echoed[s] + static_cast<std::size_t>(i))) << "session " << s;
          if (n > 0) Echoed[s] += static_cast<std::size_t>(n);
        }
        done += Echoed[s] == kMessage;
      }
      return done == Count;
    }, 120000);
    return ok && Relay->SessionCount() == Count;
  }
  void CloseAll() {
    for (int fd : Clients) ::close(fd);
    Clients.clear();
    Echoed.clear();
    PumpUntil([&] {
      ServeEcho();
      // The echo server closes each connection once the relay has passed on its client's end.
      for (int& fd : Servers) {
        char b;
        if (fd >= 0 && ::recv(fd, &b, 1, MSG_DONTWAIT | MSG_PEEK) == 0) {
          ::close(fd);
          fd = -1;
        }
      }
      return Relay == nullptr || (Relay->SessionCount() == 0 && Relay->WSocketServer()->ClientCount() == 0);
    }, 60000);
    for (int fd : Servers)
      if (fd >= 0) ::close(fd);
    Servers.clear();
  }
  // Lets the loop run until it has nothing more to do: what the sessions' last events left is done.
  static void Settle() {
    for (int i = 0; i < 100 && platform::WaitAndDispatch(0); ++i) {
    }
  }

  RawListener Remote{4096};
  std::unique_ptr<TRelay> Relay;
  std::uint16_t Port = 0;
  std::vector<int> Clients, Servers;
  std::vector<std::size_t> Echoed;
};

TEST_F(SessionMemory, AnIdleSessionCostsTheRelayAtMostFourKibibytesAndClosingGivesItBack) {
  // One session first, so that what the relay makes once and keeps (tables, the shared read buffer)
  // is made before the count starts.
  ASSERT_TRUE(Open(1));
  CloseAll();
  Settle();
  const std::int64_t before = HeapInUse();
  ASSERT_TRUE(Open(kSessions)) << Relay->SessionCount() << " sessions";
  Settle();
  const std::int64_t open = HeapInUse();
  const double perSession = static_cast<double>(open - before) / kSessions;
  std::printf("[ memory   ] heap in use %lld bytes, %lld with %d sessions open: %.0f bytes a session\n",
              static_cast<long long>(before), static_cast<long long>(open), kSessions, perSession);
  EXPECT_LE(perSession, 4096.0);
  EXPECT_GT(perSession, 0.0) << "a session costs something: the count sees the relay's heap";
  CloseAll();
  Settle();
  const std::int64_t after = HeapInUse();
  EXPECT_LE(after - before, (open - before) / 20) << "at most 5% of what the sessions took stays after they closed";
}

}  // namespace
