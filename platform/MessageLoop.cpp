// The event loop: one queue, the endpoints, epoll for readiness and one timerfd for the timers.
// Internal state lives in one process-wide object that is never destroyed, so that endpoints and
// sockets released by static destructors at program end still find it.
//
// Every operation costs the same however many endpoints, sockets and messages there are: a relay
// with tens of thousands of sessions destroys an endpoint and revokes a token at each close.
// - Endpoints live in a table of slots; a handle is the slot's number with the slot's generation
//   above it, so a handle names one endpoint only, for ever, and is found without a search.
// - A revoked token or a destroyed endpoint does not search the queue: its messages stay queued,
//   dead, and are dropped when they come to the front. The front of the queue is always a message
//   that can be delivered (dead ones behind it are dropped as it goes), so an empty queue means
//   no work and the loop descriptor is readable exactly while work waits.
// - Each live token counts its messages in the queue, so whether one waits is known at once.
// - Watched descriptors are a table indexed by the descriptor.
//
// Timers: a record per (endpoint, identifier) and a min-heap of deadlines. Restarting or killing a
// timer does not search the heap: the record's generation changes, and heap entries of an older
// generation are dropped when they come to the top. The timerfd is armed for the earliest live
// deadline; epoll watches it level-triggered, so the loop descriptor is readable while a period
// has ended that the loop has not yet turned into WM_TIMER.
#include "platform/MessageLoop.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <queue>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Exception.h"
#include "platform/Shrink.h"

namespace platform {
namespace {

struct QueuedMessage {
  TMsg msg;
  std::uint64_t token;  // 0: a plain post
  std::uint64_t serial;  // the order of queueing
};

// A slot of the endpoint table. Classes are never unregistered, so proc stays valid.
struct Endpoint {
  const TWndProc* proc = nullptr;  // null: the slot is free
  std::intptr_t value = 0;
  std::uint32_t generation = 0;    // bumped at every reuse of the slot
};

// A live token: its messages still in the queue, and the endpoint they go to (0 once they went
// to several, which the socket layer never does).
struct TokenState {
  std::uint32_t queued = 0;
  HWND wnd = 0;
  bool mixed = false;
};

constexpr HWND kSlotBits = 32;
constexpr HWND SlotHandle(std::size_t Slot, std::uint32_t Generation) {
  return (static_cast<HWND>(Generation) << kSlotBits) | static_cast<HWND>(Slot + 1);
}

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, the timerfd's clock
using TimerKey = std::pair<HWND, UINT_PTR>;

struct Timer {
  Clock::duration period{};
  std::uint64_t generation = 0;  // heap entries of another generation are stale
  std::uint64_t token = 0;       // its WM_TIMER is posted with it: killing drops a queued one
  bool queued = false;           // a WM_TIMER of it waits in the queue
};

struct TimerDeadline {
  Clock::time_point due;
  TimerKey key;
  std::uint64_t generation;
  bool operator>(const TimerDeadline& o) const { return due > o.due; }
};

// Memory that the program has freed goes back to the system while the loop waits.
//
// glibc's allocator gives memory back only from the top of its heap, and only when a free()
// leaves much there. A relay that ends thousands of sessions frees their sockets and records in
// the middle of the heap, below tables and buffers allocated after them, so that memory would
// stay resident for ever: the relay's memory would never come down from its busiest moment.
// malloc_trim gives back the free pages wherever they lie. It walks the allocator's free lists,
// so it runs only when the loop is about to wait, and its check (mallinfo2, which walks the same
// lists) at most once a second; a wait that begins within that second is cut short once, so that
// the check still comes after the last burst of closes. It trims when at least kGiveBackFrom is
// free and either the free memory has grown by that much since the least it was seen at, or the
// resident memory has grown by that much since the last trim: sessions that open and close again
// between two checks leave the free memory where it was, but its pages resident once more.
class TMemoryGiveBack {
public:
  // The wait to make instead of TimeoutMs (-1: no limit): shorter while a check is due.
  int Wait(int TimeoutMs) {
#ifdef __GLIBC__
    const Clock::time_point now = Clock::now();
    if (now >= FNext) {
      Check(now);
      return TimeoutMs;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(FNext - now).count() + 1;
    if (TimeoutMs < 0 || ms < TimeoutMs) return static_cast<int>(ms);
#endif
    return TimeoutMs;
  }

private:
  static constexpr std::size_t kGiveBackFrom = 2 << 20;
  static constexpr auto kEvery = std::chrono::seconds(1);

  void Check(Clock::time_point Now) {
#ifdef __GLIBC__
    FNext = Now + kEvery;
    const std::size_t resident = ResidentBytes();
    const std::size_t free = ::mallinfo2().fordblks;
    if (free < FLeastFree) FLeastFree = free;
    if (resident < FResidentAfter) FResidentAfter = resident;
    const bool freed = free - FLeastFree >= kGiveBackFrom;
    const bool touched = resident >= FResidentAfter + kGiveBackFrom;
    if (free < kGiveBackFrom || (!freed && !touched)) return;
    ::malloc_trim(0);
    FLeastFree = free;  // the pages are back; the bytes still count as free in the heap
    FResidentAfter = ResidentBytes();
#else
    (void)Now;
#endif
  }

  // The process's resident memory, from the kernel's page counts; 0 when it cannot be read.
  static std::size_t ResidentBytes() {
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[128];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    unsigned long size = 0, pages = 0;
    if (std::sscanf(text, "%lu %lu", &size, &pages) != 2) return 0;
    return static_cast<std::size_t>(pages) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  }

  Clock::time_point FNext{};
  std::size_t FLeastFree = 0;  // since the last release (none yet: since the start)
  std::size_t FResidentAfter = SIZE_MAX;  // the least resident since the last release
};

struct Loop {
  Loop() {
    epfd = epoll_create1(EPOLL_CLOEXEC);
    wakefd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    timerfd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (epfd < 0 || wakefd < 0 || timerfd < 0) throw Exception("Cannot create the event loop");
    // Level-triggered on purpose: the loop descriptor must stay readable while messages wait,
    // and while a timer's period has ended unseen.
    for (int fd : {wakefd, timerfd}) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.fd = fd;
      epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
    }
  }

