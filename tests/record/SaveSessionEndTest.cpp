// What the savers keep of a session once it has ended: nothing but its number in a range. A
// million short sessions through a writer leave its memory flat, and facts or entries of a session
// that come after its end add nothing to what is saved.
#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's own count of the heap (GCC ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include <filesystem>
#include <fstream>
#include <sstream>

#include "record/CaptureCheck.h"
#include "record/TrafficWriter.h"
#include "record/WriterParts.h"

namespace fs = std::filesystem;
using namespace capturetest;

namespace {

// The bytes the program has taken from the heap and not given back.
std::size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 m = ::mallinfo2();
  return m.uordblks + m.hblkhd;
#endif
}

std::string ReadFile(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A folder of the test's own, in memory where the system has such a place: the raw streams make
// two files a session, and a disk makes each cost far more than the writer does.
struct TTempDir {
  fs::path Path;
  TTempDir() {
    std::string name = (fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + std::string("/vantrel-ended-XXXXXX");
    Path = ::mkdtemp(name.data());
  }
  ~TTempDir() { fs::remove_all(Path); }
};

TSessionInfo Session(std::uint64_t Id, std::int64_t StartUs) {
  TSessionInfo s;
  s.Id = Id;
  s.LocalAddr = "127.0.0.1";
  s.LocalPort = static_cast<std::uint16_t>(1024 + Id % 60000);
  s.RemoteHost = "remote.example";
  s.RemoteAddr = "10.0.0.5";
  s.RemotePort = 80;
  s.StartUs = StartUs;
  s.ConnectedUs = StartUs + 10;
  s.State = ssRelaying;
  return s;
}

TRecordEntry Data(std::uint64_t Id, TEntryDirection Direction, std::uint64_t Offset, std::size_t Length, std::int64_t At) {
  TRecordEntry e;
  e.TimeUs = At;
  e.Session = Id;
  e.Direction = Direction;
  e.Offset = Offset;
  e.BodyLength = Length;
  return e;
}

struct TManySessions {
  const char* Name;
  TSaveFormat Format;
  std::size_t Sessions;  // sanitized builds run a tenth of them
};

void PrintTo(const TManySessions& C, std::ostream* Out) { *Out << C.Name; }

class SaveManySessions : public ::testing::TestWithParam<TManySessions> {};

// Sessions as a busy relay has them: 64 open at a time, each a request and an answer, ending in
// an order of their own (not the order they began). Memory is taken after a tenth of them (when
// as many are open as at the end, and the writer's buffers have reached their size), and again at
// the end.
TEST_P(SaveManySessions, LeaveTheWritersMemoryFlat) {
  const TManySessions& c = GetParam();
#if defined(__SANITIZE_ADDRESS__)
  const std::size_t sessions = c.Sessions / 10;
#else
  const std::size_t sessions = c.Sessions;
#endif
  constexpr std::size_t kOpen = 64;
  TTempDir dir;
  // The single-file formats go to /dev/null: a million sessions would be most of a gigabyte.
  const std::string path = c.Format == sfRawStreams ? (dir.Path / "streams").string() : "/dev/null";
  auto w = MakeTrafficWriter(c.Format, path, false);
  ASSERT_FALSE(w->Failed()) << w->Error();
  const std::string request = "GET / HTTP/1.0\r\n\r\n", answer = "HTTP/1.0 204 No Content\r\n\r\n";
  std::vector<TSessionInfo> open;
  std::int64_t t = 1765000000000000;
  std::uint32_t order = 12345;
  // Once as many sessions are open as will be at the end, and the buffers have grown.
  const std::size_t warm = std::max(sessions / 10, 4 * kOpen);
  std::size_t measuredAt = 0, before = 0;
  auto endOne = [&] {
    // Any of the open ones: a short session started later often ends first.
    order = order * 1664525u + 1013904223u;
    const std::size_t pick = (order >> 16) % open.size();
    TSessionInfo s = open[pick];
    open[pick] = open.back();
    open.pop_back();
    s.LocalEnd = s.RemoteEnd = seFinished;
    s.State = ssClosed;
    s.EndUs = t++;
    s.BytesFromLocal = request.size();
    s.BytesFromRemote = answer.size();
    w->SessionChanged(s);
  };
  for (std::uint64_t id = 1; id <= sessions; ++id) {
    TSessionInfo s = Session(id, t++);
    w->SessionChanged(s);
    w->Entry(Data(id, edFromLocal, 0, request.size(), t++), "From Local", &request);
    w->Entry(Data(id, edFromRemote, 0, answer.size(), t++), "From Remote", &answer);
    open.push_back(s);
    if (open.size() == kOpen) endOne();
    if (id == warm) {
      ASSERT_TRUE(w->Flush()) << w->Error();
      measuredAt = id;
      before = HeapInUse();
    }
  }
  ASSERT_TRUE(w->Flush()) << w->Error();
  const std::size_t after = HeapInUse();
  const std::size_t grown = after > before ? after - before : 0;
  const std::size_t more = sessions - measuredAt;
  // The ranges of ended numbers vary by a few dozen between the two counts; beyond them, 8 bytes a
  // session at most, where a writer that keeps anything of a session keeps hundreds.
  EXPECT_LT(grown, 4096 + 8 * more) << grown / more << " bytes for each of " << more << " sessions";
  while (!open.empty()) endOne();
  ASSERT_TRUE(w->Close()) << w->Error();
  ASSERT_TRUE(w->Commit()) << w->Error();
  if (c.Format == sfRawStreams) {
    // The writing itself went on as it should: the last session's files hold its bytes.
    const TSessionInfo last = Session(sessions, 0);
    EXPECT_EQ(ReadFile(fs::path(path) / StreamFileName(last, edFromLocal)), request);
    EXPECT_EQ(ReadFile(fs::path(path) / StreamFileName(last, edFromRemote)), answer);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, SaveManySessions,
                         ::testing::Values(TManySessions{"Capture", sfCapture, 1000000},
                                           TManySessions{"LogText", sfLogText, 1000000},
                                           // Two files a session: a million would cost the file
                                           // system, not the writer, minutes.
                                           TManySessions{"RawStreams", sfRawStreams, 5000}),
                         [](const ::testing::TestParamInfo<TManySessions>& Info) { return std::string(Info.param.Name); });

// The facts of a session that come again after its end, and a stray entry of it, add nothing: no
// second handshake or end in the capture, no file made again (which would empty it) or written to.
TEST(SaveAfterASessionEnds, ItsFactsAndEntriesAddNothing) {
  ASSERT_TRUE(HaveTshark()) << "tshark is needed to read the saved capture (scripts/install-deps installs it)";
  TTempDir dir;
  const std::string capture = (dir.Path / "ended.pcapng").string();
  const fs::path streams = dir.Path / "streams";
  const std::string up = "hello", down = "world", late = "after the end";
  for (TSaveFormat format : {sfCapture, sfRawStreams}) {
    auto w = MakeTrafficWriter(format, format == sfCapture ? capture : streams.string(), false);
    ASSERT_FALSE(w->Failed()) << w->Error();
    std::int64_t t = 1765000000000000;
    for (std::uint64_t id = 1; id <= 3; ++id) {
      TSessionInfo s = Session(id, t);
      w->SessionChanged(s);
      w->Entry(Data(id, edFromLocal, 0, up.size(), t + 20), "From Local", &up);
      w->Entry(Data(id, edFromRemote, 0, down.size(), t + 30), "From Remote", &down);
      s.LocalEnd = s.RemoteEnd = seFinished;
      s.State = ssClosed;
      s.EndUs = t + 40;
      w->SessionChanged(s);
      t += 1000;
    }
    // Session 2 again, with a later end, and bytes after its end.
    TSessionInfo again = Session(2, t);
    w->SessionChanged(again);
    w->Entry(Data(2, edFromLocal, up.size(), late.size(), t + 10), "From Local", &late);
    again.EndUs = t + 20;
    again.LocalEnd = seReset;
    again.State = ssReset;
    w->SessionChanged(again);
    ASSERT_TRUE(w->Close()) << w->Error();
    ASSERT_TRUE(w->Commit()) << w->Error();
  }
  EXPECT_EQ(Faults(capture), std::vector<std::string>{});
  // Three sessions of eight packets (the handshake, a segment each way, two FINs and the last ACK):
  // one SYN, two FINs and no reset each, the bytes once.
  EXPECT_EQ(Tshark(capture, "-T fields -e frame.number").size(), 24u);
  EXPECT_EQ(Tshark(capture, "-Y 'tcp.flags.syn == 1 && tcp.flags.ack == 0' -T fields -e tcp.srcport").size(), 3u);
  EXPECT_EQ(Tshark(capture, "-Y 'tcp.flags.fin == 1' -T fields -e tcp.srcport").size(), 6u);
  EXPECT_EQ(Tshark(capture, "-Y 'tcp.flags.reset == 1' -T fields -e tcp.srcport").size(), 0u);
  const auto followed = FollowAll(capture);
  ASSERT_EQ(followed.size(), 3u);
  for (const auto& [n, f] : followed) {
    EXPECT_EQ(f.Bytes[0], up) << n;
    EXPECT_EQ(f.Bytes[1], down) << n;
  }
  const TSessionInfo second = Session(2, 0);
  EXPECT_EQ(ReadFile(streams / StreamFileName(second, edFromLocal)), up);
  EXPECT_EQ(ReadFile(streams / StreamFileName(second, edFromRemote)), down);
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(streams)) files.push_back(e.path().filename().string());
  EXPECT_EQ(files.size(), 6u) << ::testing::PrintToString(files);
}

// The numbers of ended sessions as ranges: whatever order they end in, a number is in the set
// once it has been added and only then, and neighbours join into one range.
TEST(SaveAfterASessionEnds, EndedNumbersJoinIntoRanges) {
  TEndedSessions ended;
  EXPECT_FALSE(ended.Contains(1));
  for (std::uint64_t id : {5, 3, 9, 4}) ended.Add(id);
  EXPECT_EQ(ended.Ranges(), 2u);  // 3-5 and 9
  for (std::uint64_t id : {3, 4, 5, 9}) EXPECT_TRUE(ended.Contains(id)) << id;
  for (std::uint64_t id : {0, 1, 2, 6, 8, 10}) EXPECT_FALSE(ended.Contains(id)) << id;
  ended.Add(7);
  EXPECT_EQ(ended.Ranges(), 3u);
  ended.Add(6);  // bridges 3-5 and 7
  EXPECT_EQ(ended.Ranges(), 2u);
  ended.Add(8);  // bridges 3-7 and 9
  EXPECT_EQ(ended.Ranges(), 1u);
  ended.Add(4);  // again: nothing changes
  EXPECT_EQ(ended.Ranges(), 1u);
  for (std::uint64_t id = 3; id <= 9; ++id) EXPECT_TRUE(ended.Contains(id)) << id;
  EXPECT_FALSE(ended.Contains(2));
  EXPECT_FALSE(ended.Contains(10));
  ended.Add(~std::uint64_t{0});
  EXPECT_TRUE(ended.Contains(~std::uint64_t{0}));
  EXPECT_FALSE(ended.Contains(~std::uint64_t{0} - 1));
}

}  // namespace
