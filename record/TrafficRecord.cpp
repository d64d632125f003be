// The traffic record's storage.
//
// Headers: fixed-size records in chunks of kHeadersPerChunk, never moved once written; a chunk is
// only freed by Clear. An entry is published by storing Count after its header and its body are
// written, so a reader that loaded Count sees whole entries below it.
//
// Bodies: one byte stream, every body after the one before, cut into blocks of BlockSize bytes;
// block k holds stream positions [k * B, (k + 1) * B). The newest blocks are in memory, the older
// ones in the spill file, at a file offset equal to their stream position:
//
//   stream:  0                          MemStart                              End
//            |<------- spill file ------->|<---------- memory blocks ---------->|
//            [blk 0][blk 1][ hole ][blk 3] [blk k][blk k+1] ... [tail, filling ]
//                          ^ a write that failed: a lost range, bodies in it not kept
//
// The writer appends into the tail block; when the bytes in memory pass the budget it writes the
// oldest block to the file and frees it (keeping one spare block to fill next). MemStart is always
// a block boundary.
//
// Locking: one reader-writer lock that prefers writers. Readers hold it shared for one header, one
// title, the session list or one piece of a body copied out of memory; they read the file without
// it. The writer takes it exclusively only to change a structure that readers walk: the chunk and
// block lists (once per chunk or block), the title table (a new title), the session list, the lost
// ranges, and Clear. So an Add waits at most for the reader calls already inside, each of them
// short, and never for a reader's file read. Writes into a header slot or a block beyond what is
// published need no lock: no reader looks there.
#include "record/TrafficRecord.h"

#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <new>
#include <unordered_map>

#include "record/SpillFile.h"

namespace {

constexpr std::uint64_t kHeadersPerChunk = 8192;
constexpr std::uint64_t kMinBlockSize = 16 << 10;
constexpr std::uint64_t kMaxBlockSize = 1 << 20;
// The most body bytes a reader copies out of memory while it holds the lock.
constexpr std::uint64_t kMemoryPiece = 256 << 10;

// 56 bytes an entry; the sequence number is the index plus one and BodyKept is worked out from
// the lost ranges, so neither is stored.
struct THeader {
  std::int64_t TimeUs;
  std::uint64_t Session;
  std::uint64_t Offset;
  std::uint64_t BodyLength;
  std::uint64_t BodyPos;  // of the body's first byte in the record's body stream
  std::uint32_t Title;
  TColor Color;
  TEntryMode Mode;
  TEntryDirection Direction;
};
static_assert(sizeof(THeader) <= 56);

// Chunks and blocks come straight from the kernel, so that freeing them gives the pages back at
// once instead of leaving them in the allocator's heap.
void* MapPages(std::size_t Size) {
  void* p = ::mmap(nullptr, Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

void UnmapPages(void* Pages, std::size_t Size) { ::munmap(Pages, Size); }

constexpr std::size_t kChunkBytes = kHeadersPerChunk * sizeof(THeader);

// A pthread rwlock of the kind that lets no new reader in while a writer waits: with the default
// kind, readers that keep overlapping could hold the writer off for ever.
class TRecordLock {
public:
  TRecordLock() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&FLock, &attr);
    pthread_rwlockattr_destroy(&attr);
  }
  ~TRecordLock() { pthread_rwlock_destroy(&FLock); }
  TRecordLock(const TRecordLock&) = delete;
  TRecordLock& operator=(const TRecordLock&) = delete;
  void lock() { pthread_rwlock_wrlock(&FLock); }
  void unlock() { pthread_rwlock_unlock(&FLock); }
  void lock_shared() { pthread_rwlock_rdlock(&FLock); }
  void unlock_shared() { pthread_rwlock_unlock(&FLock); }

private:
  pthread_rwlock_t FLock;
};

struct TSharedLock {
  explicit TSharedLock(TRecordLock& Lock) : FLock(Lock) { FLock.lock_shared(); }
  ~TSharedLock() { FLock.unlock_shared(); }
  TSharedLock(const TSharedLock&) = delete;
  TSharedLock& operator=(const TSharedLock&) = delete;
  TRecordLock& FLock;
};

struct TExclusiveLock {
  explicit TExclusiveLock(TRecordLock& Lock) : FLock(Lock) { FLock.lock(); }
  ~TExclusiveLock() { FLock.unlock(); }
  TExclusiveLock(const TExclusiveLock&) = delete;
  TExclusiveLock& operator=(const TExclusiveLock&) = delete;
  TRecordLock& FLock;
};

struct TSessionNode {
  TSessionInfo Info;  // under the lock
  bool HasInfo = false;
  // The record's own counts: written by the writer alone, read by anyone.
  std::atomic<std::uint64_t> FromLocal{0};
  std::atomic<std::uint64_t> FromRemote{0};
};

bool SessionOpen(const TSessionNode& Node) { return Node.HasInfo && ::SessionOpen(Node.Info); }

std::uint64_t BlockSizeFor(std::uint64_t Budget) {
  return std::clamp(std::bit_floor(std::max<std::uint64_t>(Budget / 16, 1)), kMinBlockSize, kMaxBlockSize);
}

}  // namespace

