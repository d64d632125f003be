// The loop's promises: FIFO order, nothing delivered during PostMessage, messages of a destroyed
// endpoint dropped, re-entrant pumping, the loop descriptor, revoked notifications never delivered.
#include <poll.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"

using namespace platform;

namespace {

struct Received {
  HWND wnd;
  UINT msg;
  WPARAM w;
  LPARAM l;
};

std::vector<Received> gLog;
std::function<void(HWND, UINT)> gHook;  // optional extra behaviour inside the handler

LRESULT RecordingProc(HWND wnd, UINT msg, WPARAM w, LPARAM l) {
  gLog.push_back({wnd, msg, w, l});
  if (gHook) gHook(wnd, msg);
  return 0;
}

const char* kClass = "LoopTestClass";

class MessageLoopTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!IsWindowClassRegistered(kClass)) {
      ASSERT_TRUE(RegisterWindowClass(kClass, RecordingProc));
    }
    gLog.clear();
    gHook = nullptr;
    DispatchPending();  // nothing left over from another test
    gLog.clear();
  }
  void TearDown() override {
    gHook = nullptr;
    for (HWND w : windows) DestroyNotifyWindow(w);
    EXPECT_EQ(PendingMessageCount(), 0u);
  }
  HWND NewWindow() {
    HWND w = CreateNotifyWindow(kClass);
    EXPECT_NE(w, 0u);
    windows.push_back(w);
    return w;
  }
  static bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
  }
  std::vector<HWND> windows;
};

TEST_F(MessageLoopTest, PostedMessagesArriveLaterInPostingOrderAcrossEndpoints) {
  HWND a = NewWindow(), b = NewWindow();
  ASSERT_TRUE(PostMessage(a, WM_USER + 1, 10, 20));
  ASSERT_TRUE(PostMessage(b, WM_USER + 2, 11, 21));
  ASSERT_TRUE(PostMessage(a, WM_USER + 3, 12, 22));
  EXPECT_TRUE(gLog.empty()) << "PostMessage must never deliver during the call";
  DispatchPending();
  ASSERT_EQ(gLog.size(), 3u);
  EXPECT_EQ(gLog[0].wnd, a);
  EXPECT_EQ(gLog[0].msg, WM_USER + 1);
  EXPECT_EQ(gLog[0].w, 10u);
  EXPECT_EQ(gLog[0].l, 20);
  EXPECT_EQ(gLog[1].wnd, b);
  EXPECT_EQ(gLog[2].msg, WM_USER + 3);
}

TEST_F(MessageLoopTest, DestroyedEndpointLosesQueuedMessagesAndRefusesNewOnes) {
  HWND a = NewWindow(), b = NewWindow();
  PostMessage(a, WM_USER, 1, 0);
  PostMessage(b, WM_USER, 2, 0);
  PostMessage(a, WM_USER, 3, 0);
  EXPECT_TRUE(DestroyNotifyWindow(a));
  EXPECT_FALSE(PostMessage(a, WM_USER, 4, 0));
  EXPECT_FALSE(IsWindow(a));
  DispatchPending();
  ASSERT_EQ(gLog.size(), 1u);
  EXPECT_EQ(gLog[0].w, 2u);
}

TEST_F(MessageLoopTest, HandlesAreNeverReusedAndCreationCanFail) {
  std::set<HWND> seen;
  for (int i = 0; i < 50; ++i) {
    HWND w = CreateNotifyWindow(kClass);
    ASSERT_NE(w, 0u);
    EXPECT_TRUE(seen.insert(w).second);
    DestroyNotifyWindow(w);
  }
  EXPECT_EQ(CreateNotifyWindow("NoSuchClass"), 0u);
  FailNextWindowCreations(1);
  EXPECT_EQ(CreateNotifyWindow(kClass), 0u);
  EXPECT_NE(NewWindow(), 0u);
  EXPECT_FALSE(RegisterWindowClass(kClass, RecordingProc)) << "a class is registered once";
}

TEST_F(MessageLoopTest, UserValueIsKeptPerEndpoint) {
  HWND a = NewWindow(), b = NewWindow();
  EXPECT_EQ(GetWindowLongPtr(a), 0);
  SetWindowLongPtr(a, 1234);
  EXPECT_EQ(GetWindowLongPtr(a), 1234);
  EXPECT_EQ(GetWindowLongPtr(b), 0);
}

