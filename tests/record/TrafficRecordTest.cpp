// The traffic record: bodies byte-exact in memory, across blocks and through the spill file; memory
// and file space given back by Clear; a failing file that loses bodies but never headers; a reader
// thread against the writer while it spills and clears; the sessions' byte counts.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "record/TrafficRecord.h"

namespace {

std::uint64_t Checksum(std::string_view s) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

// Deterministic bytes of every value, into Out (reused, so that big tests allocate once).
void Fill(std::string& Out, std::size_t Length, std::uint32_t Seed) {
  Out.resize(Length);
  std::uint32_t x = Seed * 2654435761u + 1;
  for (auto& c : Out) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
}

std::string Bytes(std::size_t Length, std::uint32_t Seed) {
  std::string s;
  Fill(s, Length, Seed);
  return s;
}

std::string Body(const TTrafficRecord& R, std::uint64_t Index) {
  std::string s;
  EXPECT_TRUE(R.ReadBody(Index, 0, UINT64_MAX, s)) << "entry " << Index;
  return s;
}

long RssBytes() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr || std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
  if (f != nullptr) std::fclose(f);
  return resident * ::sysconf(_SC_PAGESIZE);
}

// A directory of the test's own for the spill file, so that the file can be found among the
// process's descriptors by where it was made.
struct TSpillDir {
  std::string Path;
  TSpillDir() {
    std::string t = (std::filesystem::temp_directory_path() / "record-test-XXXXXX").string();
    Path = ::mkdtemp(t.data()) != nullptr ? t : "";
  }
  ~TSpillDir() { ::rmdir(Path.c_str()); }
  // The spill file's status through /proc/self/fd; false while the record has none.
  bool FileStat(struct stat& Out) const {
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (std::filesystem::read_symlink(fd.path(), ec).string().rfind(Path + "/", 0) == 0) return ::stat(fd.path().c_str(), &Out) == 0;
    }
    return false;
  }
};

const TEntrySource kLocal{1, edFromLocal, 0};

// An entry's header as one value: sequence, title, colour, mode, direction, session, offset,
// body length, kept.
auto Fields(const TTrafficRecord& R, std::uint64_t Index) {
  TRecordEntry e;
  EXPECT_TRUE(R.Entry(Index, e)) << "entry " << Index;
  return std::make_tuple(e.Sequence, R.TitleText(e.Title), e.Color, int(e.Mode), int(e.Direction), e.Session, e.Offset,
                         e.BodyLength, e.BodyKept);
}

TEST(TrafficRecord, EntriesReadBackExactlyWithTheirHeaders) {
  TTrafficRecord r;
  const std::string big = Bytes((3 << 20) + 17, 5);  // across several memory blocks
  const std::int64_t before = WallClockUs();
  EXPECT_EQ(r.Add("From Local", 0x80, emText, {4, edFromLocal, 0}, ""), 0u);
  EXPECT_EQ(r.Add("From Remote", 0x8000, emHex, {4, edFromRemote, 9}, std::string_view("\0", 1)), 1u);
  EXPECT_EQ(r.Add("From Local", 0x80, emText, {4, edFromLocal, 0}, big), 2u);
  EXPECT_EQ(r.Add("Connection Closed", clBlack, emHex, {}, "x", 1234567), 3u);
  ASSERT_EQ(r.Count(), 4u);
  EXPECT_EQ(Fields(r, 1), std::make_tuple(2u, "From Remote", 0x8000u, emHex, edFromRemote, 4u, 9u, 1u, true));
  EXPECT_EQ(Fields(r, 3), std::make_tuple(4u, "Connection Closed", clBlack, emHex, edNone, 0u, 0u, 1u, true));
  TRecordEntry e, third;
  ASSERT_TRUE(r.Entry(1, e) && r.Entry(2, third));
  EXPECT_TRUE(e.TimeUs >= before && e.TimeUs <= WallClockUs()) << e.TimeUs;
  ASSERT_TRUE(r.Entry(3, e));
  EXPECT_EQ(e.TimeUs, 1234567);
  ASSERT_TRUE(r.Entry(0, e));
  EXPECT_EQ(e.Title, third.Title) << "a title is stored once";
  EXPECT_EQ(r.TitleText(99), "");

  EXPECT_EQ(Body(r, 0), "");
  EXPECT_EQ(Body(r, 1), std::string(1, '\0'));
  const std::string read = Body(r, 2);
  EXPECT_EQ(read.size(), big.size());
  EXPECT_EQ(Checksum(read), Checksum(big));
  std::string part = "kept:";
  ASSERT_TRUE(r.ReadBody(2, big.size() - 5, 100, part));
  EXPECT_EQ(part, "kept:" + big.substr(big.size() - 5)) << "appended, cut at the body's end";
  part.clear();
  EXPECT_TRUE(r.ReadBody(2, big.size() + 1, 10, part) && part.empty());
  EXPECT_FALSE(r.Entry(4, e) || r.ReadBody(4, 0, 1, part));
  EXPECT_EQ(r.BodyBytes(), big.size() + 2);
  EXPECT_EQ(r.MemoryBytes(), r.BodyBytes());
  EXPECT_EQ(r.SpilledBytes(), 0u);
}

