// The test program's QApplication, made once for all tests and torn down after the last.
#include "QtTestApp.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

namespace {

class QtEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    // Never open real windows on a developer's desktop.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    FApp = new QApplication(FArgc, FArgv);
  }
  void TearDown() override { delete FApp; }

private:
  static inline int FArgc = 1;
  static inline char FName[] = "test_log";
  static inline char* FArgv[] = {FName, nullptr};
  QApplication* FApp = nullptr;
};

[[maybe_unused]] ::testing::Environment* const gQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

bool PumpQtUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit) {
  if (Done()) return true;
  const auto deadline = std::chrono::steady_clock::now() + Limit;
  QEventLoop loop;
  QTimer tick;
  int ticks = 0;
  QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
    if (Done() || std::chrono::steady_clock::now() >= deadline || ++ticks > 100000) loop.quit();
  });
  tick.start(1);
  loop.exec();
  return Done();
}
