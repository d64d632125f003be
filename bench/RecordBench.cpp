// The traffic record under load, against a plain peer measured in the same run:
//  1. 1,000,000 entries of small bodies: the cost of one Add in the first and the last tenth and
//     their ratio (flat means no step that copies what is stored), and the memory of an entry.
//     Peer: a std::vector of structs that each own their title and body in std::strings.
//  2. 1 GiB of 16 KiB bodies with the default memory budget: the time to add them, the process's
//     resident memory afterwards, and the rate of reading every body back.
//     Peer: the same bytes written to a plain temporary file and read back with pread.
//  3. A search of that gibibyte, four streams interleaved (two sessions, both ways), a needle
//     planted every 256 KiB, every other one across two bodies of its stream; with and without
//     regard to case. Target: under 2 s. Peer: the same bytes from a plain file, read with pread
//     1 MiB at a time and searched with memmem (no streams, no case folding).
//  4. A filter of 1,000,000 entries of 100 sessions down to one session, three sessions, and one
//     direction. Target: under 200 ms (the view's own part is in the log view benchmark).
//     Peer: the same test on a std::vector of the entry headers in memory.
// Times are the CPU time of the thread, which other load on a shared machine inflates less than
// wall time. Memory that a process touches for the first time costs the most (the figure of a
// first touch is printed), so every case runs twice, turn about with its peer, and the second
// run is the one shown. Plain figures, printed; no assertions.
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "record/RecordFilter.h"
#include "record/RecordSearch.h"
#include "record/TrafficRecord.h"

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point From) { return std::chrono::duration<double>(TClock::now() - From).count(); }

double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

long RssBytes() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr || std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  if (f != nullptr) std::fclose(f);
  return resident * ::sysconf(_SC_PAGESIZE);
}

