// TCustomSyncWSocket: waits that pump messages until a handler sets a flag.
#include <chrono>
#include <thread>

#include "net/WSocket.h"
#include "platform/MessageLoop.h"

namespace {
std::int32_t TickCount() {
  using namespace std::chrono;
  return static_cast<std::int32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
constexpr std::int32_t kWaitAborted = 12001;
}  // namespace

std::int32_t TCustomSyncWSocket::RunAndWaitForFlag(const TProcedure& Proc, bool& Done) {
  Done = false;
  if (Proc) Proc();
  return WaitForFlag(Done);
}

std::int32_t TCustomSyncWSocket::WaitForFlag(bool& Done) {
  FSyncDeadline = TickCount() + FSyncTimeout;
  for (;;) {
    if (Done) return 0;
    if ((FSyncTimeout > 0 && TickCount() > FSyncDeadline) || platform::ApplicationTerminated() ||
        FTerminated)
      return kWaitAborted;
    PumpMessages();
    std::this_thread::yield();
  }
}