TEST_F(MessageLoopTest, HandlerThatPumpsTakesTheNextMessagesInOrder) {
  HWND a = NewWindow();
  int depth = 0;
  gHook = [&](HWND, UINT msg) {
    if (msg == WM_USER + 1 && depth == 0) {
      ++depth;
      PostMessage(a, WM_USER + 9, 0, 0);  // queued behind 2 and 3
      ProcessMessages();
      --depth;
    }
  };
  PostMessage(a, WM_USER + 1, 0, 0);
  PostMessage(a, WM_USER + 2, 0, 0);
  PostMessage(a, WM_USER + 3, 0, 0);
  DispatchPending();
  DispatchPending();
  std::vector<UINT> order;
  for (auto& r : gLog) order.push_back(r.msg);
  EXPECT_EQ(order, (std::vector<UINT>{WM_USER + 1, WM_USER + 2, WM_USER + 3, WM_USER + 9}));
}

TEST_F(MessageLoopTest, APassDoesNotRunWhatHandlersQueueMeanwhile) {
  HWND a = NewWindow();
  int reposts = 0;
  gHook = [&](HWND w, UINT) {
    if (reposts < 1000) {
      ++reposts;
      PostMessage(w, WM_USER, 0, 0);
    }
  };
  PostMessage(a, WM_USER, 0, 0);
  DispatchPending();
  EXPECT_EQ(gLog.size(), 1u) << "a handler that keeps posting must not keep one pass running";
  gHook = nullptr;
  DispatchPending();
  EXPECT_EQ(gLog.size(), 2u);
}

TEST_F(MessageLoopTest, LoopDescriptorIsReadableExactlyWhileWorkWaits) {
  HWND a = NewWindow();
  int fd = LoopDescriptor();
  DispatchPending();
  EXPECT_FALSE(Readable(fd));
  PostMessage(a, WM_USER, 0, 0);
  EXPECT_TRUE(Readable(fd));
  DispatchPending();
  EXPECT_FALSE(Readable(fd)) << "an idle loop must not keep a GUI loop busy";
}

TEST_F(MessageLoopTest, ApplicationPumpRunsFromProcessMessagesButNotRecursively) {
  int pumps = 0;
  SetApplicationPump([&] {
    ++pumps;
    ProcessMessages();  // a GUI pump that ends up here again
  });
  ProcessMessages();
  SetApplicationPump(nullptr);
  EXPECT_EQ(pumps, 1);
}

TEST_F(MessageLoopTest, QuitMessageEndsTheLoopAndIsSeenByPeekMessage) {
  HWND a = NewWindow();
  PostMessage(a, WM_USER, 0, 0);
  PostQuitMessage(7);
  EXPECT_EQ(RunMessageLoop(), 7);
  EXPECT_EQ(gLog.size(), 1u);
  EXPECT_TRUE(ApplicationTerminated());
  SetApplicationTerminated(false);

  PostQuitMessage(3);
  TMsg msg;
  ASSERT_TRUE(PeekMessage(msg));
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_FALSE(PeekMessage(msg));
}

TEST_F(MessageLoopTest, RevokedTokenDropsQueuedNotificationsButNotPlainPosts) {
  HWND a = NewWindow();
  std::uint64_t t = loop::NewToken();
  ASSERT_TRUE(loop::PostTokenMessage(a, WM_USER + 1, 5, 0, t));
  PostMessage(a, WM_USER + 2, 5, 0);
  loop::RevokeToken(t);
  EXPECT_FALSE(loop::PostTokenMessage(a, WM_USER + 1, 5, 0, t));
  DispatchPending();
  ASSERT_EQ(gLog.size(), 1u);
  EXPECT_EQ(gLog[0].msg, WM_USER + 2);
}

// Handles are slots of a table that destruction frees for the next endpoint: the old handle must
// still name nothing, and what was queued for it must not reach the endpoint that took its slot.
TEST_F(MessageLoopTest, AnEndpointInAFreedSlotGetsNothingOfItsPredecessor) {
  HWND a = NewWindow();
  SetWindowLongPtr(a, 77);
  PostMessage(a, WM_USER + 1, 1, 0);
  std::uint64_t t = loop::NewToken();
  ASSERT_TRUE(loop::PostTokenMessage(a, WM_USER + 2, 2, 0, t));
  ASSERT_TRUE(DestroyNotifyWindow(a));
  HWND b = NewWindow();
  EXPECT_NE(b, a);
  EXPECT_FALSE(IsWindow(a));
  EXPECT_FALSE(SetWindowLongPtr(a, 5));
  EXPECT_EQ(GetWindowLongPtr(a), 0);
  EXPECT_EQ(GetWindowLongPtr(b), 0) << "the new endpoint starts with its own value";
  EXPECT_FALSE(PostMessage(a, WM_USER + 3, 3, 0));
  EXPECT_FALSE(loop::IsTokenQueued(t)) << "a message for a destroyed endpoint is not waiting";
  PostMessage(b, WM_USER + 4, 4, 0);
  EXPECT_FALSE(DestroyNotifyWindow(a)) << "destroying the old handle again must not hit the new endpoint";
  DispatchPending();
  ASSERT_EQ(gLog.size(), 1u);
  EXPECT_EQ(gLog[0].wnd, b);
  EXPECT_EQ(gLog[0].msg, WM_USER + 4u);
  loop::RevokeToken(t);
}

