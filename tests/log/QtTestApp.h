// Test helpers for the windows: the one QApplication of the test program (created before the first
// test, on the offscreen platform unless another is chosen) and a bounded Qt pump.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>

#include <QString>

// Runs Qt's loop until Done() holds or Limit has passed; returns Done().
bool PumpQtUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit = std::chrono::seconds(5));

// Failure messages show a QString as text, not as bytes.
inline void PrintTo(const QString& Text, std::ostream* Out) { *Out << '"' << Text.toStdString() << '"'; }
