// Public. The program's colour value and its mapping to Qt.
//
// A TColor is 32 bits: red in the low byte, green in the next, blue in the third, 0 in the top
// byte; 0 is black. The top byte is ignored.
#pragma once

#include <QColor>

#include <cstdint>

using TColor = std::uint32_t;

constexpr TColor clBlack = 0x00000000;

namespace platform::gui {

inline QColor ToQColor(TColor Color) {
  return QColor(static_cast<int>(Color & 0xFF), static_cast<int>((Color >> 8) & 0xFF),
                static_cast<int>((Color >> 16) & 0xFF));
}

}  // namespace platform::gui
