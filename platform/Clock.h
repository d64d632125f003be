// Public. The wall clock that entries and session facts carry: microseconds since the Unix epoch.
#pragma once

#include <chrono>
#include <cstdint>

inline std::int64_t WallClockUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
