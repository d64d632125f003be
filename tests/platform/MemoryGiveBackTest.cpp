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

TEST(MemoryGiveBack, FreedMemoryUnderMemoryInUseLeavesTheProcessWhileTheLoopWaits) {
#ifdef GIVEBACK_SANITIZED
  GTEST_SKIP() << "the sanitizer's allocator keeps its own memory";
#else
  // 48 MiB in blocks of 3 KiB, each written, as sessions' sockets are; then one small block above
  // them all, which keeps the allocator from giving anything back at the top of its heap.
  constexpr std::size_t kBlock = 3 << 10, kBlocks = (48 << 20) / kBlock;
  std::vector<char*> blocks;
  blocks.reserve(kBlocks);
  for (std::size_t i = 0; i < kBlocks; ++i) {
    auto* b = static_cast<char*>(std::malloc(kBlock));
    ASSERT_NE(b, nullptr);
    for (std::size_t k = 0; k < kBlock; k += 512) b[k] = static_cast<char>(k);
    blocks.push_back(b);
  }
  auto* pin = static_cast<char*>(std::malloc(64));
  pin[0] = 1;
  const long busy = ResidentKib();
  for (char* b : blocks) std::free(b);
  blocks.clear();
  blocks.shrink_to_fit();
  const long freedOnly = ResidentKib();
  // Bounded: the check runs when the loop waits, at most once a second.
  long now = freedOnly;
  for (int i = 0; i < 100 && now > busy - (32 << 10); ++i) {
    platform::WaitAndDispatch(50);
    now = ResidentKib();
  }
  std::printf("[ memory   ] resident %ld KiB in use, %ld KiB once freed, %ld KiB after the loop waited\n", busy,
              freedOnly, now);
  EXPECT_LE(now, busy - (32 << 10)) << "at least two thirds of the freed 48 MiB left the process";
  std::free(pin);
#endif
}

}  // namespace
