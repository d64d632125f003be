// Public. The traffic log window, `Log`: one window that every relay handler writes to.
//
// A writer sets EntryColor and EntryTitle, then calls AddEntry with the body. AddEntry changes
// neither, so a writer sets the title before each entry and the colour whenever it may differ.
// Entries are separated by one empty line; each is a header line (date, time, title) and the body
// as one line of printable text or, while Debugstring1 is checked, as a hex dump.
//
// The window starts hidden and shows itself at the next entry; closing it only hides it. Its
// PopupMenu is also the main window's context menu. The check states live in the menu items only:
// LineMode1's check is what a new session takes.
#pragma once

#include <QWidget>

#include <functional>
#include <string>

#include "platform/gui/Colors.h"

class QAction;
class QMenu;
class QPlainTextEdit;
class QTimer;

class TLog : public QWidget {
public:
  explicit TLog(QWidget* Parent = nullptr);
  ~TLog() override;

  // The controls, under their form names (which are also their Qt object names).
  QPlainTextEdit* LogWnd = nullptr;
  QMenu* PopupMenu = nullptr;
  QAction* Copy1 = nullptr;
  QAction* Clear1 = nullptr;
  QAction* Refresh1 = nullptr;
  QAction* LineMode1 = nullptr;
  QAction* Debugstring1 = nullptr;
  QAction* Wordwrap1 = nullptr;

  TColor EntryColor() const noexcept { return FEntryColor; }
  void SetEntryColor(TColor Value) noexcept { FEntryColor = Value; }
  const std::string& EntryTitle() const noexcept { return FEntryTitle; }
  void SetEntryTitle(const std::string& Value) { FEntryTitle = Value; }

  // Appends one entry built from EntryTitle, EntryColor and Body (any bytes; may be empty).
  void AddEntry(const std::string& Body);

  // Handlers. A menu item runs its handler when chosen; calling one directly has the same effect,
  // toggling the item's check included.
  void FormCreate(QObject* Sender);
  void Copy1Click(QObject* Sender);
  void Clear1Click(QObject* Sender);
  void Refresh1Click(QObject* Sender);
  void LineMode1Click(QObject* Sender);
  void Debugstring1Click(QObject* Sender);
  void Wordwrap1Click(QObject* Sender);

  // Raised by LineMode1Click once the check has changed, with the new state. The log knows no
  // sockets: the owner of the listening server binds this to switch every current session (the
  // client and its remote socket) to that state.
  std::function<void(QObject* Sender, bool LineMode)> OnLineModeChange;

private:
  void CreateView();
  void CreateMenu();
  QAction* AddItem(const char* Name, const char* Caption, bool Checkable, bool Checked,
                   void (TLog::*Handler)(QObject*));
  void ScrollToCaret();

  // Redrawing is suspended while entries are added and resumed once this timer runs out, so that
  // a burst of entries is drawn once rather than once each.
  void SuspendRedraw();
  QTimer* FRedrawTimer = nullptr;

  TColor FEntryColor = clBlack;
  std::string FEntryTitle;
};

// The program's log window. The main block creates it after the main window; TLog's destructor
// resets it when it points at the window being destroyed.
extern TLog* Log;
