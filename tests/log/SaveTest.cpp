// Saving the traffic: a record of scripted sessions saved as a capture (read back with tshark,
// every stream byte-exact both ways), as raw stream files and as log text; bodies the record lost;
// the failures that must leave nothing under the chosen name; and the window's "Save As..." path.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "record/CaptureCheck.h"
#include "QtTestApp.h"
#include "record/AnsiText.h"
#include "record/LogText.h"
#include "record/TrafficWriter.h"
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
            (std::vector<std::string>{"10.0.0.9\t0x0002\tSession 4", "127.0.0.1\t0x0014\t" + Sessions[3].Info.Reason}));
  EXPECT_EQ(Tshark(path, "-Y 'tcp.port == 40005 && tcp.flags.syn == 1' -T fields -e ip.dst"), std::vector<std::string>{"0.0.0.0"});
  EXPECT_EQ(Tshark(path, "-Y 'tcp.port == 40007' -T fields -e ipv6.src")[0], "::ffff:127.0.0.1");
  // Each session's SYN, and no other packet without data, names the session by its number (the
  // attempts that failed are written at their end, hence the order does not matter).
  std::vector<std::string> named;
  for (const TScripted& s : Sessions)
    named.push_back(std::to_string(s.Info.LocalPort) + "\tSession " + std::to_string(s.Info.Id));
  auto syns = Tshark(path, "-Y 'tcp.len == 0 && frame.comment contains \"Session\"' -T fields -e tcp.srcport -e frame.comment");
  std::sort(syns.begin(), syns.end());
  EXPECT_EQ(syns, named);
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