struct TTrafficRecord::TImpl {
  explicit TImpl(std::uint64_t MemoryBudget, const std::string& SpillDirectory)
      : Budget(MemoryBudget), Block(BlockSizeFor(MemoryBudget)), File(SpillDirectory) {}
  ~TImpl() { FreeStorage(); }

  const std::uint64_t Budget;
  const std::uint64_t Block;
  TSpillFile File;
  mutable TRecordLock Lock;

  // Under the lock for readers; the writer reads them freely and changes them under it.
  std::vector<THeader*> Chunks;
  std::deque<char*> Blocks;  // Blocks[0] holds stream positions from MemStart on
  std::uint64_t MemStart = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> Lost;  // [begin, end), ascending, apart
  std::vector<std::string> Titles;
  std::map<std::uint64_t, std::unique_ptr<TSessionNode>> SessionNodes;

  std::atomic<std::uint64_t> Count{0};
  std::atomic<std::uint64_t> Generation{0};
  std::atomic<std::uint64_t> End{0};  // bytes in the body stream: BodyBytes
  std::atomic<std::uint64_t> InMemory{0};  // End - MemStart
  std::atomic<std::uint64_t> Spilled{0};
  std::atomic<std::uint64_t> LostBytes{0};

  // The writer's alone.
  char* Spare = nullptr;
  std::unordered_map<std::string, std::uint32_t> TitleIndex;
  std::uint32_t LastTitle = UINT32_MAX;
  TSessionNode* LastSession = nullptr;
  bool InLossRun = false;
  std::string PendingLoss;  // raised at the end of the Add that met the failure

  THeader& Header(std::uint64_t Index) const { return Chunks[Index / kHeadersPerChunk][Index % kHeadersPerChunk]; }

  bool Kept(const THeader& H) const {
    if (H.BodyLength == 0) return true;
    return !Overlaps(H.BodyPos, H.BodyPos + H.BodyLength);
  }

  bool Overlaps(std::uint64_t Begin, std::uint64_t EndPos) const {
    auto it = std::upper_bound(Lost.begin(), Lost.end(), Begin, [](std::uint64_t v, const auto& r) { return v < r.second; });
    return it != Lost.end() && it->first < EndPos;
  }

  std::uint32_t Intern(const std::string& Title) {
    if (LastTitle < Titles.size() && Titles[LastTitle] == Title) return LastTitle;
    auto it = TitleIndex.find(Title);
    if (it == TitleIndex.end()) {
      {
        TExclusiveLock hold(Lock);
        Titles.push_back(Title);
      }
      it = TitleIndex.emplace(Title, static_cast<std::uint32_t>(Titles.size() - 1)).first;
    }
    return LastTitle = it->second;
  }

  // A session first seen through its entries is listed with its number and the entry's colour.
  TSessionNode& SessionNode(std::uint64_t Id, TColor Color) {
    if (LastSession != nullptr && LastSession->Info.Id == Id) return *LastSession;
    auto it = SessionNodes.find(Id);
    if (it == SessionNodes.end()) {
      auto node = std::make_unique<TSessionNode>();
      node->Info.Id = Id;
      node->Info.Color = Color;
      TExclusiveLock hold(Lock);
      it = SessionNodes.emplace(Id, std::move(node)).first;
    }
    LastSession = it->second.get();
    return *LastSession;
  }

