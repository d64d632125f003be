// Name lookups through the system's resolver: blocking host, service and protocol entries, and the
// asynchronous host lookups: answers arrive through the loop in the caller's buffer, a cancelled
// request never posts nor writes, a buffer that is too small says how much it needs, an endpoint
// destroyed meanwhile or a process that exits meanwhile breaks nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/Winsock.h"
#include "platform/WinsockErrors.h"
#include "platform/WinsockLookup.h"

using namespace platform;

namespace {

constexpr UINT kByName = WM_USER + 2;
constexpr UINT kByAddr = WM_USER + 3;
const std::uint32_t kLoopback = 0x0100007Fu;  // 127.0.0.1 in network order, as stored in memory

bool IsResolverCode(int code) { return code >= WSAHOST_NOT_FOUND && code <= WSANO_DATA; }

std::vector<std::uint32_t> AddressList(const THostEnt* entry) {
  std::vector<std::uint32_t> list;
  for (int i = 0; entry->h_addr_list[i] != nullptr && i < 1000; ++i) {
    std::uint32_t a;
    std::memcpy(&a, entry->h_addr_list[i], 4);
    list.push_back(a);
  }
  return list;
}

struct Done {
  UINT msg;
  WPARAM handle;
  LPARAM l;
};
std::vector<Done> gDone;

const char* kClass = "LookupTestClass";

class LookupTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!IsWindowClassRegistered(kClass)) {
      ASSERT_TRUE(RegisterWindowClass(kClass, [](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        gDone.push_back({m, w, l});
        return 0;
      }));
    }
    wnd = CreateNotifyWindow(kClass);
    ASSERT_NE(wnd, 0u);
    gDone.clear();
    std::memset(buf, 0xA5, sizeof buf);
  }
  void TearDown() override { DestroyNotifyWindow(wnd); }

  // Pumps until Cond holds or five seconds pass.
  template <class F>
  bool PumpUntil(F cond) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int i = 0; i < 100000 && !cond(); ++i) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      WaitAndDispatch(10);
    }
    return cond();
  }
  // The request's fate is settled and the loop has run what that may have queued.
  bool PumpUntilSettled(std::uint64_t target) {
    bool ok = PumpUntil([&] { return lookup::SettledRequestCount() >= target; });
    for (int i = 0; i < 3; ++i) DispatchPending();
    return ok;
  }
  bool BufferUntouched(std::size_t from = 0) const {
    for (std::size_t i = from; i < sizeof buf; ++i)
      if (static_cast<unsigned char>(buf[i]) != 0xA5) return false;
    return true;
  }
  const THostEnt* Entry() const { return reinterpret_cast<const THostEnt*>(buf); }
  bool InsideBuffer(const void* p) const {
    auto* c = static_cast<const char*>(p);
    return c >= buf && c < buf + sizeof buf;
  }

  HWND wnd = 0;
  alignas(THostEnt) char buf[MAXGETHOSTSTRUCT + 1];
};

// ---- blocking lookups ----------------------------------------------------------------------

TEST_F(LookupTest, BlockingLookupOfLocalhostListsLoopbackOnce) {
  THostEnt* e = gethostbyname("localhost");
  ASSERT_NE(e, nullptr) << WSAGetLastError();
  EXPECT_EQ(e->h_addrtype, WS_AF_INET);
  EXPECT_EQ(e->h_length, 4);
  ASSERT_NE(e->h_name, nullptr);
  EXPECT_GT(std::strlen(e->h_name), 0u);
  ASSERT_NE(e->h_aliases, nullptr);
  std::vector<std::uint32_t> list = AddressList(e);
  EXPECT_EQ(std::set<std::uint32_t>(list.begin(), list.end()).size(), list.size()) << "duplicates";
  EXPECT_NE(std::find(list.begin(), list.end(), kLoopback), list.end());
}

