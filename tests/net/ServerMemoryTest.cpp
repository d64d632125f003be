// Thousands of sessions through the server in rounds: every client echoes what its peer sends and
// the session then ends, by either side. Once a round has ended the heap holds what it held
// before the first: neither objects kept alive nor tables sized for the burst are left behind,
// and a second and third round cost nothing more.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>
#include <map>

#include "SocketTestSupport.h"
#include "net/WSocketS.h"

#if defined(__SANITIZE_ADDRESS__)
#define MEMORY_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MEMORY_TEST_ASAN 1
#endif
#endif
#ifdef MEMORY_TEST_ASAN
// The sanitizer's own count: under it, the C library's allocator statistics are not kept.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

using namespace testsupport;

namespace {

std::int64_t HeapInUse() {
#ifdef MEMORY_TEST_ASAN
  return static_cast<std::int64_t>(__sanitizer_get_current_allocated_bytes());
#else
  struct mallinfo2 m = ::mallinfo2();
  return static_cast<std::int64_t>(m.uordblks + m.hblkhd);
#endif
}

// One local peer: connects, sends its message, reads the echo back.
struct TPeer {
  int Fd = -1;
  std::string Message;
  std::size_t Sent = 0;
  std::string Echoed;
  bool Done() const { return Echoed.size() == Message.size(); }
  void Service() {
    if (Sent < Message.size()) {
      ssize_t n = ::send(Fd, Message.data() + Sent, Message.size() - Sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) Sent += static_cast<std::size_t>(n);
    }
    char buf[512];
    ssize_t n = ::recv(Fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) Echoed.append(buf, static_cast<std::size_t>(n));
  }
};

class ServerMemory : public ::testing::Test {
protected:
  void SetUp() override {
    // Two descriptors a session, all in this process.
    rlimit r{};
    ::getrlimit(RLIMIT_NOFILE, &r);
    if (r.rlim_cur < 8192) {
      r.rlim_cur = std::min<rlim_t>(r.rlim_max, 8192);
      ::setrlimit(RLIMIT_NOFILE, &r);
    }
    ::getrlimit(RLIMIT_NOFILE, &r);
    Sessions = std::min<int>(1500, static_cast<int>(r.rlim_cur / 2) - 100);
  }

  // Opens Count sessions, 64 connecting at a time, until every one has echoed its message while
  // all of them are open; then ends them, every other one from the server's side.
  void Round(TWSocketServer& Server, std::uint16_t Port, int Count) {
    std::vector<TPeer> peers(static_cast<std::size_t>(Count));
    int started = 0;
    ASSERT_TRUE(PumpUntil([&] {
      while (started < Count && started - Server.ClientSerial() + FirstSerial < 64) {
        TPeer& p = peers[static_cast<std::size_t>(started)];
        p.Fd = RawConnect(Port);
        p.Message = Pattern(100, static_cast<std::uint32_t>(started) + 1);
        ++started;
      }
      bool all = started == Count;
      for (int i = 0; i < started; ++i) {
        peers[static_cast<std::size_t>(i)].Service();
        all = all && peers[static_cast<std::size_t>(i)].Done();
      }
      return all;
    }, 120000)) << Server.ClientCount() << " clients, " << started << " started";
    EXPECT_EQ(Server.ClientCount(), Count) << "all open at once";
    for (const TPeer& p : peers) ASSERT_EQ(p.Echoed, p.Message);
    // Every other session ends from the server's side: Close does not change the list, so the
    // walk visits each client once.
    const std::int32_t n = Server.ClientCount();
    for (std::int32_t i = 0; i < n; i += 2) Server.Client(i)->Close();
    for (TPeer& p : peers) ::close(p.Fd);
    ASSERT_TRUE(PumpUntil([&] { return Server.ClientCount() == 0; }, 60000)) << Server.ClientCount() << " left";
    PumpIdle();
    FirstSerial = Server.ClientSerial();
  }

  int Sessions = 1500;
  int FirstSerial = 0;
};

TEST_F(ServerMemory, RoundsOfThousandsOfSessionsLeaveTheHeapAsItWas) {
  TWSocketServer server(nullptr);
  server.SetBanner("");
  server.SetListenBacklog(1024);
  server.OnClientConnect = [](TComponent*, TWSocketClient* c, std::uint16_t) {
    c->OnDataAvailable = [c](TComponent*, std::uint16_t) { c->SendText(c->ReceiveText()); };
  };
  int disconnects = 0;
  server.OnClientDisconnect = [&](TComponent*, TWSocketClient*, std::uint16_t) { ++disconnects; };
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  server.Listen();
  const auto port = static_cast<std::uint16_t>(std::stoi(server.GetBoundPort()));

  // A few sessions first, for what is made once in a process (the socket library's state, the
  // loop's first tables).
  Round(server, port, 10);
  const std::int64_t before = HeapInUse();
  std::vector<std::int64_t> after;
  for (int round = 0; round < 3; ++round) {
    Round(server, port, Sessions);
    after.push_back(HeapInUse());
  }
  EXPECT_EQ(disconnects, 10 + 3 * Sessions);
  std::printf("[ memory   ] %d sessions a round; heap in use %lld bytes before, then %+lld %+lld %+lld\n", Sessions,
              static_cast<long long>(before), static_cast<long long>(after[0] - before),
              static_cast<long long>(after[1] - before), static_cast<long long>(after[2] - before));
  // Allocator slack only. A session costs some 3 KiB while it lasts: keeping as little as 32 bytes
  // of each (a list entry, an endpoint, a table slot) would exceed this.
  const std::int64_t kSlack = 48 << 10;
  for (std::int64_t a : after) EXPECT_LE(a - before, kSlack);
}

}  // namespace