  THeader& NewHeaderSlot(std::uint64_t Index) {
    if (Index / kHeadersPerChunk == Chunks.size()) {
      auto* chunk = static_cast<THeader*>(MapPages(kChunkBytes));
      TExclusiveLock hold(Lock);
      Chunks.push_back(chunk);
    }
    return Header(Index);
  }

  void AppendBody(const char* Data, std::uint64_t Length) {
    std::uint64_t end = End.load(std::memory_order_relaxed);
    while (Length > 0) {
      if (end == MemStart + Blocks.size() * Block) {
        char* block = Spare != nullptr ? Spare : static_cast<char*>(MapPages(Block));
        Spare = nullptr;
        TExclusiveLock hold(Lock);
        Blocks.push_back(block);
      }
      const std::uint64_t at = end % Block;
      const std::uint64_t n = std::min(Length, Block - at);
      std::memcpy(Blocks.back() + at, Data, n);
      Data += n;
      Length -= n;
      end += n;
      // Readers only look below the published entries, so End may run ahead of them.
      End.store(end, std::memory_order_relaxed);
      while (Blocks.size() > 1 && end - MemStart > Budget) SpillOldest();
      InMemory.store(end - MemStart, std::memory_order_relaxed);
    }
  }

  // Writes the oldest memory block to the file and frees it, whether the write worked or not:
  // memory stays bounded, and what could not be written becomes a lost range.
  void SpillOldest() {
    char* block = Blocks.front();
    const std::uint64_t at = MemStart;
    std::string error;
    const std::uint64_t written = File.Write(at, block, Block, error);
    {
      TExclusiveLock hold(Lock);
      if (written < Block) {
        if (!Lost.empty() && Lost.back().second == at + written) {
          Lost.back().second = at + Block;
        } else {
          Lost.emplace_back(at + written, at + Block);
        }
      }
      Blocks.pop_front();
      MemStart += Block;
    }
    if (Spare == nullptr) {
      Spare = block;
    } else {
      UnmapPages(block, Block);
    }
    Spilled.store(Spilled.load(std::memory_order_relaxed) + written, std::memory_order_relaxed);
    if (written == Block) {
      InLossRun = false;
      return;
    }
    LostBytes.store(LostBytes.load(std::memory_order_relaxed) + Block - written, std::memory_order_relaxed);
    if (!InLossRun) {
      InLossRun = true;
      PendingLoss = "The bodies of entries from #" + std::to_string(FirstEntryEndingAfter(at + written) + 1) +
                    " on could not be kept: " + error + ". Their headers are kept.";
    }
  }

  // The index of the first entry whose body ends after stream position Pos: the entry holding the
  // byte at Pos. Count when that is the entry being added.
  std::uint64_t FirstEntryEndingAfter(std::uint64_t Pos) const {
    std::uint64_t lo = 0, hi = Count.load(std::memory_order_relaxed);
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      const THeader& h = Header(mid);
      if (h.BodyPos + h.BodyLength > Pos) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    return lo;
  }

  // Under the exclusive lock, or with no reader left.
  void FreeStorage() {
    for (THeader* chunk : Chunks) UnmapPages(chunk, kChunkBytes);
    Chunks = {};
    for (char* block : Blocks) UnmapPages(block, Block);
    Blocks = {};
    if (Spare != nullptr) UnmapPages(Spare, Block);
    Spare = nullptr;
  }

  // Copies body stream bytes [Pos, Pos + Length) that are in memory into Out. Under the lock.
  void CopyFromMemory(std::uint64_t Pos, std::uint64_t Length, char* Out) const {
    while (Length > 0) {
      const std::uint64_t at = Pos % Block;
      const std::uint64_t n = std::min(Length, Block - at);
      std::memcpy(Out, Blocks[(Pos - MemStart) / Block] + at, n);
      Out += n;
      Pos += n;
      Length -= n;
    }
  }
};

TTrafficRecord::TTrafficRecord(std::uint64_t MemoryBudget, std::string SpillDirectory)
    : FImpl(std::make_unique<TImpl>(MemoryBudget, SpillDirectory)) {}