  int epfd = -1;
  int wakefd = -1;
  int timerfd = -1;
  bool wakePending = false;

  std::map<TimerKey, Timer> timers;
  std::priority_queue<TimerDeadline, std::vector<TimerDeadline>, std::greater<>> deadlines;
  std::uint64_t timerGeneration = 0;
  Clock::time_point armedFor{};  // the timerfd's expiry; the epoch while disarmed

  std::deque<QueuedMessage> queue;  // its front is always deliverable (see the top)
  std::vector<Endpoint> endpoints;
  // Free slots, most recently freed last; entries that name a slot past the end, or one taken
  // again since, are stale and skipped.
  std::vector<std::uint32_t> freeSlots;
  // Free slots at the end of the table go, and with them the generations they had reached: a slot
  // made anew starts above every generation that any slot gave up, so that no handle comes back.
  std::uint32_t droppedGeneration = 0;
  std::unordered_map<std::string, std::shared_ptr<TWndProc>> classes;
  std::vector<loop::TReadyHandler> watched;  // by descriptor; empty: not watched
  std::unordered_map<std::uint64_t, TokenState> liveTokens;
  std::uint64_t nextToken = 1;
  std::uint64_t nextSerial = 0;

  TMemoryGiveBack memory;
  std::function<void()> appPump;
  bool inAppPump = false;
  bool terminated = false;
  int exitCode = 0;
  int failCreations = 0;

  // The wake descriptor tells a GUI toolkit's loop that watches the loop descriptor that work
  // waits; the loop itself looks at the queue. So it is written only once someone has asked for
  // the loop descriptor: a loop that runs alone makes no system call per message.
  bool watchedFromOutside = false;

  void Signal() {
    if (wakePending || !watchedFromOutside) return;
    std::uint64_t one = 1;
    if (write(wakefd, &one, sizeof one) == sizeof one) wakePending = true;
  }

