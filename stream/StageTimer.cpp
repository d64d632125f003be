// The stages' timers: one notification window, a map from timer identifiers to timers.
#include "stream/StageTimer.h"

#include <chrono>
#include <unordered_map>

#include "platform/MessageLoop.h"

namespace {

const char* const kStageTimerClass = "VantrelStageTimers";

struct TTimers {
  platform::HWND Window = 0;
  std::uint64_t LastId = 0;
  std::unordered_map<std::uint64_t, TStageTimer*> Running;
};

// The loop runs on one thread; so do the stages. The window is made on first use and lives as
// long as the program.
TTimers& Timers() {
  static TTimers t;
  return t;
}

platform::HWND Window(void (*Fire)(std::uint64_t)) {
  TTimers& t = Timers();
  if (t.Window != 0 && platform::IsWindow(t.Window)) return t.Window;
  static void (*fire)(std::uint64_t) = nullptr;
  fire = Fire;
  if (!platform::IsWindowClassRegistered(kStageTimerClass))
    platform::RegisterWindowClass(kStageTimerClass, [](platform::HWND W, platform::UINT Msg, platform::WPARAM WParam,
                                                       platform::LPARAM) -> platform::LRESULT {
      if (Msg == platform::WM_TIMER) {
        platform::KillTimer(W, WParam);
        fire(static_cast<std::uint64_t>(WParam));
      }
      return 0;
    });
  t.Window = platform::CreateNotifyWindow(kStageTimerClass);
  return t.Window;
}

}  // namespace

TStageTimer::TStageTimer() : FId(++Timers().LastId) {}

TStageTimer::~TStageTimer() { Stop(); }

std::int64_t TStageTimer::NowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::size_t TStageTimer::RunningCount() { return Timers().Running.size(); }

void TStageTimer::Start(std::int64_t DueUs) {
  TTimers& t = Timers();
  const platform::HWND w = Window(&TStageTimer::Fire);
  const std::int64_t wait = DueUs - NowUs();
  // Whole milliseconds, rounded up; a deadline that has passed waits the shortest period.
  const std::int64_t ms = wait <= 0 ? 1 : (wait + 999) / 1000;
  if (w == 0 || platform::SetTimer(w, static_cast<platform::UINT_PTR>(FId), static_cast<platform::UINT>(ms)) == 0) {
    FDueUs = -1;
    return;
  }
  FDueUs = DueUs;
  t.Running[FId] = this;
}

void TStageTimer::Stop() {
  TTimers& t = Timers();
  if (FDueUs < 0) return;
  FDueUs = -1;
  t.Running.erase(FId);
  if (t.Window != 0) platform::KillTimer(t.Window, static_cast<platform::UINT_PTR>(FId));
}

void TStageTimer::Fire(std::uint64_t Id) {
  TTimers& t = Timers();
  auto it = t.Running.find(Id);
  if (it == t.Running.end()) return;
  TStageTimer* timer = it->second;
  t.Running.erase(it);
  timer->FDueUs = -1;
  if (timer->OnFire) timer->OnFire();
}
