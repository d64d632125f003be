// The headless program's --save, as a script would use it: real peers through the relay, the
// saved capture read back with tshark and the raw stream files compared with what the peers sent
// and received; a refused connect; a program killed in the middle of a transfer; a save that
// fails, at the start or in the middle of the run.
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ChildProgram.h"
#include "RelayPeers.h"
#include "record/CaptureCheck.h"
#include "record/TrafficWriter.h"

using namespace apptest;
using namespace capturetest;
namespace fs = std::filesystem;

namespace {

std::uint16_t LocalPortOf(int Fd) {
  sockaddr_in a{};
  socklen_t n = sizeof a;
  ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &n);
  return ntohs(a.sin_port);
}

std::string ReadFile(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class HeadlessSave : public ::testing::Test {
protected:
  void SetUp() override {
    char name[] = "/tmp/vantrel-hsave-XXXXXX";
    Dir = ::mkdtemp(name);
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::unique_ptr<TChildProgram> Start(std::vector<std::string> Extra, std::uint16_t RemotePort = 0,
                                       const TChildSetup& Setup = {}) {
    std::vector<std::string> args{"--headless", "--local-port", "0", "--remote-addr", "127.0.0.1", "--remote-port",
                                  std::to_string(RemotePort != 0 ? RemotePort : Remote.Listener.Port), "--quiet"};
    args.insert(args.end(), Extra.begin(), Extra.end());
    auto p = std::make_unique<TChildProgram>(args, Setup);
    Port = p->ListeningPort();
    EXPECT_NE(Port, 0) << p->Err();
    return p;
  }
  // A new local client and, once the relay has connected it, its remote peer.
  std::pair<TPeer*, TPeer*> Connect() {
    Locals.push_back(std::make_unique<TPeer>(RawConnect(Port)));
    Ports.push_back(LocalPortOf(Locals.back()->Fd));  // known only while the socket is open
    const std::size_t n = Remote.Peers.size();
    EXPECT_TRUE(Run([&] { return Remote.Peers.size() == n + 1; }));
    return {Locals.back().get(), Remote.Peers.size() > n ? Remote.Peers.back().get() : nullptr};
  }
  bool Run(const std::function<bool()>& Cond, int TimeoutMs = 60000) {
    return RunUntil(Cond, [this] {
      Remote.Service();
      for (auto& l : Locals) l->Service();
    }, TimeoutMs);
  }
  void Stop(TChildProgram& P) {
    P.Signal(SIGTERM);
    EXPECT_EQ(P.WaitExit(), 0) << P.Err();
  }

  TRemoteServer Remote;
  std::vector<std::unique_ptr<TPeer>> Locals;
  std::vector<std::uint16_t> Ports;  // of the local clients, in order
  std::uint16_t Port = 0;
  fs::path Dir;
};

// Text, binary, an empty session, 20 MiB one way, a reset by the remote side: every stream of the
// capture holds exactly what each side sent, which is what the other received.
TEST_F(HeadlessSave, ACaptureOfAMixOfSessionsFollowsByteExactInBothDirections) {
  ASSERT_TRUE(HaveTshark()) << "tshark is needed to read the saved capture (scripts/install-deps installs it)";
  const std::string path = (Dir / "mix.pcapng").string();
  auto p = Start({"--save", path});
  std::vector<std::pair<TPeer*, TPeer*>> sessions;

  auto [text, textRemote] = Connect();
  ASSERT_NE(textRemote, nullptr);
  text->ToSend = "GET / HTTP/1.0\r\nHost: x\r\n\r\n";
  ASSERT_TRUE(Run([&] { return textRemote->Received == text->ToSend; }));
  textRemote->ToSend = "HTTP/1.0 200 OK\r\n\r\nhello";
  textRemote->CloseWhenSent = true;
  ASSERT_TRUE(Run([&] { return text->Eof; }));
  text->Close();
  sessions.emplace_back(text, textRemote);

  auto [binary, binaryRemote] = Connect();
  ASSERT_NE(binaryRemote, nullptr);
  for (int i = 0; i < 1024; ++i) binary->ToSend += static_cast<char>(i);
  binaryRemote->ToSend = Pattern(3000, 7);
  ASSERT_TRUE(Run([&] { return binaryRemote->Received.size() == 1024 && binary->Received.size() == 3000; }));
  binary->Close();
  ASSERT_TRUE(Run([&] { return binaryRemote->Eof; }));
  binaryRemote->Close();
  sessions.emplace_back(binary, binaryRemote);

  auto [empty, emptyRemote] = Connect();
  ASSERT_NE(emptyRemote, nullptr);
  empty->Close();
  ASSERT_TRUE(Run([&] { return emptyRemote->Eof; }));
  emptyRemote->Close();
  sessions.emplace_back(empty, emptyRemote);

  auto [big, bigRemote] = Connect();
  ASSERT_NE(bigRemote, nullptr);
  big->ToSend = Pattern(20 << 20, 20);
  big->CloseWhenSent = true;
  ASSERT_TRUE(Run([&] { return bigRemote->Eof; }, 120000));
  bigRemote->Close();
  sessions.emplace_back(big, bigRemote);

  auto [reset, resetRemote] = Connect();
  ASSERT_NE(resetRemote, nullptr);
  reset->ToSend = "before the reset";
  ASSERT_TRUE(Run([&] { return resetRemote->Received == reset->ToSend; }));
  RawReset(resetRemote->Fd);
  resetRemote->Closed = true;
  ASSERT_TRUE(Run([&] { return reset->Eof; }));
  sessions.emplace_back(reset, resetRemote);
  const std::uint16_t resetPort = Ports.back();

  Stop(*p);
  EXPECT_EQ(Faults(path), std::vector<std::string>{});
  const auto streams = FollowAll(path);
  EXPECT_EQ(streams.size(), sessions.size());
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    auto [local, remote] = sessions[i];
    const std::uint16_t port = Ports[i];
    SCOPED_TRACE(port);
    const TFollowed* f = StreamFrom(streams, port);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->Bytes[0].size(), local->ToSend.size());
    EXPECT_EQ(Checksum(f->Bytes[0]), Checksum(local->ToSend));
    EXPECT_EQ(Checksum(f->Bytes[0]), Checksum(remote->Received));
    EXPECT_EQ(f->Bytes[1], remote->ToSend);
    EXPECT_EQ(f->Bytes[1], local->Received);
  }
  // The reset shows as an RST from the remote side; the others end with a FIN from each side.
  EXPECT_EQ(Tshark(path, "-Y 'tcp.flags.reset == 1' -T fields -e tcp.dstport"), std::vector<std::string>{std::to_string(resetPort)});
  EXPECT_EQ(Tshark(path, "-Y 'tcp.flags.fin == 1' -T fields -e tcp.stream").size(), 2 * (sessions.size() - 1));
}