  void DrainWakeIfIdle() {
    if (!queue.empty() || !wakePending) return;
    std::uint64_t count;  // one read takes the whole count and leaves it at zero
    if (read(wakefd, &count, sizeof count) != sizeof count) return;
    wakePending = false;
  }

  Endpoint* Find(HWND Wnd) {
    const HWND slot = (Wnd & ((HWND{1} << kSlotBits) - 1)) - 1;
    if (Wnd == 0 || slot >= endpoints.size()) return nullptr;
    Endpoint& e = endpoints[slot];
    if (e.proc == nullptr || e.generation != static_cast<std::uint32_t>(Wnd >> kSlotBits)) return nullptr;
    return &e;
  }

  void Enqueue(const TMsg& msg, std::uint64_t token) {
    if (token != 0) {
      auto it = liveTokens.find(token);
      if (it != liveTokens.end()) {  // always: callers post with live tokens only
        TokenState& t = it->second;
        if (t.queued > 0 && t.wnd != msg.hwnd) t.mixed = true;
        t.wnd = msg.hwnd;
        ++t.queued;
      }
    }
    queue.push_back({msg, token, nextSerial++});
    Signal();
  }

  // Takes the front message out of the queue and out of its token's count.
  QueuedMessage PopFront() {
    QueuedMessage q = queue.front();
    queue.pop_front();
    if (q.token != 0) {
      auto it = liveTokens.find(q.token);
      if (it != liveTokens.end()) --it->second.queued;
    }
    return q;
  }

  // Drops the dead messages at the front, so that the front is deliverable again.
  void DropDeadFront() {
    while (!queue.empty() && !Deliverable(queue.front())) PopFront();
  }

  // ---- timers ----

  bool Live(const TimerDeadline& d) const {
    auto it = timers.find(d.key);
    return it != timers.end() && it->second.generation == d.generation;
  }

  void Schedule(const TimerKey& key, const Timer& t, Clock::time_point due) {
    deadlines.push({due, key, t.generation});
    // Restarts leave stale entries behind; rebuild before they outnumber the live ones.
    if (deadlines.size() > 2 * timers.size() + 64) {
      std::vector<TimerDeadline> live;
      while (!deadlines.empty()) {
        if (Live(deadlines.top())) live.push_back(deadlines.top());
        deadlines.pop();
      }
      for (const TimerDeadline& d : live) deadlines.push(d);
    }
  }