TEST(TrafficRecord, ManySmallEntriesAcrossHeaderChunksAndBlocks) {
  TTrafficRecord r;
  std::string body;
  const std::uint32_t n = 40000;
  for (std::uint32_t i = 0; i < n; ++i) {
    Fill(body, i % 97, i);
    r.Add(i % 2 ? "a" : "b", i, emText, kLocal, body);
  }
  ASSERT_EQ(r.Count(), n);
  TRecordEntry e;
  for (std::uint32_t i = 0; i < n; ++i) {
    ASSERT_TRUE(r.Entry(i, e));
    ASSERT_EQ(e.Sequence, i + 1u);
    ASSERT_EQ(e.Color, i);
    ASSERT_EQ(r.TitleText(e.Title), i % 2 ? "a" : "b");
    Fill(body, i % 97, i);
    ASSERT_EQ(Body(r, i), body) << "entry " << i;
  }
}

TEST(TrafficRecord, SpillsPastTheBudgetAndReadsBack200MiBExactly) {
  TSpillDir dir;
  const std::uint64_t budget = 8 << 20;
  TTrafficRecord r(budget, dir.Path);
  const long rssBefore = RssBytes();
  std::vector<std::uint64_t> sums, lengths;
  std::string body;
  std::uint32_t x = 7;
  std::uint64_t maxInMemory = 0;
  for (std::uint32_t i = 0; r.BodyBytes() < (200u << 20) && i < 100000; ++i) {
    x = x * 1664525u + 1013904223u;
    Fill(body, (x >> 8) % (256 << 10), i);
    r.Add("From Remote", 1, emHex, kLocal, body);
    sums.push_back(Checksum(body));
    lengths.push_back(body.size());
    maxInMemory = std::max(maxInMemory, r.MemoryBytes());
  }
  EXPECT_LE(maxInMemory, budget + r.BlockSize());
  EXPECT_GE(r.SpilledBytes(), (190u << 20));
  EXPECT_EQ(r.SpilledBytes() + r.MemoryBytes(), r.BodyBytes());
  EXPECT_EQ(r.LostBytes(), 0u);
  struct stat st {};
  ASSERT_TRUE(dir.FileStat(st));
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), r.SpilledBytes());
  EXPECT_LT(RssBytes() - rssBefore, static_cast<long>(budget) + (64 << 20)) << "bodies stay out of memory";
  for (std::size_t i = 0; i < sums.size(); ++i) {
    body.clear();
    ASSERT_TRUE(r.ReadBody(i, 0, UINT64_MAX, body));
    ASSERT_EQ(body.size(), lengths[i]);
    ASSERT_EQ(Checksum(body), sums[i]) << "entry " << i;
  }
}

