// TBuffer, the send block: exact bytes through append/peek/remove, the reset to the start when it
// empties, partial appends when full, and no access outside the storage for any argument.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "net/WSockBuf.h"

namespace {

std::string Unsent(const TBuffer& B) {
  std::int32_t Len = -1;
  const char* P = B.Peek(Len);
  if (P == nullptr) return Len == 0 ? std::string() : "(null with length)";
  return std::string(P, static_cast<std::size_t>(Len));
}

std::int32_t AppendText(TBuffer& B, const std::string& S) {
  return B.Append(S.data(), static_cast<std::int32_t>(S.size()));
}

TEST(BufferTest, CapacityZeroOrNegativeMeansDefaultBlock) {
  const std::pair<std::int32_t, std::int32_t> Cases[] = {
      {0, 1514}, {-1, 1514}, {INT_MIN, 1514}, {1, 1}, {1460, 1460}};
  for (const auto& [Size, Expected] : Cases) {
    TBuffer B(Size);
    EXPECT_EQ(B.Capacity(), Expected) << Size;
    EXPECT_EQ(B.Filled(), 0);
    EXPECT_EQ(B.Consumed(), 0);
  }
}

TEST(BufferTest, EmptiedBlockIsWrittenAgainFromItsStart) {
  TBuffer B(16);
  EXPECT_EQ(Unsent(B), "");
  const std::string Data("ab\0\xff" "cd", 6);  // any byte value, zero included
  EXPECT_EQ(AppendText(B, Data), 6);
  EXPECT_EQ(Unsent(B), Data);
  EXPECT_EQ(B.Remove(2), 2);
  EXPECT_EQ(Unsent(B), Data.substr(2));
  EXPECT_EQ(B.Consumed(), 2);
  EXPECT_EQ(B.Remove(100), 4);  // only what is unsent
  EXPECT_EQ(B.Filled(), 0);
  EXPECT_EQ(B.Consumed(), 0);
  EXPECT_EQ(B.Remove(1), 0);
  EXPECT_EQ(AppendText(B, "xyz"), 3);
  EXPECT_EQ(std::string(B.Storage(), 3), "xyz");
}

TEST(BufferTest, FullBlockTakesPartOfAnAppendThenNothing) {
  TBuffer B(8);
  EXPECT_EQ(AppendText(B, "abcde"), 5);
  EXPECT_EQ(AppendText(B, "ABCDE"), 3);
  EXPECT_EQ(AppendText(B, "z"), 0);
  EXPECT_EQ(Unsent(B), "abcdeABC");
  // Room freed at the front of a block that still holds data is not reused.
  EXPECT_EQ(B.Remove(3), 3);
  EXPECT_EQ(AppendText(B, "z"), 0);
  EXPECT_EQ(Unsent(B), "deABC");
}

TEST(BufferTest, ResizingKeepsUnsentBytesAndPositions) {
  TBuffer B(8);
  AppendText(B, "hello");
  B.Remove(2);
  B.SetCapacity(16);
  EXPECT_EQ(B.Capacity(), 16);
  EXPECT_EQ(Unsent(B), "llo");
  EXPECT_EQ(AppendText(B, " world, more"), 11);
  EXPECT_EQ(Unsent(B), "llo world, mor");

  const char* Before = B.Storage();
  B.SetCapacity(16);  // same size: storage untouched
  EXPECT_EQ(B.Storage(), Before);

  TBuffer Empty(8);
  Empty.SetCapacity(0);
  EXPECT_EQ(Empty.Capacity(), 1514);
}

TEST(BufferTest, InvalidArgumentsNeverMoveOutsideTheStorage) {
  TBuffer B(8);
  AppendText(B, "abcdef");
  B.Remove(1);
  EXPECT_EQ(B.Append("x", 0), 0);
  EXPECT_EQ(B.Append("x", -5), 0);
  EXPECT_EQ(B.Append(nullptr, 3), 0);
  EXPECT_EQ(B.Remove(0), 0);
  EXPECT_EQ(B.Remove(-3), 0);  // would move the read position before the storage
  EXPECT_EQ(B.Consumed(), 1);
  EXPECT_EQ(Unsent(B), "bcdef");
  // Shrinking below what was written keeps every written byte.
  B.SetCapacity(2);
  EXPECT_EQ(B.Capacity(), 6);
  EXPECT_EQ(Unsent(B), "bcdef");
  EXPECT_EQ(AppendText(B, "g"), 0);
}

// ---- Room and Commit: a producer writing into the block itself ----

TEST(TBufferRoom, IsTheFreeSpaceBehindTheWrittenBytes) {
  TBuffer b(8);
  b.Append("abc", 3);
  std::int32_t len = -1;
  char* room = b.Room(len);
  ASSERT_NE(room, nullptr);
  EXPECT_EQ(len, 5);
  EXPECT_EQ(room, b.Storage() + 3);
  std::memcpy(room, "defgh", 5);
  b.Commit(5);
  EXPECT_EQ(b.Filled(), 8);
  EXPECT_EQ(b.Room(len), nullptr);
  EXPECT_EQ(len, 0);
  std::int32_t unsent = 0;
  EXPECT_EQ(std::string(b.Peek(unsent), 8), "abcdefgh");
}

TEST(TBufferRoom, CommitNeverPassesTheCapacity) {
  TBuffer b(4);
  b.Commit(10);
  EXPECT_EQ(b.Filled(), 4);
  b.Commit(-3);
  EXPECT_EQ(b.Filled(), 4);
}

TEST(TBufferRoom, EmptiedBlockOffersItsWholeStorageAgain) {
  TBuffer b(6);
  b.Append("abcdef", 6);
  b.Remove(6);
  std::int32_t len = 0;
  EXPECT_EQ(b.Room(len), b.Storage());
  EXPECT_EQ(len, 6);
}

}  // namespace