// The CPU time of the first write to a page of fresh memory, in ns.
double FirstTouchNs() {
  const std::size_t size = 16 << 20;
  char* p = static_cast<char*>(::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (p == MAP_FAILED) return 0;
  const double start = CpuSeconds();
  for (std::size_t i = 0; i < size; i += 4096) p[i] = 1;
  const double ns = (CpuSeconds() - start) * 1e9 / (size / 4096);
  ::munmap(p, size);
  return ns;
}

constexpr int kEntries = 1000000;
constexpr int kTenth = kEntries / 10;

struct TNaiveEntry {
  std::int64_t TimeUs;
  std::string Title;
  TColor Color;
  TEntrySource Source;
  std::string Body;
};

struct TTenths {
  double FirstNs = 0, LastNs = 0;
  double BytesPerEntry = 0;
};

// Bodies of 16 to 79 bytes, 47.5 on average: under the default budget, so this measures the
// bookkeeping, not the file.
template <typename TAdd>
TTenths Measure(TAdd&& Add) {
  std::vector<std::string> bodies;
  for (int i = 0; i < kTenth; ++i) bodies.emplace_back(static_cast<std::size_t>(16 + (i * 7919) % 64), static_cast<char>(i));
  TTenths t;
  const long rss = RssBytes();
  for (int tenth = 0; tenth < 10; ++tenth) {
    const double start = CpuSeconds();
    for (const std::string& b : bodies) Add(b);
    const double ns = (CpuSeconds() - start) * 1e9 / kTenth;
    if (tenth == 0) t.FirstNs = ns;
    if (tenth == 9) t.LastNs = ns;
  }
  t.BytesPerEntry = static_cast<double>(RssBytes() - rss) / kEntries;
  return t;
}

TTenths RecordSmall() {
  TTrafficRecord r;
  std::uint64_t offset = 0;
  std::int64_t now = WallClockUs();
  return Measure([&](const std::string& Body) {
    r.Add("From Local", 0x80, emText, {7, edFromLocal, offset}, Body, ++now);
    offset += Body.size();
  });
}

TTenths NaiveSmall() {
  std::vector<TNaiveEntry> v;
  std::uint64_t offset = 0;
  std::int64_t now = WallClockUs();
  return Measure([&](const std::string& Body) {
    v.push_back({++now, "From Local", 0x80, {7, edFromLocal, offset}, Body});
    offset += Body.size();
  });
}

void Print(const char* Name, const TTenths& T, double TouchNs) {
  std::printf("  %-28s first 10%%: %6.1f ns/add   last 10%%: %6.1f ns/add   last/first: %.2fx   memory: %5.1f bytes/entry"
              " (its first touch: %.0f ns/add)\n",
              Name, T.FirstNs, T.LastNs, T.LastNs / T.FirstNs, T.BytesPerEntry, T.BytesPerEntry / 4096 * TouchNs);
}

constexpr std::uint64_t kBig = std::uint64_t{1} << 30;
constexpr std::size_t kBody = 16 << 10;
constexpr std::uint64_t kBodies = kBig / kBody;

struct TBig {
  double AddWall = 0, AddCpu = 0, ReadWall = 0, ReadCpu = 0;
  std::uint64_t Read = 0;
  long RssAfter = 0;
  std::uint64_t InMemory = 0, InFile = 0, Lost = 0;
};

std::string BigBody() {
  std::string body(kBody, '\0');
  for (std::size_t i = 0; i < kBody; ++i) body[i] = static_cast<char>(i * 31 + 7);
  return body;
}

TBig RecordBig() {
  const std::string body = BigBody();
  TBig b;
  TTrafficRecord r;
  auto wall = TClock::now();
  double cpu = CpuSeconds();
  for (std::uint64_t i = 0; i < kBodies; ++i) r.Add("From Remote", 0x80, emHex, {9, edFromRemote, i * kBody}, body);
  b.AddWall = Seconds(wall);
  b.AddCpu = CpuSeconds() - cpu;
  b.RssAfter = RssBytes();
  b.InMemory = r.MemoryBytes();
  b.InFile = r.SpilledBytes();
  b.Lost = r.LostBytes();
  std::string out;
  out.reserve(kBody);
  wall = TClock::now();
  cpu = CpuSeconds();
  for (std::uint64_t i = 0; i < kBodies; ++i) {
    out.clear();
    if (r.ReadBody(i, 0, kBody, out)) b.Read += out.size();
  }
  b.ReadWall = Seconds(wall);
  b.ReadCpu = CpuSeconds() - cpu;
  return b;
}

// The same bytes through a plain unlinked file in the same directory: written a body at a time
// from one buffer or, as the record writes them, 1 MiB at a time from a 64 MiB ring of memory.
TBig FileBig(bool Ring) {
  std::string body = BigBody();
  std::string ring;
  if (Ring) {
    ring.resize(TTrafficRecord::kDefaultMemoryBudget);
    for (std::size_t i = 0; i < ring.size(); i += kBody) std::memcpy(ring.data() + i, body.data(), kBody);
  }
  const std::size_t piece = Ring ? 1 << 20 : kBody;
  TBig b;
  const char* tmp = std::getenv("TMPDIR");
  std::string name = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/record-bench-XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return b;
  ::unlink(name.c_str());
  auto wall = TClock::now();
  double cpu = CpuSeconds();
  for (std::uint64_t at = 0; at < kBig; at += piece) {
    (void)!::write(fd, Ring ? ring.data() + at % ring.size() : body.data(), piece);
  }
  b.AddWall = Seconds(wall);
  b.AddCpu = CpuSeconds() - cpu;
  wall = TClock::now();
  cpu = CpuSeconds();
  for (std::uint64_t i = 0; i < kBodies; ++i) {
    if (::pread(fd, body.data(), kBody, static_cast<off_t>(i * kBody)) == static_cast<ssize_t>(kBody)) b.Read += kBody;
  }
  b.ReadWall = Seconds(wall);
  b.ReadCpu = CpuSeconds() - cpu;
  ::close(fd);
  return b;
}

void Print(const char* Name, const TBig& B) {
  std::printf("  %-28s add: %5.2f s CPU (%4.0f MiB/s), %5.2f s wall   read back: %5.2f s CPU (%4.0f MiB/s), %5.2f s wall, %llu MiB\n",
              Name, B.AddCpu, 1024 / B.AddCpu, B.AddWall, B.ReadCpu, static_cast<double>(B.Read >> 20) / B.ReadCpu,
              B.ReadWall, static_cast<unsigned long long>(B.Read >> 20));
}

// ---- search of 1 GiB ----

constexpr char kNeedle[] = "X-Trace-Id: 5f3a";
constexpr std::size_t kNeedleLength = sizeof kNeedle - 1;
constexpr std::uint64_t kNeedleEvery = 256 << 10;

// Body i of the search run: kBody bytes of text-like filler, with the needle planted every
// kNeedleEvery bytes of the whole run; every other needle starts 5 bytes before the end of a body
// and goes on in the next body of the same stream (the body four entries on).
std::string SearchBody(std::uint64_t I, std::uint64_t& Planted) {
  std::string body(kBody, '\0');
  for (std::size_t k = 0; k < kBody; ++k) body[k] = "abcdefghij klmnop\r\nqrstuvwxyz"[(k * 7 + I) % 29];
  const std::uint64_t start = I * kBody;
  if (start % kNeedleEvery == 0) {
    ++Planted;
    if ((start / kNeedleEvery) % 2 == 0) {
      body.replace(100, kNeedleLength, kNeedle);
    } else {
      body.replace(kBody - 5, 5, kNeedle, 5);  // the rest opens this stream's next body
    }
  }
  const std::uint64_t before = (I >= 4 ? I - 4 : 0) * kBody;  // the same stream's last body
  if (I >= 4 && before % kNeedleEvery == 0 && (before / kNeedleEvery) % 2 == 1)
    body.replace(0, kNeedleLength - 5, kNeedle + 5, kNeedleLength - 5);
  return body;
}

struct TSearchFigures {
  double Wall = 0, Cpu = 0;
  std::uint64_t Found = 0, Bytes = 0;
};

TSearchFigures SearchRecord(const TTrafficRecord& R, bool MatchCase) {
  std::string pattern = kNeedle;
  if (!MatchCase)
    for (char& c : pattern) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
  TRecordSearch search(R, pattern, MatchCase);
  TSearchFigures f;
  search.OnMatch = [&](const std::vector<TSearchPart>&) { ++f.Found; };
  const std::atomic<bool> cancel{false};
  const auto wall = TClock::now();
  const double cpu = CpuSeconds();
  (void)search.Run(R.Count(), cancel);
  f.Wall = Seconds(wall);
  f.Cpu = CpuSeconds() - cpu;
  f.Bytes = search.BytesSearched();
  return f;
}

TSearchFigures SearchFile(int Fd, std::uint64_t Size) {
  TSearchFigures f;
  std::string buffer(1 << 20, '\0');
  const auto wall = TClock::now();
  const double cpu = CpuSeconds();
  for (std::uint64_t at = 0; at < Size; at += buffer.size()) {
    const ssize_t n = ::pread(Fd, buffer.data(), buffer.size(), static_cast<off_t>(at));
    if (n <= 0) break;
    f.Bytes += static_cast<std::uint64_t>(n);
    const char* p = buffer.data();
    const char* end = p + n;
    while (const void* hit = ::memmem(p, static_cast<std::size_t>(end - p), kNeedle, kNeedleLength)) {
      ++f.Found;
      p = static_cast<const char*>(hit) + kNeedleLength;
    }
  }
  f.Wall = Seconds(wall);
  f.Cpu = CpuSeconds() - cpu;
  return f;
}

void Print(const char* Name, const TSearchFigures& F) {
  std::printf("  %-28s %5.2f s wall, %5.2f s CPU, %5.0f MiB/s wall; %llu MiB searched, %llu matches\n", Name, F.Wall, F.Cpu,
              static_cast<double>(F.Bytes >> 20) / F.Wall, static_cast<unsigned long long>(F.Bytes >> 20),
              static_cast<unsigned long long>(F.Found));
}

void SearchBench() {
  std::printf("search of 1 GiB of 16 KiB bodies in four streams, default budget (target: < 2 s)\n");
  TTrafficRecord r;
  std::uint64_t planted = 0;
  std::uint64_t offsets[4] = {};
  const char* tmp = std::getenv("TMPDIR");
  std::string name = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/search-bench-XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd >= 0) ::unlink(name.c_str());
  for (std::uint64_t i = 0; i < kBodies; ++i) {
    const std::string body = SearchBody(i, planted);
    const std::uint64_t stream = i % 4;
    const TEntryDirection way = stream % 2 ? edFromRemote : edFromLocal;
    r.Add(way == edFromLocal ? "From Local" : "From Remote", 0x80, emText, {1 + stream / 2, way, offsets[stream]}, body);
    offsets[stream] += body.size();
    if (fd >= 0) (void)!::write(fd, body.data(), body.size());
  }
  std::printf("  %llu needles planted; in memory %llu MiB, in the file %llu MiB\n", static_cast<unsigned long long>(planted),
              static_cast<unsigned long long>(r.MemoryBytes() >> 20), static_cast<unsigned long long>(r.SpilledBytes() >> 20));
  (void)SearchRecord(r, true);  // the page cache holds both files alike from here on
  if (fd >= 0) (void)SearchFile(fd, kBig);
  Print("TRecordSearch, match case", SearchRecord(r, true));
  Print("TRecordSearch, any case", SearchRecord(r, false));
  if (fd >= 0) {
    Print("peer: pread + memmem", SearchFile(fd, kBig));
    ::close(fd);
  }
}

