// Public. TBuffer: one fixed-size block of the send buffer chain.
//
//   0 <= Consumed <= Filled <= Capacity
//   +----------------+------------------+----------------+
//   |  already sent  |  unsent bytes    |   free room    |
//   +----------------+------------------+----------------+
//   0             Consumed            Filled          Capacity
//
// Bytes are appended at Filled and taken from Consumed. When Consumed reaches Filled both go
// back to 0, so an emptied block is written again from its start; room freed at the front of a
// block that still holds unsent bytes is not reused until it empties.
#pragma once

#include <cstdint>
#include <memory>

class TBuffer {
public:
  // Create(Size): an empty block of Size bytes (1514 when Size <= 0).
  explicit TBuffer(std::int32_t Size);
  TBuffer(const TBuffer&) = delete;
  TBuffer& operator=(const TBuffer&) = delete;

  // Changes the size of the storage, keeping the Filled bytes written so far. Never shrinks
  // below Filled, so no written byte is cut off.
  void SetCapacity(std::int32_t Size);
  // Copies as many of the Len bytes as fit; returns how many were taken (0 when full).
  std::int32_t Append(const void* Data, std::int32_t Len);
  // The unsent bytes: their start, and their count in Len; null and 0 when there are none.
  const char* Peek(std::int32_t& Len) const;
  // Marks up to Count unsent bytes as taken out; returns how many were.
  std::int32_t Remove(std::int32_t Count);
  // The free room behind the written bytes, for a producer that writes into the block itself:
  // its start and its size in Len (null and 0 when full); Commit marks Count bytes of it as
  // written (at most the room).
  char* Room(std::int32_t& Len);
  void Commit(std::int32_t Count);

  const char* Storage() const { return FStorage.get(); }
  std::int32_t Capacity() const { return FCapacity; }
  std::int32_t Filled() const { return FFilled; }
  std::int32_t Consumed() const { return FConsumed; }

private:
  std::unique_ptr<char[]> FStorage;
  std::int32_t FCapacity = 0;
  std::int32_t FFilled = 0;
  std::int32_t FConsumed = 0;
};
