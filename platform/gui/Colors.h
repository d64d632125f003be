// Public. The program's colour value (platform/Colors.h) and its mapping to Qt.
#pragma once

#include <QColor>

#include "platform/Colors.h"

namespace platform::gui {

inline QColor ToQColor(TColor Color) {
  return QColor(static_cast<int>(Color & 0xFF), static_cast<int>((Color >> 8) & 0xFF),
                static_cast<int>((Color >> 16) & 0xFF));
}

}  // namespace platform::gui