// Revoked and orphaned messages stay in the queue until they come to its front; they must never
// be delivered, never hold up the live ones, and never keep the loop descriptor readable.
TEST_F(MessageLoopTest, DeadMessagesAmongThousandsAreSkippedInOrderAndLeaveTheLoopIdle) {
  const int kEndpoints = 2000;
  std::vector<HWND> wnds;
  std::vector<std::uint64_t> tokens;
  for (int i = 0; i < kEndpoints; ++i) {
    wnds.push_back(CreateNotifyWindow(kClass));
    tokens.push_back(loop::NewToken());
  }
  // Three messages an endpoint: a plain post, a token's, a plain post; then every third endpoint is
  // destroyed and every other token revoked.
  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < kEndpoints; ++i) {
      const auto w = static_cast<WPARAM>(i * 3 + round);
      if (round == 1)
        ASSERT_TRUE(loop::PostTokenMessage(wnds[i], WM_USER + 1, w, 0, tokens[i]));
      else
        ASSERT_TRUE(PostMessage(wnds[i], WM_USER, w, 0));
    }
  for (int i = 0; i < kEndpoints; ++i) {
    if (i % 3 == 0) DestroyNotifyWindow(wnds[i]);
    if (i % 2 == 0) loop::RevokeToken(tokens[i]);
  }
  std::vector<WPARAM> expected;
  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < kEndpoints; ++i) {
      if (i % 3 == 0 || (round == 1 && i % 2 == 0)) continue;
      expected.push_back(static_cast<WPARAM>(i * 3 + round));
    }
  EXPECT_EQ(PendingMessageCount(), expected.size());
  for (int i = 0; i < kEndpoints; ++i)
    EXPECT_EQ(loop::IsTokenQueued(tokens[i]), i % 3 != 0 && i % 2 != 0) << "endpoint " << i;
  DispatchPending();
  std::vector<WPARAM> got;
  for (const Received& r : gLog) got.push_back(r.w);
  EXPECT_EQ(got, expected);
  EXPECT_FALSE(Readable(LoopDescriptor()));
  for (int i = 0; i < kEndpoints; ++i) {
    EXPECT_FALSE(loop::IsTokenQueued(tokens[i]));
    if (i % 3 != 0) DestroyNotifyWindow(wnds[i]);
    loop::RevokeToken(tokens[i]);
  }

  // Only dead messages left behind: the loop has no work.
  HWND a = NewWindow();
  std::uint64_t t = loop::NewToken();
  ASSERT_TRUE(loop::PostTokenMessage(a, WM_USER + 1, 1, 0, t));
  ASSERT_TRUE(loop::PostTokenMessage(a, WM_USER + 1, 2, 0, t));
  EXPECT_TRUE(loop::IsTokenQueued(t));
  EXPECT_TRUE(Readable(LoopDescriptor()));
  loop::RevokeToken(t);
  EXPECT_FALSE(Readable(LoopDescriptor())) << "revoked notifications are no work";
  HWND b = CreateNotifyWindow(kClass);
  PostMessage(a, WM_USER, 3, 0);
  PostMessage(b, WM_USER, 4, 0);
  PostMessage(b, WM_USER, 5, 0);
  DestroyNotifyWindow(b);
  EXPECT_TRUE(Readable(LoopDescriptor()));
  TMsg msg;
  ASSERT_TRUE(PeekMessage(msg));
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_FALSE(Readable(LoopDescriptor())) << "what is left behind the last live message is dead";
  EXPECT_FALSE(PeekMessage(msg));
}

// A pass takes what waited when it began, counted in messages that can be delivered: dead ones
// in the queue must not let it run messages that its handlers post.
TEST_F(MessageLoopTest, APassAmongDeadMessagesStillLeavesWhatHandlersPostForTheNext) {
  HWND a = NewWindow();
  std::uint64_t t = loop::NewToken();
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(loop::PostTokenMessage(a, WM_USER + 1, 0, 0, t));
  PostMessage(a, WM_USER, 0, 0);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(loop::PostTokenMessage(a, WM_USER + 1, 0, 0, t));
  PostMessage(a, WM_USER, 0, 0);
  loop::RevokeToken(t);
  int posted = 0;
  gHook = [&](HWND w, UINT) {
    if (posted < 5) {
      ++posted;
      PostMessage(w, WM_USER + 2, 0, 0);
    }
  };
  DispatchPending();
  EXPECT_EQ(gLog.size(), 2u) << "the two plain posts only";
  gHook = nullptr;
  DispatchPending();
  EXPECT_EQ(gLog.size(), 4u);
}

}  // namespace
