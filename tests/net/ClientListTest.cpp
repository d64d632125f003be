// The server's client list with thousands of clients: creation order through removals anywhere,
// every index right while the list has holes, the count, and references to clients that have
// gone, which the server must recognise without touching them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "SocketTestSupport.h"
#include "net/WSocketS.h"

using namespace testsupport;

namespace {

void ExpectListIs(TCustomWSocketServer& Server, const std::vector<TWSocketClient*>& Expected) {
  ASSERT_EQ(Server.ClientCount(), static_cast<std::int32_t>(Expected.size()));
  for (std::size_t i = 0; i < Expected.size(); ++i)
    ASSERT_EQ(Server.Client(static_cast<std::int32_t>(i)), Expected[i]) << "index " << i;
  EXPECT_EQ(Server.Client(-1), nullptr);
  EXPECT_EQ(Server.Client(Server.ClientCount()), nullptr);
}

TEST(ClientList, ThousandsOfClientsKeepCreationOrderThroughRemovalsAnywhere) {
  TWSocketServer server(nullptr);
  std::vector<TWSocketClient*> expected;
  for (int i = 0; i < 4000; ++i) expected.push_back(new TWSocketClient(&server));
  ExpectListIs(server, expected);

  std::mt19937 rng(26);
  for (int round = 0; round < 30; ++round) {
    // A burst of removals from random places, with the last-but-one client looked up after each,
    // as a status bar does; then a few new clients at the end.
    for (int k = 0; k < 100 && !expected.empty(); ++k) {
      const std::size_t at = rng() % expected.size();
      delete expected[at];
      expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(at));
      if (expected.size() >= 2) {
        ASSERT_EQ(server.Client(server.ClientCount() - 2), expected[expected.size() - 2]);
      }
    }
    ExpectListIs(server, expected);
    for (int k = 0; k < 20; ++k) expected.push_back(new TWSocketClient(&server));
  }
  ExpectListIs(server, expected);
  // The last ones first, then the first ones: holes at both ends.
  for (int k = 0; k < 500; ++k) {
    delete expected.back();
    expected.pop_back();
    delete expected.front();
    expected.erase(expected.begin());
  }
  ExpectListIs(server, expected);
}

// A MsgClientClosed that names a client destroyed meanwhile, among thousands, is dropped without
// the client being touched (the sanitizer tree would report a read of freed memory).
TEST(ClientList, DisposalOfAGoneClientAmongThousandsTouchesNothing) {
  TWSocketServer server(nullptr);
  std::vector<TWSocketClient*> clients;
  for (int i = 0; i < 3000; ++i) clients.push_back(new TWSocketClient(&server));
  TWSocketClient* gone = clients[1234];
  delete gone;
  clients.erase(clients.begin() + 1234);
  int disconnects = 0;
  server.OnClientDisconnect = [&](TComponent*, TWSocketClient*, std::uint16_t) { ++disconnects; };
  ASSERT_TRUE(platform::PostMessage(server.NotifyWindow(), MsgClientClosed, 0, reinterpret_cast<platform::LPARAM>(gone)));
  PumpIdle();
  EXPECT_EQ(server.ClientCount(), 2999);
  EXPECT_EQ(disconnects, 0);
  ExpectListIs(server, clients);
}

}  // namespace