// Line mode sends each line on its own; the files still hold each direction's bytes as they went.
TEST_F(HeadlessSave, RawStreamsInLineModeHoldEachDirectionsBytesInFilesNamedForTheSession) {
  const fs::path folder = Dir / "streams";
  auto p = Start({"--line-mode", "--save", folder.string() + "/"});
  auto [local, remote] = Connect();
  ASSERT_NE(remote, nullptr);
  remote->ToSend = "one\r\ntwo\r\n";
  ASSERT_TRUE(Run([&] { return local->Received.size() == remote->ToSend.size(); }));
  // The last line has no end: it leaves with the end of the stream.
  local->ToSend = std::string("first line\r\nsecond\0line\r\n\xFF no end", 34);
  local->CloseWhenSent = true;
  ASSERT_TRUE(Run([&] { return remote->Eof; }));
  EXPECT_EQ(remote->Received, local->ToSend);
  remote->Close();
  Stop(*p);

  TSessionInfo info;
  info.Id = 1;  // the program's first session
  info.LocalAddr = "127.0.0.1";
  info.LocalPort = Ports[0];
  info.RemoteAddr = "127.0.0.1";
  info.RemotePort = Remote.Listener.Port;
  EXPECT_EQ(ReadFile(folder / StreamFileName(info, edFromLocal)), local->ToSend);
  EXPECT_EQ(ReadFile(folder / StreamFileName(info, edFromLocal)), remote->Received);
  EXPECT_EQ(ReadFile(folder / StreamFileName(info, edFromRemote)), local->Received);
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder)) ++files;
  EXPECT_EQ(files, 2u);
}