TEST(TrafficRecord, ReadsAcrossBlockAndFileBoundaries) {
  TSpillDir dir;
  TTrafficRecord r(256 << 10, dir.Path);
  const std::uint64_t b = r.BlockSize();
  ASSERT_EQ(b, 16u << 10);
  r.Add("lead", 1, emText, kLocal, Bytes(100, 1));
  const std::string big = Bytes(10 * b + 123, 2);  // stream bytes [100, 10b + 223)
  r.Add("big", 1, emText, kLocal, big);
  for (int i = 0; r.SpilledBytes() < 4 * b && i < 100; ++i) r.Add("filler", 1, emText, kLocal, Bytes(b, 3));
  const std::uint64_t inFile = r.SpilledBytes() - 100;  // bytes of big in the file
  ASSERT_GT(inFile, 0u);
  ASSERT_LT(inFile, big.size());
  std::vector<std::uint64_t> starts{0, inFile};
  for (std::uint64_t k = 1; k <= 10; ++k) starts.push_back(k * b - 100);
  for (std::uint64_t at : starts) {
    for (std::uint64_t from : {at - 2, at - 1, at, at + 1}) {
      if (from > big.size()) continue;
      for (std::uint64_t length : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3}, b + 2}) {
        std::string out;
        ASSERT_TRUE(r.ReadBody(1, from, length, out));
        ASSERT_EQ(out, big.substr(from, length)) << "from " << from << " length " << length;
      }
    }
  }
  EXPECT_EQ(Body(r, 1), big);
}

TEST(TrafficRecord, ClearGivesMemoryAndFileSpaceBackAndStartsAgain) {
  TSpillDir dir;
  TTrafficRecord r(4 << 20, dir.Path);
  for (int i = 0; i < 1024; ++i) r.Add("From Local", 1, emText, kLocal, Bytes(64 << 10, i));
  struct stat st {};
  ASSERT_TRUE(dir.FileStat(st));
  EXPECT_GE(st.st_size, 56 << 20);
  const long rssFull = RssBytes();
  const std::uint64_t generation = r.Generation();

  r.Clear();
  ASSERT_TRUE(dir.FileStat(st));
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_blocks, 0);
  EXPECT_LT(RssBytes(), rssFull - (2 << 20)) << "the memory blocks went back to the system";
  EXPECT_EQ(r.Generation(), generation + 1);
  EXPECT_EQ(r.Count(), 0u);
  EXPECT_EQ(r.BodyBytes() + r.MemoryBytes() + r.SpilledBytes(), 0u);
  TRecordEntry e;
  std::string out;
  EXPECT_FALSE(r.Entry(0, e));
  EXPECT_FALSE(r.ReadBody(0, 0, 1, out));

  for (int i = 0; i < 256; ++i) ASSERT_EQ(r.Add(i ? "again" : "first", 2, emHex, kLocal, Bytes(64 << 10, i + 9)), std::uint64_t(i));
  ASSERT_TRUE(r.Entry(0, e));
  EXPECT_EQ(e.Sequence, 1u);
  EXPECT_EQ(r.TitleText(e.Title), "first");
  EXPECT_GT(r.SpilledBytes(), 8u << 20);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(Body(r, i), Bytes(64 << 10, i + 9)) << "entry " << i;
}