TTrafficRecord::~TTrafficRecord() = default;

std::uint64_t TTrafficRecord::Add(const std::string& Title, TColor Color, TEntryMode Mode, const TEntrySource& Source,
                                  std::string_view Body) {
  return Add(Title, Color, Mode, Source, Body, WallClockUs());
}

std::uint64_t TTrafficRecord::Add(const std::string& Title, TColor Color, TEntryMode Mode, const TEntrySource& Source,
                                  std::string_view Body, std::int64_t TimeUs) {
  TImpl& r = *FImpl;
  const std::uint64_t index = r.Count.load(std::memory_order_relaxed);
  const std::uint32_t title = r.Intern(Title);
  THeader& h = r.NewHeaderSlot(index);
  h.BodyPos = r.End.load(std::memory_order_relaxed);
  h.BodyLength = Body.size();
  r.AppendBody(Body.data(), Body.size());
  h.TimeUs = TimeUs;
  h.Session = Source.Session;
  h.Offset = Source.Offset;
  h.Title = title;
  h.Color = Color;
  h.Mode = Mode;
  h.Direction = Source.Direction;
  if (Source.Session != 0) {
    TSessionNode& node = r.SessionNode(Source.Session, Color);
    std::atomic<std::uint64_t>* count = Source.Direction == edFromLocal    ? &node.FromLocal
                                        : Source.Direction == edFromRemote ? &node.FromRemote
                                                                           : nullptr;
    const std::uint64_t end = Source.Offset + Body.size();
    if (count != nullptr && end > count->load(std::memory_order_relaxed)) count->store(end, std::memory_order_relaxed);
  }
  r.Count.store(index + 1, std::memory_order_release);
  if (!r.PendingLoss.empty()) {
    const std::string message = std::move(r.PendingLoss);
    r.PendingLoss.clear();
    // A copy: the handler may assign OnBodiesLost while it runs.
    if (auto handler = OnBodiesLost) handler(message);
  }
  return index;
}

void TTrafficRecord::SetSession(const TSessionInfo& Info) {
  TImpl& r = *FImpl;
  TSessionInfo copy = Info;  // copied before the lock: readers wait only for the move
  copy.BytesFromLocal = copy.BytesFromRemote = 0;
  auto it = r.SessionNodes.find(Info.Id);
  std::unique_ptr<TSessionNode> node;
  if (it == r.SessionNodes.end()) node = std::make_unique<TSessionNode>();
  TExclusiveLock hold(r.Lock);
  if (node) it = r.SessionNodes.emplace(Info.Id, std::move(node)).first;
  it->second->Info = std::move(copy);
  it->second->HasInfo = true;
}

void TTrafficRecord::Clear() {
  TImpl& r = *FImpl;
  TExclusiveLock hold(r.Lock);
  r.Generation.fetch_add(1, std::memory_order_release);
  r.Count.store(0, std::memory_order_release);
  r.FreeStorage();
  r.File.Truncate();
  r.MemStart = 0;
  r.End.store(0, std::memory_order_relaxed);
  r.InMemory.store(0, std::memory_order_relaxed);
  r.Spilled.store(0, std::memory_order_relaxed);
  r.LostBytes.store(0, std::memory_order_relaxed);
  r.Lost = {};
  r.Titles = {};
  r.TitleIndex = {};
  r.LastTitle = UINT32_MAX;
  std::erase_if(r.SessionNodes, [](const auto& s) { return !SessionOpen(*s.second); });
  r.LastSession = nullptr;
  r.InLossRun = false;
  r.PendingLoss.clear();
}

std::uint64_t TTrafficRecord::Count() const { return FImpl->Count.load(std::memory_order_acquire); }

bool TTrafficRecord::Entry(std::uint64_t Index, TRecordEntry& Out) const {
  const TImpl& r = *FImpl;
  TSharedLock hold(r.Lock);
  if (Index >= r.Count.load(std::memory_order_acquire)) return false;
  const THeader& h = r.Header(Index);
  Out.Sequence = Index + 1;
  Out.TimeUs = h.TimeUs;
  Out.Title = h.Title;
  Out.Color = h.Color;
  Out.Mode = h.Mode;
  Out.Direction = h.Direction;
  Out.BodyKept = r.Kept(h);
  Out.Session = h.Session;
  Out.Offset = h.Offset;
  Out.BodyLength = h.BodyLength;
  return true;
}