// A request ended by the client before the relay's connection to the server is up (the server's
// full accept queue holds it back), then answered: the capture shows the connection, the request,
// the client's end, and only then the answer and the server's end.
TEST_F(HeadlessSave, ARequestEndedBeforeTheRemoteConnectsIsCapturedInTheOrderItWent) {
  ASSERT_TRUE(HaveTshark());
  RawListener slow(0);
  const int filler = RawConnect(slow.Port);  // takes the one place in the accept queue
  ASSERT_GE(filler, 0);
  const std::string path = (Dir / "early-end.pcapng").string();
  auto p = Start({"--save", path}, slow.Port);
  Locals.push_back(std::make_unique<TPeer>(RawConnect(Port)));
  TPeer& local = *Locals.back();
  const std::string port = std::to_string(LocalPortOf(local.Fd));
  local.ToSend = "a request\r\n";
  local.ShutdownWhenSent = true;
  // The request and its end have reached the relay (its connection waits a second for the retry).
  ASSERT_TRUE(Run([&] { return local.TcpState() == TCP_FIN_WAIT2; }));
  ::close(::accept(slow.Fd, nullptr, nullptr));
  ::close(filler);
  std::unique_ptr<TPeer> server;
  ASSERT_TRUE(Run([&] {
    if (!server) {
      const int c = ::accept4(slow.Fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) server = std::make_unique<TPeer>(c);
    }
    if (server) server->Service();
    return server && server->Eof;
  }));
  EXPECT_EQ(server->Received, local.ToSend);
  server->ToSend = "the answer";
  server->CloseWhenSent = true;
  ASSERT_TRUE(Run([&] {
    server->Service();
    return local.Eof;
  }));
  EXPECT_EQ(local.Received, "the answer");
  Stop(*p);
  EXPECT_EQ(Faults(path), std::vector<std::string>{});
  const std::string remote = std::to_string(slow.Port);
  EXPECT_EQ(Tshark(path, "-T fields -e tcp.srcport -e tcp.flags -e tcp.len"),
            (std::vector<std::string>{port + "\t0x0002\t0", remote + "\t0x0012\t0", port + "\t0x0010\t0",
                                      port + "\t0x0018\t11", port + "\t0x0011\t0",  // the request, its end
                                      remote + "\t0x0018\t10", remote + "\t0x0011\t0",  // the answer, its end
                                      port + "\t0x0010\t0"}));
}

// Nothing listens at the remote port: the capture shows the client's SYN refused by an RST.
TEST_F(HeadlessSave, ARefusedConnectIsASynAnsweredByAReset) {
  ASSERT_TRUE(HaveTshark());
  const std::string path = (Dir / "refused.pcapng").string();
  const std::uint16_t closed = UnusedPort();
  auto p = Start({"--save", path}, closed);
  Locals.push_back(std::make_unique<TPeer>(RawConnect(Port)));
  TPeer& local = *Locals.back();
  const std::string port = std::to_string(LocalPortOf(local.Fd));
  ASSERT_TRUE(Run([&] { return local.Eof; }));
  Stop(*p);
  EXPECT_EQ(Tshark(path, "-T fields -e tcp.srcport -e tcp.dstport -e tcp.flags"),
            (std::vector<std::string>{port + "\t" + std::to_string(closed) + "\t0x0002",
                                      std::to_string(closed) + "\t" + port + "\t0x0014"}));
  const auto comments = Tshark(path, "-Y 'tcp.flags.reset == 1' -T fields -e frame.comment");
  ASSERT_EQ(comments.size(), 1u);
  EXPECT_NE(comments[0].find("refused"), std::string::npos) << comments[0];
}

// A program killed without warning leaves a capture that reads to its end and holds at least
// every byte that had reached the remote side, in order: each entry is written before its bytes
// go on, and flushed.
TEST_F(HeadlessSave, KilledMidTransferTheCaptureReadsUpToTheLastEntry) {
  ASSERT_TRUE(HaveTshark());
  const std::string path = (Dir / "killed.pcapng").string();
  auto p = Start({"--save", path});
  auto [local, remote] = Connect();
  ASSERT_NE(remote, nullptr);
  local->ToSend = Pattern(16 << 20, 3);
  remote->SlowReader(64 << 10);
  ASSERT_TRUE(Run([&] { return remote->Received.size() >= (2u << 20); }));
  p->Signal(SIGKILL);
  EXPECT_EQ(p->WaitExit(), -2);
  const std::size_t reached = remote->Received.size();
  ASSERT_LT(reached, local->ToSend.size());

  int status = 0;
  const std::string info = RunCommand("capinfos -c " + Quoted(path) + " 2>&1", status);
  EXPECT_EQ(status, 0) << info;
  EXPECT_EQ(Faults(path), std::vector<std::string>{});
  const auto streams = FollowAll(path);
  const TFollowed* f = StreamFrom(streams, Ports[0]);
  ASSERT_NE(f, nullptr);
  EXPECT_GE(f->Bytes[0].size(), reached);
  EXPECT_EQ(Checksum(f->Bytes[0]), Checksum(local->ToSend.substr(0, f->Bytes[0].size())));
}

