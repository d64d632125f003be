// Public. One-shot timers on the message loop for the stages, at microsecond deadlines of the
// steady clock. Every timer of every stage shares one notification window; each has an identifier
// of its own, never reused, so that a timer stopped or destroyed never fires late. The loop's timers
// count whole milliseconds: a deadline is rounded up to the next one, so a timer never fires early,
// and OnFire runs from the loop, never inside Start.
#pragma once

#include <cstdint>
#include <functional>

class TStageTimer {
public:
  TStageTimer();
  TStageTimer(const TStageTimer&) = delete;
  TStageTimer& operator=(const TStageTimer&) = delete;
  ~TStageTimer();

  // Fires once at DueUs (NowUs's clock); a timer started again moves to the new deadline.
  void Start(std::int64_t DueUs);
  void Stop();
  bool Running() const noexcept { return FDueUs >= 0; }
  std::int64_t DueUs() const noexcept { return FDueUs; }

  std::function<void()> OnFire;

  // The steady clock, in microseconds.
  static std::int64_t NowUs();
  // Timers running, of every stage (a test's view).
  static std::size_t RunningCount();

private:
  static void Fire(std::uint64_t Id);

  std::uint64_t FId = 0;
  std::int64_t FDueUs = -1;
};
