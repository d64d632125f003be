// The responsiveness of a Qt program's loop, measured on its own thread.
#pragma once

#include <QObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

// The gaps between two ticks of a 1 ms timer on this thread's Qt loop: while one lasts, the window
// cannot answer the user. Only the gaps that overlap a window of time count, in full.
class TStallWatch {
public:
  using TTime = std::chrono::steady_clock::time_point;

  TStallWatch() {
    FTimer.setTimerType(Qt::PreciseTimer);
    FTimer.setInterval(1);
    QObject::connect(&FTimer, &QTimer::timeout, &FTimer, [this] { Tick(); });
    FLast = std::chrono::steady_clock::now();
    FTimer.start();
  }
  // The gap still open when the loop has stopped counts too.
  void Finish() {
    Tick();
    FTimer.stop();
  }
  double MaxMs(TTime From, TTime To) const {
    double max = 0;
    for (const TGap& g : FGaps)
      if (g.End >= From && g.Start <= To) max = std::max(max, Ms(g));
    return max;
  }
  int Over(double Ms, TTime From, TTime To) const {
    int n = 0;
    for (const TGap& g : FGaps) n += g.End >= From && g.Start <= To && TStallWatch::Ms(g) > Ms;
    return n;
  }

private:
  struct TGap {
    TTime Start, End;
  };
  static double Ms(const TGap& G) { return std::chrono::duration<double, std::milli>(G.End - G.Start).count(); }
  void Tick() {
    const TGap gap{FLast, std::chrono::steady_clock::now()};
    FLast = gap.End;
    if (Ms(gap) > 5 && FGaps.size() < 1000000) FGaps.push_back(gap);  // the short ones never matter
  }
  QTimer FTimer;
  TTime FLast;
  std::vector<TGap> FGaps;
};

}  // namespace bench
