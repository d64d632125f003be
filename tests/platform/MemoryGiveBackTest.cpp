// Memory freed by the program goes back to the system while the loop waits, also when it lies in
// the middle of the heap, under memory still in use (as a relay's sessions do when thousands end
// at once). Not under the sanitizers, whose allocator is not the C library's.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/MessageLoop.h"

#if defined(__SANITIZE_ADDRESS__)
#define GIVEBACK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GIVEBACK_SANITIZED 1
#endif
#endif

namespace {

[[maybe_unused]] long ResidentKib() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// 48 MiB in blocks of 3 KiB, each written, as sessions' sockets are.
[[maybe_unused]] std::vector<char*> Fill() {
  constexpr std::size_t kBlock = 3 << 10, kBlocks = (48 << 20) / kBlock;
  std::vector<char*> blocks;
  blocks.reserve(kBlocks);
  for (std::size_t i = 0; i < kBlocks; ++i) {
    auto* b = static_cast<char*>(std::malloc(kBlock));
    if (b == nullptr) break;
    for (std::size_t k = 0; k < kBlock; k += 512) b[k] = static_cast<char>(k);
    blocks.push_back(b);
  }
  return blocks;
}

// Frees Blocks, then lets the loop wait until the resident memory is at least 32 MiB below Busy
// (two thirds of what was freed), or five seconds; the resident memory at the end.
[[maybe_unused]] long FreeAndWait(std::vector<char*>& Blocks, long Busy, const char* What) {
  for (char* b : Blocks) std::free(b);
  Blocks.clear();
  Blocks.shrink_to_fit();
  const long freedOnly = ResidentKib();
  // Bounded: the check runs when the loop waits, at most once a second.
  long now = freedOnly;
  for (int i = 0; i < 100 && now > Busy - (32 << 10); ++i) {
    platform::WaitAndDispatch(50);
    now = ResidentKib();
  }
  std::printf("[ memory   ] %s: resident %ld KiB in use, %ld KiB once freed, %ld KiB after the loop waited\n", What,
              Busy, freedOnly, now);
  return now;
}

TEST(MemoryGiveBack, FreedMemoryUnderMemoryInUseLeavesTheProcessWhileTheLoopWaits) {
#ifdef GIVEBACK_SANITIZED
  GTEST_SKIP() << "the sanitizer's allocator keeps its own memory";
#else
  std::vector<char*> blocks = Fill();
  ASSERT_EQ(blocks.size(), std::size_t{(48 << 20) / (3 << 10)});
  // One small block above them all keeps the allocator from giving anything back at the top of its
  // heap.
  auto* pin = static_cast<char*>(std::malloc(64));
  pin[0] = 1;
  const long busy = ResidentKib();
  EXPECT_LE(FreeAndWait(blocks, busy, "freed once"), busy - (32 << 10))
      << "at least two thirds of the freed 48 MiB left the process";
  std::free(pin);
#endif
}

// Freed memory leaves the process in rounds too: each round reuses the pages that the one before
// gave back and frees them again within the second that follows, before the loop's next check
// could see them in use.
TEST(MemoryGiveBack, MemoryReusedAndFreedAgainBetweenTwoChecksLeavesTooRoundAfterRound) {
#ifdef GIVEBACK_SANITIZED
  GTEST_SKIP() << "the sanitizer's allocator keeps its own memory";
#else
  std::vector<char*> blocks = Fill();
  ASSERT_EQ(blocks.size(), std::size_t{(48 << 20) / (3 << 10)});
  auto* pin = static_cast<char*>(std::malloc(64));
  pin[0] = 1;
  long busy = ResidentKib();
  EXPECT_LE(FreeAndWait(blocks, busy, "first round"), busy - (32 << 10));
  for (int round = 2; round <= 3; ++round) {
    SCOPED_TRACE(round);
    blocks = Fill();
    busy = ResidentKib();
    EXPECT_LE(FreeAndWait(blocks, busy, round == 2 ? "second round" : "third round"), busy - (32 << 10))
        << "at least two thirds of the freed 48 MiB left the process";
  }
  std::free(pin);
#endif
}

}  // namespace