TEST_F(LookupTest, BlockingLookupOfUnresolvableNameGivesResolverCode) {
  WSASetLastError(0);
  EXPECT_EQ(gethostbyname("nonexistent.invalid"), nullptr);
  EXPECT_TRUE(IsResolverCode(WSAGetLastError())) << WSAGetLastError();
  EXPECT_EQ(gethostbyname(nullptr), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
}

TEST_F(LookupTest, ServiceAndProtocolEntriesComeFromTheSystemDatabases) {
  TServEnt* http = getservbyname("http", "tcp");
  ASSERT_NE(http, nullptr);
  EXPECT_EQ(ntohs(static_cast<std::uint16_t>(http->s_port)), 80);
  EXPECT_STREQ(http->s_name, "http");
  EXPECT_STREQ(http->s_proto, "tcp");
  TServEnt* anyProto = getservbyname("http", nullptr);
  ASSERT_NE(anyProto, nullptr);
  EXPECT_EQ(ntohs(static_cast<std::uint16_t>(anyProto->s_port)), 80);
  TServEnt* alias = getservbyname("www", "tcp");
  ASSERT_NE(alias, nullptr);
  EXPECT_STREQ(alias->s_name, "http");

  WSASetLastError(0);
  EXPECT_EQ(getservbyname("no-such-service", "tcp"), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSANO_DATA);
  EXPECT_EQ(getservbyname("http", "no-such-proto"), nullptr);

  TProtoEnt* udp = getprotobyname("udp");
  ASSERT_NE(udp, nullptr);
  EXPECT_EQ(udp->p_proto, 17);
  TProtoEnt* tcp = getprotobyname("tcp");
  ASSERT_NE(tcp, nullptr);
  EXPECT_EQ(tcp->p_proto, 6);
  WSASetLastError(0);
  EXPECT_EQ(getprotobyname("no-such-protocol"), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSANO_DATA);
}

// ---- asynchronous lookups ------------------------------------------------------------------

TEST_F(LookupTest, AsyncLookupOfLocalhostArrivesLaterInTheCallersBuffer) {
  HANDLE h = WSAAsyncGetHostByName(wnd, kByName, "localhost", buf, sizeof buf);
  ASSERT_NE(h, 0u) << WSAGetLastError();
  EXPECT_TRUE(gDone.empty()) << "the answer must come through the loop";
  ASSERT_TRUE(PumpUntil([] { return !gDone.empty(); }));
  ASSERT_EQ(gDone.size(), 1u);
  EXPECT_EQ(gDone[0].msg, kByName);
  EXPECT_EQ(gDone[0].handle, h);
  EXPECT_EQ(HiWord(gDone[0].l), 0);
  EXPECT_GT(LoWord(gDone[0].l), sizeof(THostEnt));
  EXPECT_LE(LoWord(gDone[0].l), sizeof buf);
  EXPECT_TRUE(BufferUntouched(LoWord(gDone[0].l))) << "wrote past the length it reported";

  const THostEnt* e = Entry();
  EXPECT_EQ(e->h_addrtype, WS_AF_INET);
  EXPECT_EQ(e->h_length, 4);
  ASSERT_TRUE(InsideBuffer(e->h_name));
  ASSERT_TRUE(InsideBuffer(e->h_addr_list));
  ASSERT_TRUE(InsideBuffer(e->h_aliases));
  EXPECT_EQ(e->h_aliases[0], nullptr);
  for (int i = 0; e->h_addr_list[i] != nullptr && i < 100; ++i) EXPECT_TRUE(InsideBuffer(e->h_addr_list[i]));
  std::vector<std::uint32_t> list = AddressList(e);
  EXPECT_EQ(list, AddressList(gethostbyname("localhost"))) << "same order as the blocking lookup";
  EXPECT_NE(std::find(list.begin(), list.end(), kLoopback), list.end());
  EXPECT_EQ(WSACancelAsyncRequest(h), SOCKET_ERROR) << "an announced request cannot be cancelled";
  EXPECT_EQ(WSAGetLastError(), WSAEALREADY);
}

TEST_F(LookupTest, AsyncLookupOfUnresolvableNameAnnouncesResolverError) {
  HANDLE h = WSAAsyncGetHostByName(wnd, kByName, "nonexistent.invalid", buf, sizeof buf);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(PumpUntil([] { return !gDone.empty(); }));
  EXPECT_EQ(gDone[0].handle, h);
  EXPECT_TRUE(IsResolverCode(HiWord(gDone[0].l))) << HiWord(gDone[0].l);
  EXPECT_TRUE(BufferUntouched()) << "a failed lookup leaves the buffer alone";
}

TEST_F(LookupTest, ReverseLookupOfLoopbackGivesANameThatResolvesBack) {
  HANDLE h = WSAAsyncGetHostByAddr(wnd, kByAddr, reinterpret_cast<const char*>(&kLoopback), 4,
                                   WS_AF_INET, buf, sizeof buf);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(PumpUntil([] { return !gDone.empty(); }));
  EXPECT_EQ(gDone[0].msg, kByAddr);
  EXPECT_EQ(gDone[0].handle, h);
  ASSERT_EQ(HiWord(gDone[0].l), 0);
  std::string name = Entry()->h_name;
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(AddressList(Entry()), std::vector<std::uint32_t>{kLoopback});
  THostEnt* forward = gethostbyname(name.c_str());
  ASSERT_NE(forward, nullptr) << name;
  std::vector<std::uint32_t> list = AddressList(forward);
  EXPECT_NE(std::find(list.begin(), list.end(), kLoopback), list.end()) << name;
}

TEST_F(LookupTest, TooSmallBufferReportsTheLengthNeededAndWritesNothing) {
  HANDLE h = WSAAsyncGetHostByName(wnd, kByName, "localhost", buf, 16);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(PumpUntil([] { return !gDone.empty(); }));
  EXPECT_EQ(HiWord(gDone[0].l), WSAENOBUFS);
  const int needed = LoWord(gDone[0].l);
  EXPECT_GT(needed, 16);
  EXPECT_TRUE(BufferUntouched());

  gDone.clear();
  h = WSAAsyncGetHostByName(wnd, kByName, "localhost", buf, needed);
  ASSERT_TRUE(PumpUntil([] { return !gDone.empty(); }));
  EXPECT_EQ(HiWord(gDone[0].l), 0) << "the length it asked for must be enough";
  EXPECT_EQ(LoWord(gDone[0].l), needed);
  EXPECT_TRUE(BufferUntouched(needed));
}

TEST_F(LookupTest, CancelBeforeTheAnswerPostsNothingAndNeverWritesTheBuffer) {
  // Cancelled at once (the resolver may or may not have started on it), and cancelled when its
  // answer is already waiting for the loop: both must stay silent.
  for (bool waitForResolver : {false, true}) {
    SCOPED_TRACE(waitForResolver ? "answer already resolved" : "cancelled at once");
    std::uint64_t settled = lookup::SettledRequestCount();
    HANDLE h = WSAAsyncGetHostByName(wnd, kByName, "localhost", buf, sizeof buf);
    ASSERT_NE(h, 0u);
    if (waitForResolver) {
      ASSERT_TRUE(lookup::WaitUntilResolvedForTest(h, 5000));
    }
    EXPECT_EQ(WSACancelAsyncRequest(h), 0);
    ASSERT_TRUE(PumpUntilSettled(settled + 1));
    EXPECT_TRUE(gDone.empty());
    EXPECT_EQ(PendingMessageCount(), 0u);
    EXPECT_TRUE(BufferUntouched());
    EXPECT_EQ(WSACancelAsyncRequest(h), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEALREADY);
  }
}

// The answer is already in the queue, behind a message whose handler cancels the lookup: the
// cancel must withdraw it, as the component's CancelDnsLookup expects of a pending lookup.
TEST_F(LookupTest, CancelWhileTheAnswerWaitsInTheQueueWithdrawsIt) {
  static std::function<void()> onPoke;
  const char* kPoke = "LookupPokeClass";
  if (!IsWindowClassRegistered(kPoke)) {
    ASSERT_TRUE(RegisterWindowClass(kPoke, [](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
      if (onPoke) onPoke();
      return 0;
    }));
  }
  HWND poke = CreateNotifyWindow(kPoke);
  HANDLE h = WSAAsyncGetHostByName(wnd, kByName, "localhost", buf, sizeof buf);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(lookup::WaitUntilResolvedForTest(h, 5000));
  int cancelled = -1;
  std::size_t queuedAtCancel = 0;
  onPoke = [&] {
    queuedAtCancel = PendingMessageCount();
    cancelled = WSACancelAsyncRequest(h);
  };
  PostMessage(poke, WM_USER, 0, 0);  // the pass that takes it queues the answer behind it first
  for (int i = 0; i < 3; ++i) DispatchPending();
  onPoke = nullptr;
  DestroyNotifyWindow(poke);
  EXPECT_EQ(queuedAtCancel, 1u) << "the answer was waiting when the cancel ran";
  EXPECT_EQ(cancelled, 0);
  EXPECT_TRUE(gDone.empty());
  EXPECT_EQ(WSACancelAsyncRequest(h), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEALREADY);
}

TEST_F(LookupTest, CancelOfUnknownHandleFails) {
  EXPECT_EQ(WSACancelAsyncRequest(0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(WSACancelAsyncRequest(static_cast<HANDLE>(-1)), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST_F(LookupTest, ConcurrentRequestsEachGetTheirOwnAnswerAndHandle) {
  constexpr int kCount = 12;
  static char bufs[kCount][MAXGETHOSTSTRUCT];
  std::set<HANDLE> handles;
  for (int i = 0; i < kCount; ++i) {
    const char* name = i % 3 == 2 ? "nonexistent.invalid" : "localhost";
    HANDLE h = WSAAsyncGetHostByName(wnd, kByName, name, bufs[i], MAXGETHOSTSTRUCT);
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(handles.insert(h).second) << "handles are never reused";
  }
  ASSERT_TRUE(PumpUntil([] { return gDone.size() >= kCount; }));
  EXPECT_EQ(gDone.size(), static_cast<std::size_t>(kCount));
  std::set<HANDLE> answered;
  for (const Done& d : gDone) answered.insert(d.handle);
  EXPECT_EQ(answered, handles);
}

TEST_F(LookupTest, EndpointDestroyedWhileLookupPendsReceivesNothing) {
  HWND gone = CreateNotifyWindow(kClass);
  ASSERT_NE(gone, 0u);
  std::uint64_t settled = lookup::SettledRequestCount();
  ASSERT_NE(WSAAsyncGetHostByName(gone, kByName, "localhost", buf, sizeof buf), 0u);
  DestroyNotifyWindow(gone);
  ASSERT_TRUE(PumpUntilSettled(settled + 1));
  EXPECT_TRUE(gDone.empty());
  EXPECT_EQ(PendingMessageCount(), 0u);
}

TEST_F(LookupTest, BadArgumentsFailToStart) {
  EXPECT_EQ(WSAAsyncGetHostByName(wnd, kByName, nullptr, buf, sizeof buf), 0u);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(WSAAsyncGetHostByName(wnd, kByName, "localhost", nullptr, 0), 0u);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  EXPECT_EQ(WSAAsyncGetHostByName(0, kByName, "localhost", buf, sizeof buf), 0u);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  const char* addr = reinterpret_cast<const char*>(&kLoopback);
  EXPECT_EQ(WSAAsyncGetHostByAddr(wnd, kByAddr, addr, 16, WS_AF_INET, buf, sizeof buf), 0u);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(WSAAsyncGetHostByAddr(wnd, kByAddr, addr, 4, 23, buf, sizeof buf), 0u);
  EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
  DispatchPending();
  EXPECT_TRUE(gDone.empty());
}

// A fresh process (not a fork of this one, whose resolver threads would be missing) starts
// lookups and exits while they run; it must neither hang nor crash on the way out.
TEST(LookupExitTest, ProcessExitWhileLookupsRunIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        RegisterWindowClass("LookupExitClass", [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
        HWND w = CreateNotifyWindow("LookupExitClass");
        static char exitBuf[8][MAXGETHOSTSTRUCT];
        for (int i = 0; i < 8; ++i)
          WSAAsyncGetHostByName(w, kByName, i % 2 ? "nonexistent.invalid" : "localhost", exitBuf[i],
                                MAXGETHOSTSTRUCT);
        std::exit(3);
      },
      ::testing::ExitedWithCode(3), "");
}

}  // namespace