// A file that takes nothing, not even a capture's headers, is refused before anything listens.
TEST_F(HeadlessSave, AFileThatTakesNothingIsRefusedAtTheStartWithStatusOne) {
  const fs::path path = Dir / "full.pcapng";
  fs::create_symlink("/dev/full", path);
  TChildProgram p({"--headless", "--local-port", "0", "--remote-addr", "127.0.0.1", "--remote-port", "80", "--save",
                   path.string()});
  EXPECT_EQ(p.WaitExit(), 1);
  EXPECT_EQ(p.Err(), "vantrel: cannot save: " + path.string() + ": No space left on device\n");
}

// A save that fails in the middle of the run (a full disk, a file at the size limit) stops, and
// says so once; the relay goes on byte-exact, also for a session that comes after; the program
// ends with status 1, so that a script knows the saved file is not whole.
struct TFailingSave {
  const char* Name;
  const char* File;        // in the test's folder
  bool FullDisk;           // the file is /dev/full
  rlim_t FileSizeLimit;    // of the program, 0: none
  const char* Reason;
};

void PrintTo(const TFailingSave& C, std::ostream* Out) { *Out << C.Name; }

class HeadlessSaveFails : public HeadlessSave, public ::testing::WithParamInterface<TFailingSave> {};

TEST_P(HeadlessSaveFails, MidRunTheRelayGoesOnAndTheStatusIsOne) {
  const TFailingSave& c = GetParam();
  const std::string path = (Dir / c.File).string();
  if (c.FullDisk) fs::create_symlink("/dev/full", path);
  TChildSetup setup;
  setup.FileSizeLimit = c.FileSizeLimit;
  auto p = Start({"--save", path}, 0, setup);
  auto [local, remote] = Connect();
  ASSERT_NE(remote, nullptr);
  local->ToSend = Pattern(1 << 20, 51);
  remote->ToSend = Pattern(1 << 20, 52);
  ASSERT_TRUE(Run([&] {
    return (remote->Received.size() >= local->ToSend.size() && local->Received.size() >= remote->ToSend.size()) ||
           local->Eof || remote->Eof;
  }));
  EXPECT_EQ(Checksum(remote->Received), Checksum(local->ToSend));
  EXPECT_EQ(Checksum(local->Received), Checksum(remote->ToSend));
  // The file that failed: the one saved to, or for raw streams one in the folder.
  const std::string said = "vantrel: saving stopped (the relay goes on): " + path;
  EXPECT_TRUE(p->WaitForErr(said)) << p->Err();
  auto [later, laterRemote] = Connect();
  ASSERT_NE(laterRemote, nullptr);
  later->ToSend = "after the save stopped";
  ASSERT_TRUE(Run([&] { return laterRemote->Received == later->ToSend || laterRemote->Eof; }));
  EXPECT_EQ(laterRemote->Received, later->ToSend);
  EXPECT_FALSE(p->Exited());
  p->Signal(SIGTERM);
  EXPECT_EQ(p->WaitExit(), 1) << p->Err();
  const std::string& err = p->Err();
  std::size_t times = 0;
  for (std::size_t at = 0; (at = err.find(said, at)) != std::string::npos; at += said.size()) ++times;
  EXPECT_EQ(times, 1u) << err;
  const std::size_t start = err.find(said), end = err.find('\n', start);
  ASSERT_NE(end, std::string::npos) << err;
  EXPECT_TRUE(err.substr(start, end - start).ends_with(std::string(": ") + c.Reason)) << err;
  EXPECT_EQ(err.find("saving failed"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, HeadlessSaveFails,
    ::testing::Values(TFailingSave{"LogTextOnAFullDisk", "full.txt", true, 0, "No space left on device"},
                      TFailingSave{"CaptureAtTheFileSizeLimit", "limited.pcapng", false, 256 << 10, "File too large"},
                      TFailingSave{"RawStreamsAtTheFileSizeLimit", "streams/", false, 256 << 10, "File too large"}),
    [](const ::testing::TestParamInfo<TFailingSave>& Info) { return std::string(Info.param.Name); });

TEST_F(HeadlessSave, AFolderThatCannotBeMadeIsAnErrorWithStatusOne) {
  TChildProgram p({"--headless", "--local-port", "0", "--remote-addr", "127.0.0.1", "--remote-port", "80", "--save",
                   (Dir / "no" / "such" / "x.pcapng").string()});
  EXPECT_EQ(p.WaitExit(), 1);
  EXPECT_NE(p.Err().find("vantrel: cannot save: "), std::string::npos) << p.Err();
  EXPECT_NE(p.Err().find("No such file or directory"), std::string::npos) << p.Err();
}

}  // namespace
