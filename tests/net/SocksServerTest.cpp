// SOCKS negotiation against real SOCKS servers started here on loopback (microsocks for SOCKS 5
// with and without user/password, Dante for SOCKS 4 and 5), with a plain echo server behind them:
// the data must come back byte for byte.
#include <gtest/gtest.h>

#include "SocksTestSupport.h"

using namespace testsupport;
using Events = std::vector<std::string>;

namespace {

struct Row {
  const char* Name;
  std::string Level;
  TSocksAuthentication Auth;
  std::string Password;
  std::string Addr;    // the destination as the proxy is asked for it
  bool ClosedPort;     // ask for a port where nothing listens
  Events Expected;     // up to and including OnSessionConnected
};

// Connects through the server at ProxyPort to the echo server and, when the grant is expected,
// sends 300 KiB of every byte value through and checks what comes back.
void RunRow(const Row& r, std::uint16_t ProxyPort) {
  SCOPED_TRACE(r.Name);
  RawEcho echo;
  SocksTrace trace;
  TWSocket sock(nullptr);
  trace.Attach(sock);
  sock.SetSocksServer("127.0.0.1");
  sock.SetSocksPort(std::to_string(ProxyPort));
  sock.SetSocksLevel(r.Level);
  sock.SetSocksAuthentication(r.Auth);
  sock.SetSocksUsercode("alice");
  sock.SetSocksPassword(r.Password);
  sock.SetAddr(r.Addr);
  sock.SetPort(std::to_string(r.ClosedPort ? UnusedPort() : echo.Listener.Port));
  sock.Connect();
  const std::string& last = r.Expected.back();
  ASSERT_TRUE(PumpUntil([&] {
    echo.Advance();
    return trace.Has(last) || trace.Ended();
  }, 10000)) << TracePrint(trace.Events);
  if (last != "Connected 0") {
    ASSERT_TRUE(PumpUntil([&] { return trace.Ended(); }));
    Events expected = r.Expected;
    expected.push_back("Closed " + last.substr(10));
    EXPECT_EQ(trace.Events, expected);
    return;
  }
  EXPECT_EQ(trace.Events, r.Expected);
  const std::string data = Pattern(300 * 1024, 11);
  sock.Send(data.data(), static_cast<std::int32_t>(data.size()));
  ASSERT_TRUE(PumpUntil([&] {
    echo.Advance();
    return trace.Data.size() >= data.size();
  }, 30000)) << trace.Data.size() << " of " << data.size() << " bytes came back";
  EXPECT_EQ(trace.Data.size(), data.size());
  EXPECT_EQ(Checksum(trace.Data), Checksum(data));
  sock.Close();
}

std::string Installed(const char* Program, const char* Package) {
  std::string path = FindProgram(Program);
  if (path.empty())
    ADD_FAILURE() << Program << " is not installed: scripts/install-deps installs the Debian package " << Package;
  return path;
}

TEST(SocksRealServers, MicrosocksWithoutAuthentication) {
  std::string program = Installed("microsocks", "microsocks");
  ASSERT_FALSE(program.empty());
  ServerProcess server;
  ASSERT_TRUE(server.Start(program, {"-i", "127.0.0.1", "-p", std::to_string(server.Port)})) << server.Output();
  const Row rows[] = {
      {"granted", "5", socksNoAuthentication, "", "127.0.0.1", false, {"SocksConnected 0", "Connected 0"}},
      {"destination refuses", "5", socksNoAuthentication, "", "127.0.0.1", true,
       {"SocksConnected 0", "SocksError 20008 connection refused", "Connected 20008"}},
  };
  for (const Row& r : rows) RunRow(r, server.Port);
}

TEST(SocksRealServers, MicrosocksWithUserAndPassword) {
  std::string program = Installed("microsocks", "microsocks");
  ASSERT_FALSE(program.empty());
  ServerProcess server;
  ASSERT_TRUE(server.Start(program, {"-i", "127.0.0.1", "-p", std::to_string(server.Port), "-u", "alice", "-P",
                                     "s3cret"}))
      << server.Output();
  const Row rows[] = {
      {"granted", "5", socksAuthenticateUsercode, "s3cret", "127.0.0.1", false,
       {"SocksConnected 0", "Auth 0", "Auth 1", "Connected 0"}},
      {"wrong password", "5", socksAuthenticateUsercode, "wrong", "127.0.0.1", false,
       {"SocksConnected 0", "Auth 0", "SocksError 20015 socks authentication failed", "Connected 20015"}},
      {"no authentication offered", "5", socksNoAuthentication, "", "127.0.0.1", false,
       {"SocksConnected 0", "SocksError 20003 authentification method not acceptable", "Connected 20003"}},
  };
  for (const Row& r : rows) RunRow(r, server.Port);
}

TEST(SocksRealServers, DanteSocks4And5) {
  std::string program = Installed("danted", "dante-server");
  ASSERT_FALSE(program.empty());
  ServerProcess server;
  std::string config = "logoutput: stderr\n"
                       "internal: 127.0.0.1 port = " + std::to_string(server.Port) + "\n"
                       "external: 127.0.0.1\n"
                       "socksmethod: none\n"
                       "clientmethod: none\n";
  if (::geteuid() == 0) config += "user.privileged: root\nuser.unprivileged: root\n";
  config += "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
            "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  protocol: tcp\n  command: connect\n}\n";
  server.Write("sockd.conf", config);
  ASSERT_TRUE(server.Start(program, {"-f", server.File("sockd.conf"), "-N", "1", "-p", server.File("sockd.pid")}))
      << server.Output();
  const Row rows[] = {
      {"SOCKS 5 to a dotted address", "5", socksNoAuthentication, "", "127.0.0.1", false,
       {"SocksConnected 0", "Connected 0"}},
      {"SOCKS 5 to a name that the server resolves", "5", socksNoAuthentication, "", "localhost", false,
       {"SocksConnected 0", "Connected 0"}},
      {"SOCKS 4", "4", socksNoAuthentication, "", "127.0.0.1", false, {"SocksConnected 0", "Connected 0"}},
      {"SOCKS 4A, which this server does not serve", "4A", socksNoAuthentication, "", "localhost", false,
       {"SocksConnected 0", "SocksError 20016 request rejected or failed", "Connected 20016"}},
      {"SOCKS 5, destination refuses", "5", socksNoAuthentication, "", "127.0.0.1", true,
       {"SocksConnected 0", "SocksError 20008 connection refused", "Connected 20008"}},
  };
  for (const Row& r : rows) RunRow(r, server.Port);
}

}  // namespace
