// Public. Giving back the room of containers that a burst grew: a relay that served thousands of
// sessions at once keeps tables sized for them, so that its memory would not come back down once
// they have ended. Each call is cheap unless the container holds far less than it has room for,
// and then the shrink costs no more than the removals that emptied it (amortised): the room left
// is twice what is held at least, so a container that fills up again does not shrink and grow in
// turn.
#pragma once

#include <cstddef>

namespace platform {

// Vectors and the like (capacity, size, shrink_to_fit).
template <class Vector>
void ShrinkIfMostlyEmpty(Vector& V, std::size_t Keep = 64) {
  if (V.capacity() > Keep && V.size() * 4 < V.capacity()) V.shrink_to_fit();
}

// Hash tables: their bucket arrays only ever grow unless rehashed.
template <class Table>
void ShrinkBucketsIfMostlyEmpty(Table& T, std::size_t Keep = 64) {
  if (T.bucket_count() > Keep && T.size() * 8 < T.bucket_count()) T.rehash(0);
}

}  // namespace platform
