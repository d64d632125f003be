// IPv6 through the Windows Sockets calls: the address texts, the 28-byte records both ways, the
// IPv6-only default of a new socket and what turning it off lets in (IPv4 peers, seen mapped),
// records of the wrong size or family, and the lookups of every address of a name through the
// test hosts table. The loopback tests need ::1; a machine without it skips them and says so.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "WinsockTestSupport.h"
#include "platform/WinsockLookup.h"

namespace platform::wstest {
namespace {

TSockAddrIn6 SockAddr6(const char* Text, std::uint16_t PortNet) {
  TSockAddrIn6 a;
  a.sin6_family = WS_AF_INET6;
  a.sin6_port = PortNet;
  EXPECT_EQ(inet_pton(WS_AF_INET6, Text, a.sin6_addr), 1) << Text;
  return a;
}

std::string Text6(const TSockAddrIn6& A) {
  char buf[WS_INET6_ADDRSTRLEN];
  return inet_ntop(WS_AF_INET6, A.sin6_addr, buf, sizeof buf) ? buf : "(none)";
}

// Whether this machine has an IPv6 loopback to bind to.
bool HaveIPv6Loopback() {
  SOCKET s = socket(WS_AF_INET6, WS_SOCK_STREAM, WS_IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  TSockAddrIn6 a;
  a.sin6_family = WS_AF_INET6;
  a.sin6_addr[15] = 1;
  bool ok = bind(s, &a, sizeof a) == 0;
  closesocket(s);
  return ok;
}

#define REQUIRE_IPV6_LOOPBACK()                                                 \
  if (!HaveIPv6Loopback()) {                                                    \
    GTEST_SKIP() << "this machine has no IPv6 loopback (::1) to bind to"; \
  }

::testing::AssertionResult FailsWith(int Result, int Code) {
  int err = WSAGetLastError();
  if (Result == SOCKET_ERROR && err == Code) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "result " << Result << ", last error " << err << ", expected " << Code;
}
#define EXPECT_WSA_FAIL(call, Code) EXPECT_TRUE(FailsWith((WSASetLastError(0), (call)), (Code))) << #call

class IPv6Calls : public SocketsTest {
protected:
  SOCKET NewSocket6(int Type = WS_SOCK_STREAM) {
    SOCKET s = socket(WS_AF_INET6, Type, Type == WS_SOCK_STREAM ? WS_IPPROTO_TCP : WS_IPPROTO_UDP);
    EXPECT_NE(s, INVALID_SOCKET) << WSAGetLastError();
    return Keep(s);
  }
  // A listener on Text (an IPv6 address) at a port the system chose, IPv6-only or not.
  SOCKET Listener6(const char* Text, bool V6Only, std::uint16_t& PortNet) {
    SOCKET l = NewSocket6();
    if (!V6Only) {
      std::int32_t off = 0;
      EXPECT_EQ(setsockopt(l, WS_IPPROTO_IPV6, WS_IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off), 0);
    }
    TSockAddrIn6 a = SockAddr6(Text, 0);
    EXPECT_EQ(bind(l, &a, sizeof a), 0) << WSAGetLastError();
    EXPECT_EQ(listen(l, 5), 0);
    TSockAddrIn6 bound;
    int len = sizeof bound;
    EXPECT_EQ(getsockname(l, &bound, &len), 0);
    PortNet = bound.sin6_port;
    return l;
  }
  // Sends Data from one blocking socket and reads it on the other, a piece at a time, so that no
  // send waits on a reader that has not started.
  std::string Carry(SOCKET From, SOCKET To, const std::string& Data) {
    std::string got;
    char buf[4096];
    for (std::size_t at = 0; at < Data.size();) {
      const int piece = static_cast<int>(std::min<std::size_t>(sizeof buf, Data.size() - at));
      if (send(From, Data.data() + at, piece, 0) != piece) break;
      at += static_cast<std::size_t>(piece);
      for (int i = 0; i < 100 && got.size() < at; ++i) {
        int n = recv(To, buf, static_cast<int>(std::min<std::size_t>(sizeof buf, at - got.size())), 0);
        if (n <= 0) return got;
        got.append(buf, static_cast<std::size_t>(n));
      }
    }
    return got;
  }
};

TEST(IPv6Texts, PtonAndNtopReadExactFormsAndWriteTheCompressedOne) {
  struct Row {
    const char* In;
    const char* Out;
  } rows[] = {{"::1", "::1"},
              {"::", "::"},
              {"2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
              {"2001:DB8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
              {"fe80::a:b", "fe80::a:b"},
              {"::ffff:127.0.0.1", "::ffff:127.0.0.1"}};
  for (const Row& r : rows) {
    std::uint8_t bytes[16];
    ASSERT_EQ(inet_pton(WS_AF_INET6, r.In, bytes), 1) << r.In;
    char out[WS_INET6_ADDRSTRLEN];
    ASSERT_NE(inet_ntop(WS_AF_INET6, bytes, out, sizeof out), nullptr);
    EXPECT_STREQ(out, r.Out);
  }
  std::uint8_t bytes[16];
  for (const char* bad : {"[::1]", "::1%lo", ":::1", "1::2::3", "12345::", "::1 ", "", "localhost"})
    EXPECT_EQ(inet_pton(WS_AF_INET6, bad, bytes), 0) << '"' << bad << '"';
  std::uint32_t v4 = 0;
  EXPECT_EQ(inet_pton(WS_AF_INET, "127.0.0.1", &v4), 1);
  EXPECT_EQ(v4, Loopback());
  EXPECT_EQ(inet_pton(WS_AF_INET, "127.1", &v4), 0) << "inet_pton takes the dotted quad only";
  WSASetLastError(0);
  EXPECT_EQ(inet_pton(99, "::1", bytes), -1);
  EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
  char tiny[11];  // "2001:db8::1" needs 12 with its zero
  ASSERT_EQ(inet_pton(WS_AF_INET6, "2001:db8::1", bytes), 1);
  EXPECT_EQ(inet_ntop(WS_AF_INET6, bytes, tiny, sizeof tiny), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_NE(if_nametoindex("lo"), 0u);
  EXPECT_EQ(if_nametoindex("no-such-interface"), 0u);
}

TEST_F(IPv6Calls, ConnectAcceptAndBytesBothWaysOverLoopback) {
  REQUIRE_IPV6_LOOPBACK();
  std::uint16_t port;
  SOCKET l = Listener6("::1", true, port);
  SOCKET c = NewSocket6();
  TSockAddrIn6 to = SockAddr6("::1", port);
  ASSERT_EQ(connect(c, &to, sizeof to), 0) << WSAGetLastError();
  TSockAddrIn6 peer;
  int len = sizeof peer;
  SOCKET s = Keep(accept(l, &peer, &len));
  ASSERT_NE(s, INVALID_SOCKET) << WSAGetLastError();
  EXPECT_EQ(len, 28);
  EXPECT_EQ(peer.sin6_family, WS_AF_INET6);
  EXPECT_EQ(Text6(peer), "::1");
  TSockAddrIn6 mine;
  len = sizeof mine;
  ASSERT_EQ(getsockname(c, &mine, &len), 0);
  EXPECT_EQ(mine.sin6_port, peer.sin6_port) << "accept names the client's own port";
  TSockAddrStorage theirs;
  len = sizeof theirs;
  ASSERT_EQ(getpeername(c, &theirs, &len), 0);
  EXPECT_EQ(theirs.ss_family, WS_AF_INET6);
  EXPECT_EQ(len, 28);

  std::string up(100000, '\0'), down(70000, '\0');
  for (std::size_t i = 0; i < up.size(); ++i) up[i] = static_cast<char>(i * 7 + (i >> 9));
  for (std::size_t i = 0; i < down.size(); ++i) down[i] = static_cast<char>(i * 13 + 1);
  EXPECT_EQ(Carry(c, s, up), up);
  EXPECT_EQ(Carry(s, c, down), down);
}

TEST_F(IPv6Calls, NewSocketTakesIPv6PeersOnlyUntilV6OnlyIsTurnedOff) {
  REQUIRE_IPV6_LOOPBACK();
  std::uint16_t v6only, dual;
  SOCKET l1 = Listener6("::", true, v6only);
  SOCKET l2 = Listener6("::", false, dual);
  (void)l1;
  SOCKET refused = Keep(NewSocket());
  TSockAddrIn to1 = SockAddr(Loopback(), v6only);
  EXPECT_WSA_FAIL(connect(refused, &to1, sizeof to1), WSAECONNREFUSED)
      << "an IPv6-only listener on :: leaves the IPv4 port alone";

  SOCKET c = Keep(NewSocket());
  TSockAddrIn to2 = SockAddr(Loopback(), dual);
  ASSERT_EQ(connect(c, &to2, sizeof to2), 0) << WSAGetLastError();
  TSockAddrIn6 peer;
  int len = sizeof peer;
  SOCKET s = Keep(accept(l2, &peer, &len));
  ASSERT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(Text6(peer), "::ffff:127.0.0.1") << "the platform reports what the socket sees";
  EXPECT_EQ(Carry(c, s, "from an IPv4 client"), "from an IPv4 client");
  EXPECT_EQ(Carry(s, c, std::string("\0\r\n\xff", 4)), std::string("\0\r\n\xff", 4));
}

TEST_F(IPv6Calls, RecordsOfTheWrongSizeOrFamilyAreRefusedAndNothingIsLost) {
  REQUIRE_IPV6_LOOPBACK();
  SOCKET s6 = NewSocket6(), s4 = Keep(NewSocket());
  TSockAddrIn v4 = SockAddr(Loopback(), 0);
  TSockAddrIn6 v6 = SockAddr6("::1", 0);
  EXPECT_WSA_FAIL(bind(s6, &v4, sizeof v4), WSAEAFNOSUPPORT);
  EXPECT_WSA_FAIL(bind(s6, &v6, 16), WSAEFAULT) << "an IPv6 record is 28 bytes";
  EXPECT_WSA_FAIL(bind(s4, &v6, sizeof v6), WSAEAFNOSUPPORT);
  TSockAddrIn6 foreign = SockAddr6("2001:db8::7", 0);  // documentation prefix: no address here
  EXPECT_WSA_FAIL(bind(s6, &foreign, sizeof foreign), WSAEADDRNOTAVAIL);
  std::uint16_t v4port;
  SOCKET l4 = NewListener(v4port);
  Keep(l4);
  TSockAddrIn to4 = SockAddr(Loopback(), v4port);
  EXPECT_WSA_FAIL(connect(s6, &to4, sizeof to4), WSAEAFNOSUPPORT);

  std::uint16_t port;
  SOCKET l = Listener6("::1", true, port);
  TSockAddrIn small;
  int len = sizeof small;
  EXPECT_WSA_FAIL(getsockname(l, &small, &len), WSAEFAULT);
  SOCKET c = NewSocket6();
  TSockAddrIn6 to = SockAddr6("::1", port);
  ASSERT_EQ(connect(c, &to, sizeof to), 0);
  len = sizeof small;
  EXPECT_TRUE(FailsWith(accept(l, &small, &len) == INVALID_SOCKET ? SOCKET_ERROR : 0, WSAEFAULT));
  TSockAddrIn6 peer;
  len = sizeof peer;
  SOCKET s = accept(l, &peer, &len);
  EXPECT_NE(s, INVALID_SOCKET) << "the refused accept left the connection waiting";
  if (s != INVALID_SOCKET) Keep(s);
}

TEST_F(IPv6Calls, DatagramsCarryTheirSendersIPv6Address) {
  REQUIRE_IPV6_LOOPBACK();
  SOCKET a = NewSocket6(WS_SOCK_DGRAM), b = NewSocket6(WS_SOCK_DGRAM);
  TSockAddrIn6 any = SockAddr6("::1", 0);
  ASSERT_EQ(bind(a, &any, sizeof any), 0);
  ASSERT_EQ(bind(b, &any, sizeof any), 0);
  TSockAddrIn6 bAddr, aAddr;
  int len = sizeof bAddr;
  ASSERT_EQ(getsockname(b, &bAddr, &len), 0);
  len = sizeof aAddr;
  ASSERT_EQ(getsockname(a, &aAddr, &len), 0);
  ASSERT_EQ(sendto(a, "datagram", 8, 0, &bAddr, sizeof bAddr), 8);
  char buf[16];
  TSockAddrIn6 from;
  len = sizeof from;
  ASSERT_EQ(recvfrom(b, buf, sizeof buf, 0, &from, &len), 8);
  EXPECT_EQ(std::string(buf, 8), "datagram");
  EXPECT_EQ(len, 28);
  EXPECT_EQ(from.sin6_port, aAddr.sin6_port);
  EXPECT_EQ(Text6(from), "::1");
}

// ---- every address of a name ---------------------------------------------------------------

std::vector<std::string> Texts(const THostAddressList* List) {
  std::vector<std::string> out;
  for (int i = 0; List != nullptr && i < List->Count && i < 1000; ++i) {
    const THostAddress& a = List->Addresses[i];
    char buf[WS_INET6_ADDRSTRLEN];
    out.push_back(inet_ntop(a.Family, a.Bytes, buf, sizeof buf) ? buf : "?");
  }
  return out;
}

std::vector<std::uint32_t> V4List(const THostEnt* Entry) {
  std::vector<std::uint32_t> out;
  for (int i = 0; Entry != nullptr && Entry->h_addr_list[i] != nullptr && i < 1000; ++i) {
    std::uint32_t a;
    std::memcpy(&a, Entry->h_addr_list[i], 4);
    out.push_back(a);
  }
  return out;
}

class HostAddresses : public ::testing::Test {
protected:
  void SetUp() override {
    lookup::SetHostsForTest({{"v6only.test", {"::1"}},
                             {"Both.Test", {"::1", "127.0.0.1", "::1", "127.0.0.2"}},
                             {"nothing.test", {}}});
  }
  void TearDown() override { lookup::SetHostsForTest({}); }
};

TEST_F(HostAddresses, BothFamiliesInOrderWhileTheIPv4LookupSeesIPv4Alone) {
  EXPECT_EQ(Texts(gethostaddresses("v6only.test")), (std::vector<std::string>{"::1"}));
  EXPECT_EQ(Texts(gethostaddresses("both.test")), (std::vector<std::string>{"::1", "127.0.0.1", "127.0.0.2"}))
      << "in the given order, case ignored, the repeated ::1 once";
  EXPECT_EQ(V4List(gethostbyname("BOTH.test")), (std::vector<std::uint32_t>{Loopback(), Ip(127, 0, 0, 2)}));
  WSASetLastError(0);
  EXPECT_EQ(gethostbyname("v6only.test"), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSANO_DATA);
  EXPECT_EQ(gethostaddresses("nothing.test"), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSANO_DATA);
  EXPECT_EQ(gethostaddresses(nullptr), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);

  // Names outside the table still go to the system's resolver.
  std::vector<std::string> local = Texts(gethostaddresses("localhost"));
  EXPECT_NE(std::find(local.begin(), local.end(), "127.0.0.1"), local.end());
  WSASetLastError(0);
  EXPECT_EQ(gethostaddresses("nonexistent.invalid"), nullptr);
  EXPECT_GE(WSAGetLastError(), WSAHOST_NOT_FOUND);
  lookup::SetHostsForTest({});
  EXPECT_EQ(gethostaddresses("v6only.test"), nullptr) << "an empty table gives every name back";
}

struct Done {
  WPARAM handle;
  LPARAM l;
};
std::vector<Done> gDone;

TEST_F(HostAddresses, AsyncAnswerListsEveryAddressInsideTheCallersBuffer) {
  const char* kClass = "HostAddressesClass";
  if (!IsWindowClassRegistered(kClass)) {
    ASSERT_TRUE(RegisterWindowClass(kClass, [](HWND, UINT, WPARAM w, LPARAM l) -> LRESULT {
      gDone.push_back({w, l});
      return 0;
    }));
  }
  HWND wnd = CreateNotifyWindow(kClass);
  ASSERT_NE(wnd, 0u);
  gDone.clear();
  alignas(THostAddressList) char buf[512];
  std::memset(buf, 0xA5, sizeof buf);
  auto pump = [] {
    for (int i = 0; i < 500 && gDone.empty(); ++i) WaitAndDispatch(10);
    return !gDone.empty();
  };

  HANDLE h = WSAAsyncGetHostAddresses(wnd, kSocketMsg, "both.test", buf, 40);
  ASSERT_NE(h, 0u);
  EXPECT_TRUE(gDone.empty()) << "the answer comes through the loop";
  ASSERT_TRUE(pump());
  EXPECT_EQ(gDone[0].handle, h);
  EXPECT_EQ(HiWord(gDone[0].l), WSAENOBUFS);
  const int needed = LoWord(gDone[0].l);
  EXPECT_GE(needed, static_cast<int>(sizeof(THostAddressList) + 3 * sizeof(THostAddress)));
  EXPECT_EQ(static_cast<unsigned char>(buf[0]), 0xA5) << "nothing written when it does not fit";

  gDone.clear();
  h = WSAAsyncGetHostAddresses(wnd, kSocketMsg, "both.test", buf, needed);
  ASSERT_TRUE(pump());
  EXPECT_EQ(HiWord(gDone[0].l), 0);
  EXPECT_EQ(LoWord(gDone[0].l), needed);
  for (int i = needed; i < static_cast<int>(sizeof buf); ++i)
    ASSERT_EQ(static_cast<unsigned char>(buf[i]), 0xA5) << "wrote past the length it reported, at " << i;
  const auto* list = reinterpret_cast<const THostAddressList*>(buf);
  ASSERT_EQ(list->Count, 3);
  EXPECT_GE(reinterpret_cast<const char*>(list->Addresses), buf + sizeof(THostAddressList));
  EXPECT_LE(reinterpret_cast<const char*>(list->Addresses + 3), buf + needed);
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"::1", "127.0.0.1", "127.0.0.2"}));
  EXPECT_EQ(list->Addresses[0].Family, WS_AF_INET6);
  EXPECT_EQ(list->Addresses[1].Family, WS_AF_INET);

  gDone.clear();
  h = WSAAsyncGetHostAddresses(wnd, kSocketMsg, "nonexistent.invalid", buf, sizeof buf);
  ASSERT_TRUE(pump());
  EXPECT_GE(HiWord(gDone[0].l), WSAHOST_NOT_FOUND);
  EXPECT_EQ(WSAAsyncGetHostAddresses(0, kSocketMsg, "both.test", buf, sizeof buf), 0u);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(WSAAsyncGetHostAddresses(wnd, kSocketMsg, nullptr, buf, sizeof buf), 0u);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  DestroyNotifyWindow(wnd);
}

}  // namespace
}  // namespace platform::wstest