// A packet comment longer than an option can say (a title of 120,011 characters, 50,000 of them two
// bytes in UTF-8) is split into several comments, each cut between characters: the capture reads
// to its end, the packets after it are all there, and the comments read back make the whole title.
TEST(SaveCapture, ACommentBeyondAnOptionsLengthIsSplitAndTheCaptureReadsToItsEnd) {
  ASSERT_TRUE(HaveTshark());
  TTempDir dir;
  const std::string path = (dir.Path / "long.pcapng").string();
  // Windows-1252 0xE9 is two bytes in UTF-8: an odd length such as 65,535 falls inside one.
  const std::string title = "From Local" + std::string(50000, '\xE9') + " " + std::string(70000, 'x');
  std::string expected;
  AppendAnsiUtf8(title, expected);
  ASSERT_EQ(expected.size(), 10 + 100000 + 1 + 70000u);
  auto w = MakeTrafficWriter(sfCapture, path, false);
  ASSERT_FALSE(w->Failed()) << w->Error();
  const std::string bodies[3] = {Bytes(3000, 1), Bytes(100, 2), Bytes(70000, 3)};
  for (std::uint64_t id = 1; id <= 3; ++id) {
    TSessionInfo info;
    info.Id = id;
    info.LocalAddr = "127.0.0.1";
    info.LocalPort = static_cast<std::uint16_t>(40100 + id);
    info.RemoteAddr = "10.0.0.5";
    info.RemotePort = 40100;  // no protocol of a well-known port reads the random bodies
    info.StartUs = 1765000000000000 + static_cast<std::int64_t>(id) * 1000;
    info.ConnectedUs = info.StartUs + 10;
    w->SessionStarted(info);
    TRecordEntry e;
    e.TimeUs = info.StartUs + 20;
    e.Session = id;
    e.Direction = edFromLocal;
    e.BodyLength = bodies[id - 1].size();
    w->Entry(e, id == 2 ? title : std::string("From Local"), &bodies[id - 1]);
    info.EndUs = info.StartUs + 30;
    info.LocalEnd = info.RemoteEnd = seFinished;
    w->SessionEnded(info);
  }
  ASSERT_TRUE(w->Close()) << w->Error();
  ASSERT_TRUE(w->Commit()) << w->Error();

  int status = 0;
  const std::string info = RunCommand("capinfos -c " + Quoted(path) + " 2>&1", status);
  EXPECT_EQ(status, 0) << info;
  EXPECT_EQ(Faults(path), std::vector<std::string>{});
  // Three sessions of seven packets, the first session's body in one segment, the third's in two.
  EXPECT_EQ(Tshark(path, "-T fields -e frame.number").size(), 3u * 7 + 1);
  const auto streams = FollowAll(path);
  ASSERT_EQ(streams.size(), 3u);
  for (std::uint64_t id = 1; id <= 3; ++id) {
    const TFollowed* f = StreamFrom(streams, static_cast<std::uint16_t>(40100 + id));
    ASSERT_NE(f, nullptr) << id;
    EXPECT_EQ(f->Bytes[0], bodies[id - 1]) << id;
  }
  // tshark writes a packet's comments joined by commas; the title has none of its own.
  const auto comments = Tshark(path, "-Y 'tcp.srcport == 40102 && tcp.len > 0' -T fields -e frame.comment");
  ASSERT_EQ(comments.size(), 1u);
  std::vector<std::string> parts;
  for (std::size_t at = 0;;) {
    const std::size_t comma = comments[0].find(',', at);
    parts.push_back(comments[0].substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  EXPECT_EQ(parts.size(), 3u);
  std::string joined;
  for (const std::string& part : parts) {
    EXPECT_LE(part.size(), 0xFFFFu);
    ASSERT_FALSE(part.empty());
    EXPECT_NE(static_cast<unsigned char>(part[0]) & 0xC0, 0x80) << "a part starts inside a character";
    joined += part;
  }
  EXPECT_EQ(joined.size(), expected.size());
  EXPECT_TRUE(joined == expected) << "the comments do not make the title";
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

// One session written to the log as the relay writes it: its facts as they change, Up from the
// local side in a text and a hex entry, Down from the remote side.
TSessionInfo RelaySession(TLog& Log, const std::string& Up, const std::string& Down) {
  TSessionInfo info;
  info.Id = 1;
  info.LocalAddr = "127.0.0.1";
  info.LocalPort = 41000;
  info.RemoteAddr = "127.0.0.1";
  info.RemotePort = 41001;
  info.StartUs = WallClockUs();
  Log.SessionChanged(info);
  info.ConnectedUs = WallClockUs();
  info.State = ssRelaying;
  Log.SessionChanged(info);
  Log.SetEntryTitle("From Local");
  Log.AddEntry(Up.substr(0, 1000), {1, edFromLocal, 0});
  Log.Debugstring1Click(nullptr);
  Log.AddEntry(Up.substr(1000), {1, edFromLocal, 1000});
  Log.SetEntryTitle("From Remote");
  Log.AddEntry(Down, {1, edFromRemote, 0});
  info.LocalEnd = info.RemoteEnd = seFinished;
  info.State = ssClosed;
  info.EndUs = WallClockUs();
  Log.SessionChanged(info);
  return info;
}

// A capture saved from the window, as the relay fills it: session facts, entries in both modes.
TEST(SaveWindow, ACaptureSavedFromTheWindowFollowsByteExact) {
  ASSERT_TRUE(HaveTshark());
  TTempDir dir;
  TLog log;
  const std::string up = Bytes(200000, 1), down = Bytes(70000, 2);
  RelaySession(log, up, down);
  const std::string path = (dir.Path / "window.pcapng").string();
  ASSERT_TRUE(log.SaveTo(QString::fromStdString(path), sfCapture));
  const auto streams = FollowAll(path);
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams.begin()->second.Bytes[0], up);
  EXPECT_EQ(streams.begin()->second.Bytes[1], down);
  EXPECT_EQ(Faults(path), std::vector<std::string>{});
}

// Bytes compared without printing megabytes: their lengths and the first difference.
::testing::AssertionResult SameBytes(const std::string& Got, const std::string& Expected) {
  if (Got == Expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < Got.size() && at < Expected.size() && Got[at] == Expected[at]) ++at;
  return ::testing::AssertionFailure() << Got.size() << " bytes where " << Expected.size() << " were expected, differing from byte " << at;
}

// The name typed decides; the filter counts only for a name that says nothing.
TEST(SaveChoice, TheTypedNameDecidesTheFormatAndANameWithoutOneTakesTheFiltersAndItsExtension) {
  TTempDir dir;
  fs::create_directory(dir.Path / "there");
  fs::create_directory(dir.Path / "there.txt");
  const QString d = QString::fromStdString(dir.Path.string()) + u'/';
  const struct {
    const char* Typed;
    TSaveFormat Filter;
    const char* Saved;
    TSaveFormat Format;
  } cases[] = {
      {"capture.pcapng", sfLogText, "capture.pcapng", sfCapture},
      {"capture.pcapng", sfRawStreams, "capture.pcapng", sfCapture},
      {"notes.txt", sfCapture, "notes.txt", sfLogText},
      {"notes.txt", sfRawStreams, "notes.txt", sfLogText},
      {"streams/", sfLogText, "streams/", sfRawStreams},
      {"there", sfCapture, "there", sfRawStreams},          // a folder that exists
      {"there.txt", sfLogText, "there.txt", sfRawStreams},  // a folder, whatever its name says
      {"capture", sfCapture, "capture.pcapng", sfCapture},
      {"log", sfLogText, "log.txt", sfLogText},
      {"log.v2", sfLogText, "log.v2.txt", sfLogText},
      {"trace.pcap", sfCapture, "trace.pcap.pcapng", sfCapture},
      {"dump", sfRawStreams, "dump", sfRawStreams},
      {"dump.bin", sfRawStreams, "dump.bin", sfRawStreams},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.Typed << " with filter " << int{c.Filter});
    const TSaveChoice choice = SaveChoiceFor(d + QString::fromLatin1(c.Typed), c.Filter);
    EXPECT_EQ(choice.Path, d + QString::fromLatin1(c.Saved));
    EXPECT_EQ(int{choice.Format}, int{c.Format});
  }
}

// Plays the user's part in the modal windows that an action opens: each step gets the next one
// (the file dialog, a message box) as it comes up, and answers it.
class TUser {
public:
  using TStep = std::function<void(QWidget* Window)>;

  // Runs Action with the steps played in order. False when a window that no step was left for
  // came up (it is closed), or a step's window did not (within seconds).
  bool Play(std::vector<TStep> Steps, const std::function<void()>& Action) {
    std::size_t next = 0;
    bool unexpected = false;
    QPointer<QWidget> answered;  // a message box is gone once answered
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
      QWidget* window = QApplication::activeModalWidget();
      if (answered != nullptr && !answered->isVisible()) answered = nullptr;
      if (window == nullptr || window == answered) {
        if (++ticks > 2000) tick.stop();
        return;
      }
      answered = window;
      if (next < Steps.size()) return Steps[next++](window);
      unexpected = true;
      window->close();
    });
    tick.start(5);
    Action();
    tick.stop();
    return next == Steps.size() && !unexpected;
  }
};