  // Arms the timerfd for the earliest live deadline, or disarms it.
  void Arm() {
    while (!deadlines.empty() && !Live(deadlines.top())) deadlines.pop();
    Clock::time_point due = deadlines.empty() ? Clock::time_point{} : deadlines.top().due;
    if (due == armedFor) return;
    itimerspec setting{};
    if (!deadlines.empty()) {
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
      if (ns <= 0) ns = 1;  // an it_value of zero would disarm
      setting.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
      setting.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    if (timerfd_settime(timerfd, TFD_TIMER_ABSTIME, &setting, nullptr) == 0) armedFor = due;
  }

  // Queues WM_TIMER for every timer whose period has ended and that has none waiting, and starts
  // its next period. Expired: the timerfd reported its expiry, which is read here.
  void FireDueTimers(bool Expired) {
    if (Expired) {
      std::uint64_t expirations;
      while (read(timerfd, &expirations, sizeof expirations) == sizeof expirations) {
      }
      armedFor = Clock::time_point{};  // Arm sets it again
    }
    const Clock::time_point now = Clock::now();
    while (!deadlines.empty() && deadlines.top().due <= now) {
      TimerDeadline d = deadlines.top();
      deadlines.pop();
      auto it = timers.find(d.key);
      if (it == timers.end() || it->second.generation != d.generation) continue;
      Timer& t = it->second;
      if (!t.queued) {
        t.queued = true;
        Enqueue({d.key.first, WM_TIMER, d.key.second, 0}, t.token);
      }
      Schedule(d.key, t, now + t.period);
    }
    Arm();
  }

  void ForgetTimer(std::map<TimerKey, Timer>::iterator it);

  // Collects readiness; the socket layer's handlers turn it into queued notifications.
  void Poll(int timeoutMs) {
    if (!queue.empty()) timeoutMs = 0;
    epoll_event events[64];
    int n;
    const Clock::time_point began = Clock::now();
    for (int waits = 0;; ++waits) {
      // A wait that memory's check cut short goes on for the rest of its time.
      int wait = timeoutMs;
      if (timeoutMs > 0)
        wait = std::max<int>(0, timeoutMs - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                               Clock::now() - began).count()));
      const int asked = wait;
      if (wait != 0 && waits < 2) wait = memory.Wait(wait);
      do {
        n = epoll_wait(epfd, events, 64, wait);
      } while (n < 0 && errno == EINTR && wait != 0);
      if (n != 0 || wait == asked) break;
    }
    bool timerReady = false;
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == timerfd) timerReady = true;
      if (fd == wakefd || fd == timerfd) continue;
      if (fd < 0 || static_cast<std::size_t>(fd) >= watched.size() || !watched[fd]) continue;
      loop::TReadyHandler handler = watched[fd];  // survives an Unwatch inside
      handler(events[i].events);
    }
    // By the clock, not by the timerfd's report: a deadline passed while no one polled counts too.
    if (timerReady || (!deadlines.empty() && deadlines.top().due <= Clock::now()))
      FireDueTimers(timerReady);
    DrainWakeIfIdle();
  }

  bool Deliverable(const QueuedMessage& q) {
    if (q.token != 0 && liveTokens.count(q.token) == 0) return false;
    if (q.msg.hwnd == 0) return q.msg.message == WM_QUIT;
    return Find(q.msg.hwnd) != nullptr;
  }

  // Takes the next deliverable message off the front, if it was queued before Before; false when
  // there is none.
  bool Take(TMsg& out, std::uint64_t Before = ~std::uint64_t{0}) {
    DropDeadFront();
    if (queue.empty() || queue.front().serial >= Before) return false;
    QueuedMessage q = PopFront();
    DropDeadFront();
    if (q.msg.message == WM_TIMER && q.token != 0) {
      auto it = timers.find({q.msg.hwnd, q.msg.wParam});
      if (it != timers.end() && it->second.token == q.token) it->second.queued = false;
    }
    out = q.msg;
    return true;
  }

  // Dispatches the messages waiting when it starts; what handlers queue meanwhile waits for the
  // next pass (nested pumps may take it earlier). Returns the number of messages handled.
  int DispatchWaiting(bool PollFirst = true) {
    if (PollFirst) Poll(0);
    int handled = 0;
    const std::uint64_t waiting = nextSerial;
    for (;;) {
      TMsg msg;
      if (!Take(msg, waiting)) break;
      ++handled;
      if (msg.hwnd == 0 && msg.message == WM_QUIT) {
        terminated = true;
        exitCode = static_cast<int>(msg.wParam);
        continue;
      }
      DispatchMessage(msg);
    }
    DrainWakeIfIdle();
    return handled;
  }
};

Loop& L() {
  static Loop* loop = new Loop();
  return *loop;
}

void Loop::ForgetTimer(std::map<TimerKey, Timer>::iterator it) {
  std::uint64_t token = it->second.token;
  timers.erase(it);
  loop::RevokeToken(token);  // drops its queued WM_TIMER
  Arm();
}

}  // namespace

bool RegisterWindowClass(const std::string& ClassName, TWndProc Proc) {
  Loop& l = L();
  if (ClassName.empty() || !Proc || l.classes.count(ClassName)) return false;
  l.classes.emplace(ClassName, std::make_shared<TWndProc>(std::move(Proc)));
  return true;
}

bool IsWindowClassRegistered(const std::string& ClassName) { return L().classes.count(ClassName) != 0; }

HWND CreateNotifyWindow(const std::string& ClassName) {
  Loop& l = L();
  auto it = l.classes.find(ClassName);
  if (it == l.classes.end()) return 0;
  if (l.failCreations > 0) {
    --l.failCreations;
    return 0;
  }
  std::size_t slot = l.endpoints.size();
  while (!l.freeSlots.empty()) {
    const std::size_t free = l.freeSlots.back();
    l.freeSlots.pop_back();
    if (free < l.endpoints.size() && l.endpoints[free].proc == nullptr) {
      slot = free;
      break;
    }
  }
  if (slot == l.endpoints.size()) {
    l.endpoints.emplace_back();
    l.endpoints.back().generation = l.droppedGeneration;
  }
  Endpoint& e = l.endpoints[slot];
  e.proc = it->second.get();
  e.value = 0;
  ++e.generation;
  return SlotHandle(slot, e.generation);
}