std::string TTrafficRecord::TitleText(std::uint32_t Title) const {
  const TImpl& r = *FImpl;
  TSharedLock hold(r.Lock);
  return Title < r.Titles.size() ? r.Titles[Title] : std::string();
}

bool TTrafficRecord::ReadBody(std::uint64_t Index, std::uint64_t From, std::uint64_t Length, std::string& Out) const {
  const TImpl& r = *FImpl;
  const std::size_t start = Out.size();
  std::uint64_t generation, pos, end;
  {
    TSharedLock hold(r.Lock);
    if (Index >= r.Count.load(std::memory_order_acquire)) return false;
    const THeader& h = r.Header(Index);
    if (!r.Kept(h)) return false;
    generation = r.Generation.load(std::memory_order_relaxed);
    pos = h.BodyPos + std::min(From, h.BodyLength);
    end = pos + std::min(Length, h.BodyLength - (pos - h.BodyPos));
  }
  Out.resize(start + (end - pos));
  char* to = Out.data() + start;
  auto fail = [&] {
    Out.resize(start);
    return false;
  };
  // Piece by piece: a piece in memory is copied under the lock; a piece that has gone to the file
  // (it may go while we read) is read without it, and the generation tells whether a Clear came
  // in between and took it away.
  while (pos < end) {
    std::uint64_t fileEnd;
    {
      TSharedLock hold(r.Lock);
      if (r.Generation.load(std::memory_order_relaxed) != generation) return fail();
      if (pos >= r.MemStart) {
        const std::uint64_t n = std::min(end - pos, kMemoryPiece);
        r.CopyFromMemory(pos, n, to);
        pos += n;
        to += n;
        continue;
      }
      fileEnd = std::min(end, r.MemStart);
      if (r.Overlaps(pos, fileEnd)) return fail();  // lost after we looked at the header
    }
    if (!r.File.Read(pos, to, fileEnd - pos) || r.Generation.load(std::memory_order_acquire) != generation) return fail();
    to += fileEnd - pos;
    pos = fileEnd;
  }
  return true;
}

std::uint64_t TTrafficRecord::Generation() const { return FImpl->Generation.load(std::memory_order_acquire); }

namespace {

TSessionInfo WithCounts(const TSessionNode& Node) {
  TSessionInfo info = Node.Info;
  info.BytesFromLocal = Node.FromLocal.load(std::memory_order_relaxed);
  info.BytesFromRemote = Node.FromRemote.load(std::memory_order_relaxed);
  return info;
}

}  // namespace

std::vector<TSessionInfo> TTrafficRecord::Sessions() const {
  const TImpl& r = *FImpl;
  TSharedLock hold(r.Lock);
  std::vector<TSessionInfo> out;
  out.reserve(r.SessionNodes.size());
  for (const auto& [id, node] : r.SessionNodes) out.push_back(WithCounts(*node));
  return out;
}

bool TTrafficRecord::Session(std::uint64_t Id, TSessionInfo& Out) const {
  const TImpl& r = *FImpl;
  TSharedLock hold(r.Lock);
  auto it = r.SessionNodes.find(Id);
  if (it == r.SessionNodes.end()) return false;
  Out = WithCounts(*it->second);
  return true;
}

std::uint64_t TTrafficRecord::MemoryBudget() const { return FImpl->Budget; }
std::uint64_t TTrafficRecord::BodyBytes() const { return FImpl->End.load(std::memory_order_relaxed); }
std::uint64_t TTrafficRecord::SpilledBytes() const { return FImpl->Spilled.load(std::memory_order_relaxed); }
std::uint64_t TTrafficRecord::LostBytes() const { return FImpl->LostBytes.load(std::memory_order_relaxed); }
std::uint64_t TTrafficRecord::BlockSize() const { return FImpl->Block; }

std::uint64_t TTrafficRecord::MemoryBytes() const { return FImpl->InMemory.load(std::memory_order_relaxed); }