// The file dialog: chooses Filter (unless empty), types Name, notes the filter then shown, and
// presses Save.
TUser::TStep SaveAs(const QString& Name, const QString& Filter, QString* FilterShown = nullptr) {
  return [=](QWidget* Window) {
    auto* dialog = qobject_cast<QFileDialog*>(Window);
    auto* edit = dialog != nullptr ? dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")) : nullptr;
    if (edit == nullptr) {
      ADD_FAILURE() << "not the file dialog: " << Window->metaObject()->className();
      return (void)Window->close();
    }
    if (!Filter.isEmpty()) dialog->selectNameFilter(Filter);
    edit->clear();
    edit->setText(Name);
    if (FilterShown != nullptr) *FilterShown = dialog->selectedNameFilter();
    QMetaObject::invokeMethod(dialog, "accept");
  };
}

TUser::TStep Answer(QMessageBox::StandardButton Button, QString* Text) {
  return [=](QWidget* Window) {
    auto* box = qobject_cast<QMessageBox*>(Window);
    if (box == nullptr) {
      ADD_FAILURE() << "not a message box: " << Window->metaObject()->className();
      return (void)Window->close();
    }
    *Text = box->text();
    if (QAbstractButton* button = box->button(Button)) return button->click();
    ADD_FAILURE() << "no such button";
    box->close();
  };
}

const QString kText = QStringLiteral("Log text (*.txt)");
const QString kCapture = QStringLiteral("Capture file (*.pcapng)");
const QString kStreams = QStringLiteral("Raw streams (folder)");

