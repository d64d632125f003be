// AddEntry: one entry appended at the end of the view, drawn once, without moving the user's caret
// unless Refresh1 asks the view to follow the newest entry.
#include <QAction>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include "log/AnsiText.h"
#include "log/LogFormat.h"
#include "log/uLog.h"
#include "log/DateTimeText.h"

namespace {

// How long redrawing waits after an entry: entries that come faster are drawn together, so a fast
// session costs one repaint per interval instead of one per entry, and the windows keep up.
constexpr int kRedrawIntervalMs = 30;

}  // namespace

void TLog::SuspendRedraw() {
  if (FRedrawTimer == nullptr) {
    FRedrawTimer = new QTimer(this);
    FRedrawTimer->setSingleShot(true);
    FRedrawTimer->setInterval(kRedrawIntervalMs);
    connect(FRedrawTimer, &QTimer::timeout, this, [this] { LogWnd->setUpdatesEnabled(true); });
  }
  LogWnd->setUpdatesEnabled(false);
  if (!FRedrawTimer->isActive()) FRedrawTimer->start();
}

void TLog::AddEntry(const std::string& Body) {
  if (isHidden()) {
    show();
    raise();
  }
  QTextDocument* doc = LogWnd->document();
  const int caret = LogWnd->textCursor().selectionStart();
  {
    SuspendRedraw();
    // An empty document is one empty block, and no entry leaves that state behind: every entry
    // starts with a header that is never empty. So "no lines yet" and "an empty last line" differ.
    const bool empty = doc->isEmpty();
    QStringList lines;
    if (!empty && !doc->lastBlock().text().isEmpty()) lines << QString();
    // The title goes through PrintableText too: a line break in it would split the header line.
    lines << NowText() + u' ' + AnsiText(PrintableText(FEntryTitle));
    if (Debugstring1->isChecked()) {
      for (const std::string& line : HexDumpLines(Body)) lines << AnsiText(line);
    } else {
      lines << AnsiText(PrintableText(Body));  // an empty line for an empty body
    }
    QTextCharFormat format;
    format.setForeground(platform::gui::ToQColor(FEntryColor));
    QTextCursor end(doc);
    end.movePosition(QTextCursor::End);
    // insertText turns each "\n" into a new block, so the whole entry is one insertion.
    end.insertText((empty ? QString() : QStringLiteral("\n")) + lines.join(u'\n'), format);

    QTextCursor back(doc);
    back.setPosition(caret);
    LogWnd->setTextCursor(back);
    ScrollToCaret();
  }
  if (Refresh1->isChecked()) {
    LogWnd->moveCursor(QTextCursor::End);
    ScrollToCaret();
  }
}
