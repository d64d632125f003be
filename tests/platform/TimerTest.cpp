// Timers of the loop: WM_TIMER with the timer's identifier each period until killed, a restart
// with a new period, at most one WM_TIMER of a timer queued at a time, timers going with their
// endpoint, and the loop descriptor readable while a period has ended unseen.
#include <poll.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <thread>

#include "platform/MessageLoop.h"

using namespace platform;

namespace {

const char* kClass = "TimerTestClass";

std::map<std::pair<HWND, WPARAM>, int> gTicks;  // WM_TIMER count per endpoint and identifier
std::function<void(HWND, WPARAM)> gOnTick;
std::function<void(HWND, UINT)> gOnOther;  // messages other than WM_TIMER

LRESULT TimerProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L) {
  if (Msg != WM_TIMER) {
    if (gOnOther) gOnOther(Wnd, Msg);
    return 0;
  }
  EXPECT_EQ(L, 0);
  ++gTicks[{Wnd, W}];
  if (gOnTick) gOnTick(Wnd, W);
  return 0;
}

bool Readable(int Fd, int TimeoutMs = 0) {
  pollfd p{Fd, POLLIN, 0};
  return ::poll(&p, 1, TimeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

bool PumpUntil(const std::function<bool()>& Cond, int TimeoutMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    WaitAndDispatch(20);
  }
  return true;
}

class TimerTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!IsWindowClassRegistered(kClass)) {
      ASSERT_TRUE(RegisterWindowClass(kClass, TimerProc));
    }
    gTicks.clear();
    gOnTick = nullptr;
    gOnOther = nullptr;
  }
  void TearDown() override {
    gOnTick = nullptr;
    gOnOther = nullptr;
    for (HWND w : windows) DestroyNotifyWindow(w);
    EXPECT_EQ(TimerCount(), 0u) << "an endpoint's timers go with it";
    EXPECT_EQ(PendingMessageCount(), 0u);
  }
  HWND NewWindow() {
    HWND w = CreateNotifyWindow(kClass);
    EXPECT_NE(w, 0u);
    windows.push_back(w);
    return w;
  }
  int Ticks(HWND W, WPARAM Id) { return gTicks[{W, Id}]; }
  std::vector<HWND> windows;
};

TEST_F(TimerTest, TicksWithItsIdentifierUntilKilledAndThenNeverAgain) {
  HWND a = NewWindow(), b = NewWindow();
  ASSERT_EQ(SetTimer(a, 7, 2), 7u);
  ASSERT_EQ(SetTimer(b, 9, 2), 9u);  // a clock for "long enough"
  EXPECT_EQ(TimerCount(), 2u);
  ASSERT_TRUE(PumpUntil([&] { return Ticks(a, 7) >= 3; }));
  EXPECT_TRUE(KillTimer(a, 7));
  EXPECT_FALSE(KillTimer(a, 7)) << "killed already";
  const int seen = Ticks(a, 7), clock = Ticks(b, 9);
  ASSERT_TRUE(PumpUntil([&] { return Ticks(b, 9) >= clock + 10; }));
  EXPECT_EQ(Ticks(a, 7), seen) << "no WM_TIMER after KillTimer, not even one that was queued";
  EXPECT_TRUE(KillTimer(b, 9));
  EXPECT_EQ(TimerCount(), 0u);
}

TEST_F(TimerTest, SettingAnExistingTimerAgainRestartsItWithTheNewPeriod) {
  HWND a = NewWindow(), b = NewWindow();
  ASSERT_NE(SetTimer(a, 1, 3600 * 1000), 0u);
  ASSERT_NE(SetTimer(a, 1, 2), 0u);
  EXPECT_EQ(TimerCount(), 1u) << "the same timer, not a second one";
  ASSERT_TRUE(PumpUntil([&] { return Ticks(a, 1) >= 2; })) << "the short period replaced the hour";
  // And back to a long period: the short one must be gone.
  ASSERT_NE(SetTimer(a, 1, 3600 * 1000), 0u);
  const int seen = Ticks(a, 1);
  ASSERT_NE(SetTimer(b, 2, 2), 0u);
  ASSERT_TRUE(PumpUntil([&] { return Ticks(b, 2) >= 10; }));
  EXPECT_EQ(Ticks(a, 1), seen);
}

