// The clipboard through Qt's; needs a QGuiApplication.
#include "platform/gui/Clipboard.h"

#include <QClipboard>
#include <QGuiApplication>

namespace platform::gui {

void SetClipboardText(const QString& Text) { QGuiApplication::clipboard()->setText(Text); }

QString ClipboardText() { return QGuiApplication::clipboard()->text(); }

}  // namespace platform::gui
