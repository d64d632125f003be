// The glue between Qt's loop and ours: posted messages delivered while only Qt's loop runs, the
// loop descriptor drained afterwards (no busy loop), a self-posting handler unable to starve Qt,
// ProcessMessages pumping Qt only while a bridge exists, errors kept out of Qt, the regional
// date and time text.
#include <poll.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <functional>
#include <stdexcept>
#include <vector>

#include "QtTestApp.h"
#include "platform/Exception.h"
#include "platform/MessageLoop.h"
#include "record/DateTimeText.h"
#include "platform/gui/ErrorBox.h"
#include "platform/gui/LoopBridge.h"

using namespace platform;

namespace {

std::function<void(UINT)> gOnMessage;

const char* kClass = "BridgeTestClass";

class LoopBridgeTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!IsWindowClassRegistered(kClass)) {
      ASSERT_TRUE(RegisterWindowClass(kClass, [](HWND, UINT Msg, WPARAM, LPARAM) -> LRESULT {
        if (gOnMessage) gOnMessage(Msg);
        return 0;
      }));
    }
    FPrevious = gui::SetErrorHandler([this](const std::string& m) { Errors.push_back(m); });
    Wnd = CreateNotifyWindow(kClass);
    ASSERT_NE(Wnd, 0u);
  }
  void TearDown() override {
    gOnMessage = nullptr;
    DestroyNotifyWindow(Wnd);
    EXPECT_EQ(PendingMessageCount(), 0u);
    gui::SetErrorHandler(FPrevious);
  }

  // Runs a Qt event loop until Quit is called or the limit fires; false when the limit fired.
  static bool RunQtLoop(QEventLoop& Loop, int LimitMs = 5000) {
    bool timedOut = false;
    QTimer::singleShot(LimitMs, &Loop, [&] {
      timedOut = true;
      Loop.quit();
    });
    Loop.exec();
    return !timedOut;
  }

  static bool Readable(int Fd) {
    pollfd p{Fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
  }

  HWND Wnd = 0;
  std::vector<std::string> Errors;

private:
  gui::TErrorHandler FPrevious;
};

TEST_F(LoopBridgeTest, PostedMessageIsDeliveredByQtsLoopAndTheDescriptorIsLeftDrained) {
  gui::TLoopBridge bridge;
  QEventLoop loop;
  std::vector<UINT> got;
  gOnMessage = [&](UINT Msg) {
    got.push_back(Msg);
    loop.quit();
  };
  ASSERT_TRUE(PostMessage(Wnd, WM_USER + 7, 0, 0));
  EXPECT_TRUE(Readable(LoopDescriptor()));
  ASSERT_TRUE(RunQtLoop(loop));
  EXPECT_EQ(got, std::vector<UINT>{WM_USER + 7});
  // Still readable here would make Qt's notifier fire on every pass: a busy loop.
  EXPECT_FALSE(Readable(LoopDescriptor()));
}

TEST_F(LoopBridgeTest, SelfPostingHandlerCannotStarveQtsOwnEvents) {
  gui::TLoopBridge bridge;
  constexpr int kCap = 100000;  // reaching it means Qt never got a turn
  bool stop = false;
  int reposts = 0;
  QEventLoop loop;
  gOnMessage = [&](UINT) {
    // Qt's event is armed only once the messages are flowing.
    if (reposts == 0) QTimer::singleShot(0, &loop, [&] {
      stop = true;
      loop.quit();
    });
    if (stop || reposts >= kCap) return;
    ++reposts;
    PostMessage(Wnd, WM_USER + 1, 0, 0);
  };
  ASSERT_TRUE(PostMessage(Wnd, WM_USER + 1, 0, 0));
  ASSERT_TRUE(RunQtLoop(loop));
  EXPECT_LT(reposts, kCap) << "Qt's zero timer waited until the handler stopped posting";
  DispatchPending();  // the last repost
}

TEST_F(LoopBridgeTest, ProcessMessagesRunsQtEventsOnlyWhileABridgeExists) {
  int ran = 0;
  {
    gui::TLoopBridge bridge;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [&] { ++ran; }, Qt::QueuedConnection);
    ProcessMessages();
    EXPECT_EQ(ran, 1);
  }
  QMetaObject::invokeMethod(QCoreApplication::instance(), [&] { ++ran; }, Qt::QueuedConnection);
  ProcessMessages();  // no pump left behind that reaches into a torn-down bridge
  EXPECT_EQ(ran, 1);
  QCoreApplication::processEvents();
  EXPECT_EQ(ran, 2);
}

TEST_F(LoopBridgeTest, ExceptionEscapingAMessageHandlerIsShownNotThrownThroughQt) {
  gui::TLoopBridge bridge;
  QEventLoop loop;
  gOnMessage = [&](UINT Msg) {
    if (Msg == WM_USER + 2) throw Exception("Handler failed");
    if (Msg == WM_USER + 3) throw std::runtime_error("Not ours");
    loop.quit();
  };
  PostMessage(Wnd, WM_USER + 2, 0, 0);
  PostMessage(Wnd, WM_USER + 3, 0, 0);
  PostMessage(Wnd, WM_USER + 4, 0, 0);
  ASSERT_TRUE(RunQtLoop(loop));
  EXPECT_EQ(Errors, (std::vector<std::string>{"Handler failed", "Not ours"}));
}

TEST_F(LoopBridgeTest, QuitMessageEndsQtsLoop) {
  gui::TLoopBridge bridge;
  QEventLoop loop;
  PostQuitMessage(3);
  EXPECT_TRUE(RunQtLoop(loop));
  EXPECT_TRUE(ApplicationTerminated());
  SetApplicationTerminated(false);
  // Until the application's own loop has run, Qt takes it as quitting: every loop started later
  // would end at once. The tests that follow get an application that is not quitting.
  QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
  QCoreApplication::exec();
  QEventLoop later;
  QTimer::singleShot(0, &later, [&] { later.exit(7); });
  EXPECT_EQ(later.exec(), 7);
}

TEST(DateTimeText, ShortDateBlankLongTimeWithSecondsAndNoZone) {
  const QDateTime when(QDate(2006, 1, 2), QTime(15, 4, 5));
  const struct {
    const char* Locale;
    const char* Text;
  } cases[] = {
      {"en_US", "1/2/06 3:04:05 PM"},
      {"de_DE", "02.01.06 15:04:05"},
      {"en_GB", "02/01/2006 15:04:05"},
  };
  for (const auto& c : cases) EXPECT_EQ(DateTimeText(when, QLocale(c.Locale)), c.Text) << c.Locale;
}

}  // namespace
