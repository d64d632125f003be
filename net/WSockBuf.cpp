// Internal. TBuffer, the block of the send buffer chain.
#include "net/WSockBuf.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::int32_t kDefaultCapacity = 1514;
}

TBuffer::TBuffer(std::int32_t Size) { SetCapacity(Size); }

void TBuffer::SetCapacity(std::int32_t Size) {
  if (Size <= 0) Size = kDefaultCapacity;
  // Callers never ask for less than Filled; should one do so, the block keeps every written byte
  // rather than copying them past the end of the new storage.
  Size = std::max(Size, FFilled);
  if (Size == FCapacity) return;
  auto NewStorage = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(Size));
  if (FFilled != FConsumed) {
    std::memcpy(NewStorage.get(), FStorage.get(), static_cast<std::size_t>(FFilled));
  }
  FStorage = std::move(NewStorage);
  FCapacity = Size;
}

std::int32_t TBuffer::Append(const void* Data, std::int32_t Len) {
  const std::int32_t Room = FCapacity - FFilled;
  if (Room <= 0 || Len <= 0 || Data == nullptr) return 0;
  const std::int32_t N = std::min(Room, Len);
  std::memcpy(FStorage.get() + FFilled, Data, static_cast<std::size_t>(N));
  FFilled += N;
  return N;
}

const char* TBuffer::Peek(std::int32_t& Len) const {
  const std::int32_t Unsent = FFilled - FConsumed;
  if (Unsent <= 0) {
    Len = 0;
    return nullptr;
  }
  Len = Unsent;
  return FStorage.get() + FConsumed;
}

std::int32_t TBuffer::Remove(std::int32_t Count) {
  const std::int32_t Unsent = FFilled - FConsumed;
  if (Unsent <= 0 || Count <= 0) return 0;
  const std::int32_t N = std::min(Count, Unsent);
  FConsumed += N;
  if (FConsumed == FFilled) {
    FConsumed = 0;
    FFilled = 0;
  }
  return N;
}

char* TBuffer::Room(std::int32_t& Len) {
  Len = FCapacity - FFilled;
  if (Len <= 0) {
    Len = 0;
    return nullptr;
  }
  return FStorage.get() + FFilled;
}

void TBuffer::Commit(std::int32_t Count) {
  if (Count > 0) FFilled += std::min(Count, FCapacity - FFilled);
}