// "Save As..." as a user goes through it: the name typed decides what is saved, the filter follows
// it, and a name that says nothing takes the filter's format and extension. Each file is read
// back: the captures with tshark, the text against the view's, the streams byte for byte.
TEST(SaveWindow, SaveAsSavesWhatTheTypedNameSaysAndTheFilterFollowsTheName) {
  ASSERT_TRUE(HaveTshark());
  std::vector<std::string> errors;
  auto previous = platform::gui::SetErrorHandler([&](const std::string& m) { errors.push_back(m); });
  TTempDir dir;
  TLog log;
  const std::string up = Bytes(120000, 7), down = Bytes(30000, 8);
  const TSessionInfo info = RelaySession(log, up, down);
  log.LogWnd->Flush();
  const QString d = QString::fromStdString(dir.Path.string()) + u'/';
  const auto capture = [&](const char* Name) {
    SCOPED_TRACE(Name);
    const std::string path = (dir.Path / Name).string();
    const auto streams = FollowAll(path);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_TRUE(SameBytes(streams.begin()->second.Bytes[0], up));
    EXPECT_TRUE(SameBytes(streams.begin()->second.Bytes[1], down));
  };
  TUser user;
  QString shown;

  // The dialog opens on log text; the name typed turns it to a capture.
  ASSERT_TRUE(user.Play({SaveAs(d + "capture.pcapng", {}, &shown)}, [&] { log.SaveAs1Click(nullptr); }));
  EXPECT_EQ(shown, kCapture);
  capture("capture.pcapng");
  EXPECT_EQ(Faults((dir.Path / "capture.pcapng").string()), std::vector<std::string>{});

  ASSERT_TRUE(user.Play({SaveAs(d + "notes.txt", kCapture, &shown)}, [&] { log.SaveAs1Click(nullptr); }));
  EXPECT_EQ(shown, kText);
  EXPECT_TRUE(SameBytes(ReadFile(dir.Path / "notes.txt"), log.LogWnd->AllText().toStdString()));

  ASSERT_TRUE(user.Play({SaveAs(d + "tree/", kText, &shown)}, [&] { log.SaveAs1Click(nullptr); }));
  EXPECT_EQ(shown, kStreams);
  EXPECT_TRUE(SameBytes(ReadFile(dir.Path / "tree" / StreamFileName(info, edFromLocal)), up));
  EXPECT_TRUE(SameBytes(ReadFile(dir.Path / "tree" / StreamFileName(info, edFromRemote)), down));

  // Names that say nothing: the filter's format, and its extension for a file.
  ASSERT_TRUE(user.Play({SaveAs(d + "dump", kCapture, &shown)}, [&] { log.SaveAs1Click(nullptr); }));
  EXPECT_EQ(shown, kCapture);
  capture("dump.pcapng");
  ASSERT_TRUE(user.Play({SaveAs(d + "log.v2", kText)}, [&] { log.SaveAs1Click(nullptr); }));
  EXPECT_TRUE(SameBytes(ReadFile(dir.Path / "log.v2.txt"), log.LogWnd->AllText().toStdString()));
  ASSERT_TRUE(user.Play({SaveAs(d + "streams", kStreams)}, [&] { log.SaveAs1Click(nullptr); }));
  EXPECT_TRUE(SameBytes(ReadFile(dir.Path / "streams" / StreamFileName(info, edFromLocal)), up));
  EXPECT_TRUE(SameBytes(ReadFile(dir.Path / "streams" / StreamFileName(info, edFromRemote)), down));

  // A file that is there under the final name is replaced only when the user says so: "No" brings
  // the dialog back.
  const std::string before = ReadFile(dir.Path / "log.v2.txt");
  log.SetEntryTitle("Later");
  log.AddEntry("one more");
  log.LogWnd->Flush();
  QString asked;
  ASSERT_TRUE(user.Play({SaveAs(d + "log.v2", kText), Answer(QMessageBox::No, &asked),
                         [](QWidget* Dialog) { QMetaObject::invokeMethod(Dialog, "reject"); }},
                        [&] { log.SaveAs1Click(nullptr); }));
  EXPECT_EQ(asked, QStringLiteral("log.v2.txt already exists.\nDo you want to replace it?"));
  EXPECT_TRUE(SameBytes(ReadFile(dir.Path / "log.v2.txt"), before));
  ASSERT_TRUE(user.Play({SaveAs(d + "log.v2", kText), Answer(QMessageBox::Yes, &asked)}, [&] { log.SaveAs1Click(nullptr); }));
  EXPECT_TRUE(SameBytes(ReadFile(dir.Path / "log.v2.txt"), log.LogWnd->AllText().toStdString()));
  EXPECT_NE(ReadFile(dir.Path / "log.v2.txt"), before);

  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"capture.pcapng", "dump.pcapng", "log.v2.txt", "notes.txt", "streams", "tree"}));
  EXPECT_TRUE(errors.empty()) << errors.front();
  platform::gui::SetErrorHandler(previous);
}

}  // namespace