TEST_F(TimerTest, EndpointsTimersAndIdentifiersAreKeptApart) {
  HWND a = NewWindow(), b = NewWindow();
  ASSERT_NE(SetTimer(a, 1, 2), 0u);
  ASSERT_NE(SetTimer(a, 2, 2), 0u);
  ASSERT_NE(SetTimer(b, 1, 2), 0u);
  EXPECT_EQ(TimerCount(), 3u);
  ASSERT_TRUE(PumpUntil([&] { return Ticks(a, 1) >= 2 && Ticks(a, 2) >= 2 && Ticks(b, 1) >= 2; }));
  EXPECT_TRUE(KillTimer(a, 1));
  EXPECT_EQ(TimerCount(), 2u);
  const int a1 = Ticks(a, 1);
  const int a2 = Ticks(a, 2), b1 = Ticks(b, 1);
  ASSERT_TRUE(PumpUntil([&] { return Ticks(a, 2) >= a2 + 3 && Ticks(b, 1) >= b1 + 3; }));
  EXPECT_EQ(Ticks(a, 1), a1);
}

TEST_F(TimerTest, NoTimerForAnEndpointThatDoesNotExist) {
  EXPECT_EQ(SetTimer(0, 1, 10), 0u);
  EXPECT_EQ(SetTimer(0xFFFFFF, 1, 10), 0u);
  EXPECT_FALSE(KillTimer(0xFFFFFF, 1));
  EXPECT_EQ(TimerCount(), 0u);
}

// A WM_TIMER due and queued when its endpoint goes is dropped with it, and the timer stops.
TEST_F(TimerTest, DestroyingTheEndpointKillsItsTimersAndDropsTheirQueuedMessages) {
  HWND a = NewWindow(), b = NewWindow();
  ASSERT_NE(SetTimer(b, 1, 1), 0u);
  ASSERT_NE(SetTimer(a, 1, 1), 0u);  // due after b's, so queued behind it
  ASSERT_NE(SetTimer(a, 2, 3600 * 1000), 0u);
  bool destroyed = false;
  gOnTick = [&](HWND W, WPARAM) {
    if (W != b || destroyed) return;
    destroyed = true;
    EXPECT_GE(PendingMessageCount(), 1u) << "a's WM_TIMER waits behind this one";
    DestroyNotifyWindow(a);
    EXPECT_EQ(TimerCount(), 1u) << "both of a's timers went with it";
  };
  // Both periods end before the loop looks, so both messages are queued in one pass; only time
  // makes that so.
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  DispatchPending();
  ASSERT_TRUE(destroyed);
  EXPECT_EQ(Ticks(a, 1), 0);
  EXPECT_EQ(PendingMessageCount(), 0u) << "nothing of a's is left in the queue";
  KillTimer(b, 1);
}

// While a timer's WM_TIMER waits in the queue, the end of another period adds none: a nested
// pump that collects readiness while the first still waits takes exactly one.
TEST_F(TimerTest, AtMostOneMessagePerTimerIsQueuedAtATime) {
  HWND kick = NewWindow(), t = NewWindow();
  const UINT kKick = WM_USER + 1;
  int nested = -1;
  gOnOther = [&](HWND, UINT Msg) {
    if (Msg != kKick) return;
    // The timer's first message is queued behind this one. The test needs a second period to
    // end while it waits, and only time makes that so.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int before = Ticks(t, 1);
    WaitAndDispatch(0);  // collects readiness and due timers, then dispatches
    nested = Ticks(t, 1) - before;
  };
  ASSERT_TRUE(PostMessage(kick, kKick, 0, 0));
  ASSERT_NE(SetTimer(t, 1, 1), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));  // due before the pass begins
  DispatchPending();
  EXPECT_EQ(nested, 1) << "a second WM_TIMER was queued while the first still waited";
  KillTimer(t, 1);
}

// A GUI loop watches only the loop descriptor: it must turn readable when a period ends, and
// quiet again once the WM_TIMER has been dispatched.
TEST_F(TimerTest, LoopDescriptorIsReadableWhenAPeriodEndsAndQuietAfterwards) {
  HWND a = NewWindow();
  DispatchPending();
  ASSERT_FALSE(Readable(LoopDescriptor())) << "nothing is due yet";
  gOnTick = [&](HWND W, WPARAM Id) { SetTimer(W, Id, 3600 * 1000); };  // the next one far away
  ASSERT_NE(SetTimer(a, 3, 5), 0u);
  ASSERT_TRUE(Readable(LoopDescriptor(), 5000)) << "the timer's end must wake a loop that watches";
  DispatchPending();
  EXPECT_EQ(Ticks(a, 3), 1);
  EXPECT_FALSE(Readable(LoopDescriptor())) << "a readable descriptor with no work would spin the GUI loop";
  KillTimer(a, 3);
}

}  // namespace