// ---- filter of 1,000,000 entries ----

void FilterBench() {
  std::printf("filter of 1,000,000 entries of 100 sessions (target: < 200 ms)\n");
  TTrafficRecord r;
  std::vector<TRecordEntry> peer;
  peer.reserve(kEntries);
  const std::string body(40, 'b');
  for (std::uint64_t i = 0; i < kEntries; ++i) {
    // Runs of a few entries per session, as sessions interleave under load.
    const std::uint64_t session = (i / 5 * 37) % 100 + 1;
    const TEntryDirection way = i % 5 == 0 ? edNone : (i % 2 ? edFromLocal : edFromRemote);
    const std::uint64_t index = r.Add("From Local", 0x80, emText, {session, way, i * 40}, body, static_cast<std::int64_t>(i));
    TRecordEntry e;
    r.Entry(index, e);
    peer.push_back(e);
  }
  struct TCase {
    const char* Name;
    std::vector<std::uint64_t> Sessions;
    TDirectionFilter Direction;
  } cases[] = {{"one session", {42}, dfBoth}, {"three sessions", {7, 42, 99}, dfBoth}, {"from remote only", {}, dfFromRemote}};
  for (const TCase& c : cases) {
    TEntryFilter filter;
    filter.SetSessions(c.Sessions);
    filter.Direction = c.Direction;
    double best = 1e9, bestPeer = 1e9;
    std::size_t kept = 0, keptPeer = 0;
    for (int round = 0; round < 5; ++round) {
      std::vector<std::uint64_t> out;
      auto start = TClock::now();
      FilterEntries(r, filter, 0, r.Count(), out);
      best = std::min(best, Seconds(start));
      kept = out.size();
      std::vector<std::uint64_t> plain;
      start = TClock::now();
      for (std::uint64_t i = 0; i < peer.size(); ++i)
        if (filter.Keeps(peer[i])) plain.push_back(i);
      bestPeer = std::min(bestPeer, Seconds(start));
      keptPeer = plain.size();
    }
    std::printf("  %-18s FilterEntries: %6.1f ms (%zu kept)   peer: vector of headers %6.1f ms (%zu kept)   ratio %.1fx\n",
                c.Name, best * 1e3, kept, bestPeer * 1e3, keptPeer, best / bestPeer);
  }
}

}  // namespace