TEST(TrafficRecord, FileSizeLimitLosesBodiesNotHeadersAndSaysSoOncePerRun) {
  TSpillDir dir;
  TTrafficRecord r(256 << 10, dir.Path);
  std::vector<std::string> messages;
  r.OnBodiesLost = [&](const std::string& m) { messages.push_back(m); };
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  struct TRestore {
    rlimit Limit;
    ~TRestore() { ::setrlimit(RLIMIT_FSIZE, &Limit); }
  } restore{old};
  const std::uint64_t limit = 1 << 20, size = 10240;
  rlimit low{limit, old.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);

  // Past the limit every write fails with EFBIG; the process must not die of SIGXFSZ.
  for (std::uint32_t i = 0; i < 300; ++i) r.Add("From Local", 1, emText, kLocal, Bytes(size, i));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("#103 "), std::string::npos) << messages[0];  // holds byte 1 MiB
  EXPECT_NE(messages[0].find(std::strerror(EFBIG)), std::string::npos) << messages[0];
  const std::uint64_t lostEnd = r.SpilledBytes() + r.LostBytes();
  EXPECT_EQ(r.LostBytes(), lostEnd - limit);

  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
  for (std::uint32_t i = 300; i < 600; ++i) r.Add("From Local", 1, emText, kLocal, Bytes(size, i));
  EXPECT_EQ(messages.size(), 1u) << "writes work again";
  ASSERT_EQ(r.Count(), 600u);
  for (std::uint32_t i = 0; i < 600; ++i) {
    TRecordEntry e;
    ASSERT_TRUE(r.Entry(i, e));
    ASSERT_EQ(e.BodyLength, size);
    const bool lost = i * size < lostEnd && (i + 1) * size > limit;
    ASSERT_EQ(e.BodyKept, !lost) << "entry " << i;
    std::string out;
    ASSERT_EQ(r.ReadBody(i, 0, size, out), !lost);
    if (!lost) {
      ASSERT_EQ(out, Bytes(size, i)) << "entry " << i;
    }
  }

  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
  for (std::uint32_t i = 600; i < 700; ++i) r.Add("From Local", 1, emText, kLocal, Bytes(size, i));
  EXPECT_EQ(messages.size(), 2u) << "a new run of failures is reported again";
}

TEST(TrafficRecord, SpillDirectoryThatCannotHoldAFileLosesBodiesWithTheReason) {
  TTrafficRecord r(64 << 10, "/nonexistent/record-test");
  std::vector<std::string> messages;
  r.OnBodiesLost = [&](const std::string& m) { messages.push_back(m); };
  for (std::uint32_t i = 0; i < 64; ++i) r.Add("From Remote", 1, emText, kLocal, Bytes(4096, i));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("/nonexistent/record-test: " + std::string(std::strerror(ENOENT))), std::string::npos)
      << messages[0];
  TRecordEntry e;
  ASSERT_TRUE(r.Entry(0, e) && !e.BodyKept);
  ASSERT_TRUE(r.Entry(63, e) && e.BodyKept);
  EXPECT_EQ(Body(r, 63), Bytes(4096, 63));
  EXPECT_EQ(r.LostBytes() + r.MemoryBytes(), r.BodyBytes());
}

// Body length and seed of entry Sequence in generation Generation: a reader that got an entry of
// one generation with the body of another would see the wrong bytes.
std::size_t LengthOf(std::uint64_t Generation, std::uint64_t Sequence) { return (Sequence * 7919 + Generation * 31) % 20000; }
std::uint32_t SeedOf(std::uint64_t Generation, std::uint64_t Sequence) { return static_cast<std::uint32_t>(Sequence * 3 + Generation * 1000003); }

