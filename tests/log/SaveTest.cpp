// Saving the traffic: a record of scripted sessions saved as a capture (read back with tshark,
// every stream byte-exact both ways), as raw stream files and as log text; bodies the record lost;
// the failures that must leave nothing under the chosen name; and the window's "Save As..." path.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "CaptureCheck.h"
#include "QtTestApp.h"
#include "log/LogText.h"
#include "log/TrafficWriter.h"
#include "log/uLog.h"
#include "log/uLogView.h"
#include "platform/gui/ErrorBox.h"

namespace fs = std::filesystem;
using namespace capturetest;

namespace {

std::string Bytes(std::size_t Length, std::uint32_t Seed) {
  std::string s(Length, '\0');
  std::uint32_t x = Seed * 2654435761u + 1;
  for (auto& c : s) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
  return s;
}

std::string ReadFile(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A folder of the test's own, removed with what is in it.
struct TTempDir {
  fs::path Path;
  TTempDir() {
    char name[] = "/tmp/vantrel-save-XXXXXX";
    Path = ::mkdtemp(name);
  }
  ~TTempDir() { fs::remove_all(Path); }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(Path)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

// One scripted session: its facts, and what each side sent.
struct TScripted {
  TSessionInfo Info;
  std::vector<std::string> FromLocal, FromRemote;  // in the order they are added, alternating
  std::string Local() const {
    std::string s;
    for (const auto& b : FromLocal) s += b;
    return s;
  }
  std::string Remote() const {
    std::string s;
    for (const auto& b : FromRemote) s += b;
    return s;
  }
};

// A record of sessions of every kind, at known times, one second apart.
class SaveTest : public ::testing::Test {
protected:
  void SetUp() override {
    auto session = [&](std::uint64_t Id, std::string Local, std::uint16_t LocalPort, std::string Remote,
                       std::uint16_t RemotePort) {
      TScripted s;
      s.Info.Id = Id;
      s.Info.LocalAddr = std::move(Local);
      s.Info.LocalPort = LocalPort;
      s.Info.RemoteHost = "remote.example";
      s.Info.RemoteAddr = std::move(Remote);
      s.Info.RemotePort = RemotePort;
      s.Info.State = ssClosed;
      s.Info.LocalEnd = s.Info.RemoteEnd = seFinished;
      return s;
    };
    TScripted text = session(1, "127.0.0.1", 40001, "10.0.0.5", 80);
    text.FromLocal = {"GET / HTTP/1.0\r\n\r\n"};
    text.FromRemote = {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n", "hello"};
    TScripted binary = session(2, "127.0.0.1", 40002, "10.0.0.5", 80);
    std::string every;
    for (int b = 0; b < 256; ++b) every += static_cast<char>(b);
    // 150,000 bytes: three segments, none over the IP length limit.
    binary.FromLocal = {every, Bytes(150000, 2)};
    binary.FromRemote = {every + every};
    binary.Info.RemoteEnd = seReset;
    binary.Info.State = ssReset;
    binary.Info.Reason = "Connection reset by peer";
    TScripted empty = session(3, "127.0.0.1", 40003, "10.0.0.5", 80);
    TScripted refused = session(4, "127.0.0.1", 40004, "10.0.0.9", 81);
    refused.Info.State = ssFailed;
    refused.Info.LocalEnd = refused.Info.RemoteEnd = seOpen;
    refused.Info.Reason = "the connection to 10.0.0.9 port 81 failed: Connection refused";
    TScripted unresolved = session(5, "127.0.0.1", 40005, "", 82);
    unresolved.Info.State = ssFailed;
    unresolved.Info.LocalEnd = unresolved.Info.RemoteEnd = seOpen;
    unresolved.Info.Reason = "no such host";
    TScripted v6 = session(6, "::1", 40006, "fe80::1", 8080);
    v6.FromLocal = {"over IPv6\n", Bytes(1000, 6)};
    v6.FromRemote = {"ok\n"};
    // A client that came in over IPv4 on a dual-stack port, relayed to an IPv6 remote.
    TScripted mixed = session(7, "::ffff:127.0.0.1", 40007, "::1", 8081);
    mixed.FromLocal = {"mapped"};
    mixed.FromRemote = {"answered"};
    Sessions = {text, binary, empty, refused, unresolved, v6, mixed};

    std::int64_t t = 1765000000000000;  // microseconds
    for (TScripted& s : Sessions) {
      s.Info.StartUs = t;
      const bool connects = s.Info.State != ssFailed;
      if (connects) s.Info.ConnectedUs = t + 300;
      s.Info.Color = static_cast<TColor>(0x101010 * s.Info.Id);
      Record.SetSession(s.Info);
      if (connects) Record.Add("Connection Opened", s.Info.Color, emText, {s.Info.Id, edNone, 0}, "", t + 400);
      std::uint64_t offset[2] = {0, 0};
      for (std::size_t i = 0; i < std::max(s.FromLocal.size(), s.FromRemote.size()); ++i) {
        // Hex and text alternate: the display mode never changes the bytes saved.
        const TEntryMode mode = i % 2 == 0 ? emText : emHex;
        if (i < s.FromLocal.size()) {
          Record.Add("From Local", s.Info.Color, mode, {s.Info.Id, edFromLocal, offset[0]}, s.FromLocal[i], t + 500 + 10 * i);
          offset[0] += s.FromLocal[i].size();
        }
        if (i < s.FromRemote.size()) {
          Record.Add("From Remote", s.Info.Color, mode, {s.Info.Id, edFromRemote, offset[1]}, s.FromRemote[i], t + 505 + 10 * i);
          offset[1] += s.FromRemote[i].size();
        }
      }
      Record.Add("Connection Closed", s.Info.Color, emText, {s.Info.Id, edNone, 0}, "", t + 900);
      s.Info.EndUs = t + 1000;
      Record.SetSession(s.Info);
      t += 1000000;
    }
  }

  TTrafficRecord Record;
  std::vector<TScripted> Sessions;
  TTempDir Dir;
};

TEST_F(SaveTest, ACaptureHoldsEachConnectedSessionAsATcpStreamByteExactBothWays) {
  ASSERT_TRUE(HaveTshark()) << "tshark is needed to read the saved capture (scripts/install-deps installs it)";
  const std::string path = (Dir.Path / "all.pcapng").string();
  std::string error;
  ASSERT_TRUE(SaveRecord(Record, path, sfCapture, error)) << error;
  EXPECT_EQ(Dir.Names(), std::vector<std::string>{"all.pcapng"});  // no temporary file left
  EXPECT_EQ(Faults(path), std::vector<std::string>{});

  const auto streams = FollowAll(path);
  for (const TScripted& s : Sessions) {
    SCOPED_TRACE(s.Info.Id);
    const TFollowed* f = StreamFrom(streams, s.Info.LocalPort);
    ASSERT_NE(f, nullptr);
    if (s.Info.State == ssFailed) {
      EXPECT_EQ(f->Bytes[0].size() + f->Bytes[1].size(), 0u);
      continue;
    }
    EXPECT_EQ(f->Bytes[0], s.Local());
    EXPECT_EQ(f->Bytes[1], s.Remote());
    EXPECT_NE(f->Node[1].find(std::to_string(s.Info.RemotePort)), std::string::npos) << f->Node[1];
  }
  EXPECT_EQ(streams.size(), Sessions.size());

  // Every data segment carries its entry's title, and none is over the length limit.
  const auto segments = Tshark(path, "-Y 'tcp.len > 0' -T fields -e tcp.len -e frame.comment");
  std::size_t biggest = 0;
  for (const std::string& line : segments) {
    biggest = std::max<std::size_t>(biggest, std::stoul(line));
    const std::string comment = line.substr(line.find('\t') + 1);
    EXPECT_TRUE(comment == "From Local" || comment == "From Remote") << line;
  }
  EXPECT_EQ(biggest, 65000u);
  // Both sides' FIN where both finished; the reset as an RST from the remote side; the refused
  // attempt as a SYN answered by an RST with the reason; the unresolved one towards 0.0.0.0.
  EXPECT_EQ(Tshark(path, "-Y 'tcp.port == 40001 && tcp.flags.fin == 1' -T fields -e tcp.srcport"),
            (std::vector<std::string>{"40001", "80"}));
  EXPECT_EQ(Tshark(path, "-Y 'tcp.port == 40002 && tcp.flags.reset == 1' -T fields -e tcp.srcport"),
            std::vector<std::string>{"80"});
  EXPECT_EQ(Tshark(path, "-Y 'tcp.port == 40004' -T fields -e ip.dst -e tcp.flags -e frame.comment"),
            (std::vector<std::string>{"10.0.0.9\t0x0002\t", "127.0.0.1\t0x0014\t" + Sessions[3].Info.Reason}));
  EXPECT_EQ(Tshark(path, "-Y 'tcp.port == 40005 && tcp.flags.syn == 1' -T fields -e ip.dst"), std::vector<std::string>{"0.0.0.0"});
  EXPECT_EQ(Tshark(path, "-Y 'tcp.port == 40007' -T fields -e ipv6.src")[0], "::ffff:127.0.0.1");
}

TEST_F(SaveTest, RawStreamsAreOneFileForEachSessionAndDirectionByteExactNamedToSortByTime) {
  std::string error;
  ASSERT_TRUE(SaveRecord(Record, Dir.Path.string() + "/streams/", sfRawStreams, error)) << error;
  const fs::path streams = Dir.Path / "streams";
  std::vector<std::string> expected;
  for (const TScripted& s : Sessions) {
    SCOPED_TRACE(s.Info.Id);
    const std::string local = StreamFileName(s.Info, edFromLocal), remote = StreamFileName(s.Info, edFromRemote);
    EXPECT_EQ(ReadFile(streams / local), s.Local());
    EXPECT_EQ(ReadFile(streams / remote), s.Remote());
    expected.push_back(local);
    expected.push_back(remote);
  }
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(streams)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, expected);  // sorted by name is sorted by session, hence by time
  EXPECT_EQ(expected[0], "000001 127.0.0.1_40001 to 10.0.0.5_80 from-local.bin");
  EXPECT_EQ(expected[9], "000005 127.0.0.1_40005 to remote.example_82 from-remote.bin");
  EXPECT_EQ(expected[10], "000006 [--1]_40006 to [fe80--1]_8080 from-local.bin");
}

TEST_F(SaveTest, LogTextIsWhatCopyPutsOnTheClipboard) {
  const std::string path = (Dir.Path / "log.txt").string();
  std::string error;
  ASSERT_TRUE(SaveRecord(Record, path, sfLogText, error)) << error;
  const std::string saved = ReadFile(path);
  EXPECT_EQ(saved, RecordText(Record));
  // The window's own copy of the same record.
  TLogView view(Record);
  view.Flush();
  EXPECT_EQ(QString::fromUtf8(saved), view.AllText());
  EXPECT_NE(saved.find("GET / HTTP/1.0...."), std::string::npos);
}

// What fails leaves nothing under the chosen name, and no temporary file either.
TEST_F(SaveTest, FailuresSayWhyAndLeaveNoFile) {
  std::string error;
  // A folder where the file should go.
  fs::create_directory(Dir.Path / "taken.pcapng");
  EXPECT_FALSE(SaveRecord(Record, (Dir.Path / "taken.pcapng").string(), sfCapture, error));
  EXPECT_NE(error.find("Is a directory"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_empty(Dir.Path / "taken.pcapng"));
  // A folder that cannot be made, a file where the folder should be.
  EXPECT_FALSE(SaveRecord(Record, (Dir.Path / "no" / "such" / "log.txt").string(), sfLogText, error));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  EXPECT_FALSE(SaveRecord(Record, "/proc/vantrel-streams/", sfRawStreams, error));
  std::ofstream(Dir.Path / "plain").put('x');
  EXPECT_FALSE(SaveRecord(Record, (Dir.Path / "plain").string(), sfRawStreams, error));
  EXPECT_NE(error.find("Not a directory"), std::string::npos) << error;
  // Cancelled before it ends.
  TSaveProgress progress;
  progress.Cancel = true;
  EXPECT_FALSE(SaveRecord(Record, (Dir.Path / "cancelled.pcapng").string(), sfCapture, error, &progress));
  EXPECT_EQ(Dir.Names(), (std::vector<std::string>{"plain", "taken.pcapng"}));
}

TEST_F(SaveTest, AFullDiskFailsEveryFormatAndLeavesNoFile) {
  // A file-size limit stands in for a full disk: writes beyond it fail with EFBIG.
  std::string big = Bytes(1 << 20, 9);
  Record.Add("From Local", clBlack, emText, {1, edFromLocal, Sessions[0].Local().size()}, big);
  struct sigaction ignore{}, previous{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &previous);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 256 << 10;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string errors[3];
  bool saved[3] = {};
  saved[0] = SaveRecord(Record, (Dir.Path / "full.pcapng").string(), sfCapture, errors[0]);
  saved[1] = SaveRecord(Record, (Dir.Path / "full.txt").string(), sfLogText, errors[1]);
  saved[2] = SaveRecord(Record, (Dir.Path / "streams").string(), sfRawStreams, errors[2]);
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::sigaction(SIGXFSZ, &previous, nullptr);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(saved[i]) << i;
    EXPECT_NE(errors[i].find("File too large"), std::string::npos) << errors[i];
  }
  EXPECT_EQ(Dir.Names(), std::vector<std::string>{"streams"});
  EXPECT_TRUE(fs::is_empty(Dir.Path / "streams"));
}

// A body the record could not keep is never written as other bytes: each format says it is
// missing, and the bytes around it stay where they belong.
TEST(SaveLostBodies, AreLeftOutAndSaidToBeMissing) {
  ASSERT_TRUE(HaveTshark());
  TTempDir dir;
  TSessionInfo info;
  info.Id = 9;
  info.LocalAddr = "127.0.0.1";
  info.LocalPort = 40009;
  info.RemoteAddr = "127.0.0.2";
  info.RemotePort = 90;
  info.StartUs = 1765000000000000;
  info.ConnectedUs = info.StartUs + 10;
  const std::string before = Bytes(100, 1), after = Bytes(30, 3);
  auto entry = [&](std::uint64_t Offset, std::uint64_t Length, std::int64_t At) {
    TRecordEntry e;
    e.TimeUs = info.StartUs + At;
    e.Session = info.Id;
    e.Direction = edFromLocal;
    e.Offset = Offset;
    e.BodyLength = Length;
    e.BodyKept = Length != 50;
    return e;
  };
  std::string text;
  for (TSaveFormat format : {sfCapture, sfRawStreams, sfLogText}) {
    const std::string path = (dir.Path / (format == sfCapture ? "lost.pcapng" : format == sfLogText ? "lost.txt" : "lost")).string();
    auto w = MakeTrafficWriter(format, path, false);
    ASSERT_FALSE(w->Failed()) << w->Error();
    w->SessionStarted(info);
    w->Entry(entry(0, 100, 20), "From Local", &before);
    w->Entry(entry(100, 50, 30), "From Local", nullptr);
    w->Entry(entry(150, 30, 40), "From Local", &after);
    info.EndUs = info.StartUs + 50;
    info.LocalEnd = info.RemoteEnd = seFinished;
    w->SessionEnded(info);
    ASSERT_TRUE(w->Close()) << w->Error();
    ASSERT_TRUE(w->Commit()) << w->Error();
  }
  const auto streams = FollowAll((dir.Path / "lost.pcapng").string());
  ASSERT_EQ(streams.size(), 1u);
  // A reader shows the gap as its own marker between the bytes on either side.
  const std::string& followed = streams.begin()->second.Bytes[0];
  ASSERT_GT(followed.size(), 130u);
  EXPECT_EQ(followed.substr(0, 100), before);
  EXPECT_EQ(followed.substr(followed.size() - 30), after);
  EXPECT_NE(followed.substr(100, followed.size() - 130).find("50 bytes missing"), std::string::npos);
  EXPECT_EQ(Tshark((dir.Path / "lost.pcapng").string(), "-Y 'tcp.analysis.lost_segment' -T fields -e frame.comment"),
            std::vector<std::string>{"From Local: 50 bytes at stream offset 100 were not kept by the log and are missing from this capture"});
  const fs::path stream = dir.Path / "lost" / StreamFileName(info, edFromLocal);
  EXPECT_EQ(ReadFile(stream), before + after);
  EXPECT_EQ(ReadFile(stream.string() + ".lost.txt"), "offset 100: 50 bytes not kept by the log, left out of the file\n");
  EXPECT_NE(ReadFile(dir.Path / "lost.txt").find("From Local\n(not kept)\n"), std::string::npos);
}

// Each side's FIN stands where its end of stream does in the log: a request ended by a half-close
// is followed by its FIN before the answer that the end brought; an end that came before the
// connection was made (nothing sent) follows the handshake at once. Saved from a whole record.
TEST(SaveEnds, EachSidesFinStandsWhereItsEndOfStreamStandsInTheLog) {
  ASSERT_TRUE(HaveTshark());
  TTempDir dir;
  TTrafficRecord record;
  const std::int64_t t = 1765000000000000;
  auto session = [&](std::uint64_t Id, std::uint16_t LocalPort, std::int64_t At) {
    TSessionInfo info;
    info.Id = Id;
    info.LocalAddr = "127.0.0.1";
    info.LocalPort = LocalPort;
    info.RemoteAddr = "127.0.0.2";
    info.RemotePort = 90;
    info.StartUs = At;
    info.ConnectedUs = At + 300;
    info.State = ssClosed;
    info.LocalEnd = info.RemoteEnd = seFinished;
    return info;
  };
  TSessionInfo request = session(1, 40001, t);
  record.SetSession(request);
  record.Add("Connection Opened", clBlack, emText, {1, edNone, 0}, "", t + 300);
  record.Add("From Local", clBlack, emText, {1, edFromLocal, 0}, "request", t + 310);
  record.Add("End of Stream from Local", clBlack, emText, {1, edNone, 0}, "", t + 320);
  record.Add("From Remote", clBlack, emText, {1, edFromRemote, 0}, "answer", t + 330);
  record.Add("End of Stream from Remote", clBlack, emText, {1, edNone, 0}, "", t + 340);
  record.Add("Connection Closed", clBlack, emText, {1, edNone, 0}, "", t + 350);
  request.EndUs = t + 350;
  record.SetSession(request);

  TSessionInfo early = session(2, 40002, t + 1000000);
  record.SetSession(early);
  record.Add("End of Stream from Local", clBlack, emText, {2, edNone, 0}, "", t + 1000100);
  record.Add("Connection Opened", clBlack, emText, {2, edNone, 0}, "", t + 1000300);
  record.Add("From Remote", clBlack, emText, {2, edFromRemote, 0}, "greeting", t + 1000310);
  record.Add("End of Stream from Remote", clBlack, emText, {2, edNone, 0}, "", t + 1000320);
  record.Add("Connection Closed", clBlack, emText, {2, edNone, 0}, "", t + 1000330);
  early.EndUs = t + 1000330;
  record.SetSession(early);

  const std::string path = (dir.Path / "ends.pcapng").string();
  std::string error;
  ASSERT_TRUE(SaveRecord(record, path, sfCapture, error)) << error;
  EXPECT_EQ(Faults(path), std::vector<std::string>{});
  EXPECT_EQ(Tshark(path, "-Y 'tcp.port == 40001' -T fields -e tcp.srcport -e tcp.flags -e tcp.len"),
            (std::vector<std::string>{"40001\t0x0002\t0", "90\t0x0012\t0", "40001\t0x0010\t0",
                                      "40001\t0x0018\t7", "40001\t0x0011\t0", "90\t0x0018\t6", "90\t0x0011\t0",
                                      "40001\t0x0010\t0"}));
  EXPECT_EQ(Tshark(path, "-Y 'tcp.port == 40002' -T fields -e tcp.srcport -e tcp.flags -e tcp.len"),
            (std::vector<std::string>{"40002\t0x0002\t0", "90\t0x0012\t0", "40002\t0x0010\t0",
                                      "40002\t0x0011\t0", "90\t0x0018\t8", "90\t0x0011\t0", "40002\t0x0010\t0"}));
}

// The window: "Save As..." saves through SaveTo, whose result is the clipboard's text; a failure
// goes to the error box.
TEST(SaveWindow, SaveToWritesWhatCopyCopiesAndAFailureShowsTheErrorBox) {
  std::vector<std::string> errors;
  auto previous = platform::gui::SetErrorHandler([&](const std::string& m) { errors.push_back(m); });
  TTempDir dir;
  {
    TLog log;
    log.SetEntryTitle("From Local");
    log.AddEntry("GET / HTTP/1.0\r\n\r\n", {1, edFromLocal, 0});
    log.Debugstring1Click(nullptr);
    log.SetEntryTitle("From Remote");
    log.AddEntry(Bytes(100000, 4), {1, edFromRemote, 0});
    const QString path = QString::fromStdString((dir.Path / "window.txt").string());
    EXPECT_TRUE(log.SaveTo(path, sfLogText));
    log.LogWnd->Flush();
    EXPECT_EQ(QString::fromUtf8(ReadFile(dir.Path / "window.txt")), log.LogWnd->AllText());
    EXPECT_TRUE(errors.empty());
    EXPECT_FALSE(log.SaveTo(QString::fromStdString(dir.Path.string()), sfCapture));  // a folder
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Is a directory"), std::string::npos) << errors[0];
    EXPECT_TRUE(log.SaveAs1->isEnabled());
  }
  platform::gui::SetErrorHandler(previous);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"window.txt"});
}

// A capture saved from the window, as the relay fills it: session facts, entries in both modes.
TEST(SaveWindow, ACaptureSavedFromTheWindowFollowsByteExact) {
  ASSERT_TRUE(HaveTshark());
  TTempDir dir;
  TLog log;
  TSessionInfo info;
  info.Id = 1;
  info.LocalAddr = "127.0.0.1";
  info.LocalPort = 41000;
  info.RemoteAddr = "127.0.0.1";
  info.RemotePort = 41001;
  info.StartUs = WallClockUs();
  log.SessionChanged(info);
  info.ConnectedUs = WallClockUs();
  info.State = ssRelaying;
  log.SessionChanged(info);
  const std::string up = Bytes(200000, 1), down = Bytes(70000, 2);
  log.SetEntryTitle("From Local");
  log.AddEntry(up.substr(0, 1000), {1, edFromLocal, 0});
  log.Debugstring1Click(nullptr);
  log.AddEntry(up.substr(1000), {1, edFromLocal, 1000});
  log.SetEntryTitle("From Remote");
  log.AddEntry(down, {1, edFromRemote, 0});
  info.LocalEnd = info.RemoteEnd = seFinished;
  info.State = ssClosed;
  info.EndUs = WallClockUs();
  log.SessionChanged(info);
  const std::string path = (dir.Path / "window.pcapng").string();
  ASSERT_TRUE(log.SaveTo(QString::fromStdString(path), sfCapture));
  const auto streams = FollowAll(path);
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams.begin()->second.Bytes[0], up);
  EXPECT_EQ(streams.begin()->second.Bytes[1], down);
  EXPECT_EQ(Faults(path), std::vector<std::string>{});
}

}  // namespace