// Arguments: the parts to run, of "add", "search" and "filter"; none: all of them.
int main(int argc, char** argv) {
  const auto wanted = [&](const char* Part) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i)
      if (std::strcmp(argv[i], Part) == 0) return true;
    return false;
  };
  if (wanted("search")) SearchBench();
  if (wanted("filter")) FilterBench();
  if (!wanted("add")) return 0;
  const double touch = FirstTouchNs();
  std::printf("this machine: first touch of a page of memory %.0f ns\n", touch);
  std::printf("1,000,000 entries of small bodies (CPU time)\n");
  (void)RecordSmall();
  (void)NaiveSmall();
  const TTenths record = RecordSmall(), naive = NaiveSmall();
  Print("TTrafficRecord", record, touch);
  Print("peer: vector<entry+strings>", naive, touch);

  std::printf("1 GiB of 16 KiB bodies, default budget (%llu MiB)\n",
              static_cast<unsigned long long>(TTrafficRecord::kDefaultMemoryBudget >> 20));
  (void)RecordBig();
  (void)FileBig(false);
  const long rssBefore = RssBytes();
  const TBig big = RecordBig();
  const TBig file = FileBig(false), ring = FileBig(true);
  Print("TTrafficRecord", big);
  std::printf("  %-28s RSS afterwards: %ld MiB (%+ld MiB); in memory %llu MiB, in the file %llu MiB, lost %llu\n", "",
              big.RssAfter >> 20, (big.RssAfter - rssBefore) >> 20, static_cast<unsigned long long>(big.InMemory >> 20),
              static_cast<unsigned long long>(big.InFile >> 20), static_cast<unsigned long long>(big.Lost));
  Print("peer: file, 16 KiB writes", file);
  Print("peer: file, 1 MiB from a ring", ring);
  return 0;
}