TEST(TrafficRecord, ReaderThreadsWhileTheWriterAddsSpillsAndClears) {
  TSpillDir dir;
  TTrafficRecord r(1 << 20, dir.Path);
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> checked{0}, wrong{0};
  std::thread reader([&] {
    std::string body, expected;
    std::uint32_t x = 1;
    // Bounded by time as well as by count: before the writer's first entry it only spins.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (long i = 0; i < 100000000 && !done.load() && std::chrono::steady_clock::now() < deadline; ++i) {
      const std::uint64_t g = r.Generation(), n = r.Count();
      if (n == 0) {
        std::this_thread::yield();
        continue;
      }
      x = x * 1664525u + 1013904223u;
      const std::uint64_t index = (x >> 16) % 2 ? n - 1 : (x >> 8) % n;  // the newest, which a view follows, or any
      TRecordEntry e;
      body.clear();
      if (!r.Entry(index, e) || !r.ReadBody(index, 0, UINT64_MAX, body)) continue;
      const std::string title = r.TitleText(e.Title);
      if (r.Generation() != g) continue;  // a Clear came in between: start again
      Fill(expected, LengthOf(g, e.Sequence), SeedOf(g, e.Sequence));
      if (e.Sequence != index + 1 || body != expected || title != "t") ++wrong;
      ++checked;
    }
  });
  std::thread lister([&] {
    for (int i = 0; i < 200000 && !done.load(); ++i) {
      std::uint64_t last = 0;
      for (const TSessionInfo& s : r.Sessions()) {
        if (s.Id <= last || s.Id > 5) ++wrong;  // sessions 1 to 5, in order
        last = s.Id;
      }
    }
  });
  std::string body;
  for (std::uint64_t g = 0; g < 3; ++g) {
    if (g > 0) r.Clear();
    const std::uint64_t before = checked.load();
    for (std::uint64_t seq = 1; seq <= 3000; ++seq) {
      Fill(body, LengthOf(g, seq), SeedOf(g, seq));
      r.Add("t", 1, emText, {seq % 5 + 1, edFromLocal, 0}, body);
    }
    EXPECT_GT(r.SpilledBytes(), 0u);
    // On a busy machine the reader may not have run yet: each generation is read before the next
    // Clear, so that every one is checked against its own bytes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (checked.load() < before + 100 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  }
  done = true;
  reader.join();
  lister.join();
  EXPECT_EQ(wrong.load(), 0u);
  EXPECT_GT(checked.load(), 0u);
}

// Each session as "id:state:from local/from remote", in the order listed.
std::string Listed(const TTrafficRecord& R) {
  std::string s;
  for (const TSessionInfo& i : R.Sessions()) {
    s += std::to_string(i.Id) + ":" + std::to_string(i.State) + ":" + std::to_string(i.BytesFromLocal) + "/" +
         std::to_string(i.BytesFromRemote) + " ";
  }
  return s;
}

TEST(TrafficRecord, SessionsCountTheFurthestBodyEndOfEachDirection) {
  TTrafficRecord r;
  auto set = [&](std::uint64_t Id, TSessionState State) {
    TSessionInfo info;
    info.Id = Id;
    info.State = State;
    info.BytesFromLocal = 12345;  // the record's own counts win
    r.SetSession(info);
  };
  set(9, ssRelaying);
  set(3, ssRelaying);
  r.Add("From Local", 1, emText, {3, edFromLocal, 0}, "0123456789");
  r.Add("From Local", 1, emText, {3, edFromLocal, 10}, "abcde");
  r.Add("From Remote", 1, emText, {3, edFromRemote, 0}, std::string(100, 'r'));
  r.Add("From Local", 1, emText, {3, edFromLocal, 2}, "xy");  // behind the furthest end
  r.Add("Connection Opened", 0x80, emText, {7, edNone, 0}, "");
  r.Add("From Remote", 0x80, emText, {7, edFromRemote, 40}, "z");
  EXPECT_EQ(Listed(r), "3:2:15/100 7:0:0/41 9:2:0/0 ") << "in order; 7 seen only through its entries";
  TSessionInfo seven;
  ASSERT_TRUE(r.Session(7, seven));
  EXPECT_EQ(seven.Color, 0x80u);

  set(3, ssRemoteEnded);
  set(9, ssClosed);
  EXPECT_EQ(Listed(r), "3:4:15/100 7:0:0/41 9:5:0/0 ") << "a new state keeps the counts";
  r.Clear();
  EXPECT_EQ(Listed(r), "3:4:15/100 ") << "only the open session stays";
  r.Add("From Remote", 1, emText, {3, edFromRemote, 100}, "more");
  EXPECT_EQ(Listed(r), "3:4:15/104 ");
  EXPECT_FALSE(r.Session(9, seven));
}

}  // namespace
