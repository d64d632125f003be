// Public. The desktop clipboard, as plain text.
#pragma once

#include <QString>

namespace platform::gui {

void SetClipboardText(const QString& Text);
QString ClipboardText();

}  // namespace platform::gui