bool DestroyNotifyWindow(HWND Wnd) {
  Loop& l = L();
  Endpoint* e = l.Find(Wnd);
  if (e == nullptr) return false;
  e->proc = nullptr;
  e->value = 0;
  l.freeSlots.push_back(static_cast<std::uint32_t>(e - l.endpoints.data()));
  while (!l.endpoints.empty() && l.endpoints.back().proc == nullptr) {
    l.droppedGeneration = std::max(l.droppedGeneration, l.endpoints.back().generation);
    l.endpoints.pop_back();
  }
  if (l.freeSlots.size() > 2 * l.endpoints.size() + 64)  // stale entries only, past that
    std::erase_if(l.freeSlots, [&l](std::uint32_t s) { return s >= l.endpoints.size() || l.endpoints[s].proc != nullptr; });
  ShrinkIfMostlyEmpty(l.endpoints);
  ShrinkIfMostlyEmpty(l.freeSlots);
  for (auto it = l.timers.lower_bound({Wnd, 0}); it != l.timers.end() && it->first.first == Wnd;)
    l.ForgetTimer(it++);
  l.DropDeadFront();  // its messages further back are dropped when they come to the front
  l.DrainWakeIfIdle();
  return true;
}

bool IsWindow(HWND Wnd) { return L().Find(Wnd) != nullptr; }

bool SetWindowLongPtr(HWND Wnd, std::intptr_t Value) {
  Endpoint* e = L().Find(Wnd);
  if (e == nullptr) return false;
  e->value = Value;
  return true;
}

std::intptr_t GetWindowLongPtr(HWND Wnd) {
  Endpoint* e = L().Find(Wnd);
  return e == nullptr ? 0 : e->value;
}

bool PostMessage(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam) {
  if (!IsWindow(Wnd)) return false;
  L().Enqueue({Wnd, Msg, WParam, LParam}, 0);
  return true;
}

void PostQuitMessage(int ExitCode) {
  L().Enqueue({0, WM_QUIT, static_cast<WPARAM>(ExitCode), 0}, 0);
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

bool PeekMessage(TMsg& Msg) {
  Loop& l = L();
  if (l.queue.empty()) l.Poll(0);
  bool got = l.Take(Msg);
  l.DrainWakeIfIdle();
  return got;
}

void TranslateMessage(const TMsg&) {}

LRESULT DispatchMessage(const TMsg& Msg) {
  Endpoint* e = L().Find(Msg.hwnd);
  if (e == nullptr) return 0;
  const TWndProc* proc = e->proc;  // the class's, which outlives the endpoint
  return (*proc)(Msg.hwnd, Msg.message, Msg.wParam, Msg.lParam);
}

void ProcessMessages() {
  Loop& l = L();
  if (l.appPump && !l.inAppPump) {
    l.inAppPump = true;
    try {
      l.appPump();
    } catch (...) {
      l.inAppPump = false;
      throw;
    }
    l.inAppPump = false;
  }
  l.DispatchWaiting();
}

void DispatchPending() { L().DispatchWaiting(); }

int RunMessageLoop() {
  Loop& l = L();
  l.terminated = false;
  while (!l.terminated) {
    const bool wait = l.queue.empty();
    if (wait) l.Poll(-1);
    l.DispatchWaiting(!wait);  // what the wait collected is queued already
  }
  return l.exitCode;
}

bool WaitAndDispatch(int TimeoutMs) {
  Loop& l = L();
  const bool wait = l.queue.empty();
  if (wait) l.Poll(TimeoutMs);
  return l.DispatchWaiting(!wait) > 0;  // what the wait collected is queued already
}

UINT_PTR SetTimer(HWND Wnd, UINT_PTR IDEvent, UINT ElapseMs) {
  Loop& l = L();
  if (!IsWindow(Wnd)) return 0;
  const TimerKey key{Wnd, IDEvent};
  Timer& t = l.timers[key];
  if (t.token != 0) loop::RevokeToken(t.token);  // a restart: the old period's message goes
  t.token = loop::NewToken();
  t.queued = false;
  t.period = std::chrono::milliseconds(std::max<UINT>(ElapseMs, 1));
  t.generation = ++l.timerGeneration;
  l.Schedule(key, t, Clock::now() + t.period);
  l.Arm();
  return IDEvent != 0 ? IDEvent : 1;
}

bool KillTimer(HWND Wnd, UINT_PTR IDEvent) {
  Loop& l = L();
  auto it = l.timers.find({Wnd, IDEvent});
  if (it == l.timers.end()) return false;
  l.ForgetTimer(it);
  return true;
}

std::size_t TimerCount() { return L().timers.size(); }

bool ApplicationTerminated() { return L().terminated; }
void SetApplicationTerminated(bool Value) { L().terminated = Value; }

int LoopDescriptor() {
  Loop& l = L();
  if (!l.watchedFromOutside) {
    l.watchedFromOutside = true;
    if (!l.queue.empty()) l.Signal();  // readable at once for what already waits
  }
  return l.epfd;
}

void SetApplicationPump(std::function<void()> Pump) { L().appPump = std::move(Pump); }

std::size_t PendingMessageCount() {
  Loop& l = L();
  std::size_t n = 0;
  for (const QueuedMessage& q : l.queue)
    if (l.Deliverable(q)) ++n;
  return n;
}

void FailNextWindowCreations(int Count) { L().failCreations = Count; }

namespace loop {

bool Watch(int Fd, std::uint32_t Events, TReadyHandler Handler) {
  Loop& l = L();
  if (Fd < 0 || !Handler) return false;
  epoll_event ev{};
  ev.events = Events;
  ev.data.fd = Fd;
  const auto at = static_cast<std::size_t>(Fd);
  bool known = at < l.watched.size() && l.watched[at];
  if (epoll_ctl(l.epfd, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, Fd, &ev) != 0) return false;
  if (at >= l.watched.size()) l.watched.resize(at + 1);
  l.watched[at] = std::move(Handler);
  return true;
}

void Unwatch(int Fd) {
  Loop& l = L();
  const auto at = static_cast<std::size_t>(Fd);
  if (Fd < 0 || at >= l.watched.size() || !l.watched[at]) return;
  l.watched[at] = nullptr;
  epoll_ctl(l.epfd, EPOLL_CTL_DEL, Fd, nullptr);
  while (!l.watched.empty() && !l.watched.back()) l.watched.pop_back();
  ShrinkIfMostlyEmpty(l.watched, 1024);
}

std::uint64_t NewToken() {
  Loop& l = L();
  std::uint64_t t = l.nextToken++;
  l.liveTokens.emplace(t, TokenState{});
  return t;
}

void RevokeToken(std::uint64_t Token) {
  Loop& l = L();
  if (l.liveTokens.erase(Token) == 0) return;
  ShrinkBucketsIfMostlyEmpty(l.liveTokens);
  l.DropDeadFront();  // its messages further back are dropped when they come to the front
  l.DrainWakeIfIdle();
}

bool PostTokenMessage(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam, std::uint64_t Token) {
  Loop& l = L();
  if (!IsWindow(Wnd) || l.liveTokens.count(Token) == 0) return false;
  l.Enqueue({Wnd, Msg, WParam, LParam}, Token);
  return true;
}

bool IsTokenQueued(std::uint64_t Token) {
  Loop& l = L();
  auto it = l.liveTokens.find(Token);
  if (it == l.liveTokens.end() || it->second.queued == 0) return false;
  if (!it->second.mixed) return IsWindow(it->second.wnd);  // dead with its endpoint
  for (const QueuedMessage& q : l.queue)
    if (q.token == Token && l.Deliverable(q)) return true;
  return false;
}

}  // namespace loop
}  // namespace platform
