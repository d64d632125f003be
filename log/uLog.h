// Public. The traffic log window, `Log`: one window that every relay handler writes to.
//
// A writer sets EntryColor and EntryTitle, then calls AddEntry with the body. AddEntry changes
// neither, so a writer sets the title before each entry and the colour whenever it may differ.
// Entries are separated by one empty line; each is a header line (date, time, title) and the body
// as one line of printable text or, while Debugstring1 is checked, as a hex dump.
//
// The entries go to the traffic record, Record(), as raw bytes with the display mode of the moment;
// the view LogWnd draws them from there, only the lines in sight. An entry costs a copy of its body
// and constant bookkeeping, however large the log grows.
//
// The window starts hidden and shows itself at the next entry; closing it only hides it. Its
// PopupMenu is also the main window's context menu. The check states live in the menu items only:
// LineMode1's check is what a new session takes.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

#include "record/EntrySink.h"
#include "record/TrafficRecord.h"
#include "record/TrafficWriter.h"
#include "platform/gui/Colors.h"
#include "stream/FaultSpec.h"
#include "stream/InterceptStage.h"

class QAction;
class QMenu;
class QPoint;
class TInterceptPanel;
class TLogView;
class TSearchBar;
class TSendBar;
class TSessionsPanel;

class TLog : public QWidget, public TEntrySink {
public:
  explicit TLog(QWidget* Parent = nullptr);
  ~TLog() override;

  // The controls, under their form names (which are also their Qt object names).
  TLogView* LogWnd = nullptr;
  QMenu* PopupMenu = nullptr;
  QAction* Copy1 = nullptr;
  QAction* Clear1 = nullptr;
  QAction* Refresh1 = nullptr;
  QAction* LineMode1 = nullptr;
  QAction* Debugstring1 = nullptr;
  QAction* Wordwrap1 = nullptr;
  QAction* SaveAs1 = nullptr;  // after the others, separated; Ctrl+S (uSave.cpp)
  QAction* Tls1 = nullptr;     // "TLS...", beside Save As: raises OnTlsSettings
  QAction* Faults1 = nullptr;  // after SaveAs1: the faults dialog (uFaults.cpp)
  QAction* Intercept1 = nullptr;  // after Faults1: a check item, Intercept on or off (uIntercept.cpp)

  // The sessions list with its filter above the view, and the search bar below it (uLogTools.cpp):
  // both hidden until opened, so that the window shows the log alone until asked. Their commands are
  // actions of the window, outside PopupMenu: Sessions1 is a check item (Ctrl+L), Find1 opens the
  // search bar (Ctrl+F), FindNext1 and FindPrevious1 step through the matches (F3, Shift+F3).
  TSessionsPanel* SessionsPanel = nullptr;
  TSearchBar* SearchBar = nullptr;
  QAction* Sessions1 = nullptr;
  QAction* Find1 = nullptr;
  QAction* FindNext1 = nullptr;
  QAction* FindPrevious1 = nullptr;
  // The send bar below the search bar (uSendBar.h), hidden until Send1 opens it (Ctrl+E); it
  // sends to the sessions selected in the sessions list through OnSend.
  TSendBar* SendBar = nullptr;
  QAction* Send1 = nullptr;
  // The intercept panel below the view (uIntercept.h): shown while Intercept1 is checked or
  // chunks are still listed.
  TInterceptPanel* InterceptPanel = nullptr;
  // The view's own context menu: PopupMenu's items, then "Resend" for the entries under the
  // selection (or the one clicked), through OnResend; its report shows in the send bar.
  QMenu* EntryMenu = nullptr;
  QAction* Resend1 = nullptr;

  TColor EntryColor() const noexcept { return FEntryColor; }
  void SetEntryColor(TColor Value) noexcept override { FEntryColor = Value; }
  const std::string& EntryTitle() const noexcept { return FEntryTitle; }
  void SetEntryTitle(const std::string& Value) override { FEntryTitle = Value; }

  // Appends one entry built from EntryTitle, EntryColor and Body (any bytes; may be empty), in
  // hex mode while Debugstring1 is checked. Without a source it belongs to no session.
  void AddEntry(const std::string& Body) override;
  void AddEntry(const std::string& Body, const TEntrySource& Source) override;
  // Keeps the session's facts in the record.
  void SessionChanged(const TSessionInfo& Info) override;

  // Everything the log has received since the last Clear.
  TTrafficRecord& Record() noexcept { return FRecord; }
  const TTrafficRecord& Record() const noexcept { return FRecord; }

  // Handlers. A menu item runs its handler when chosen; calling one directly has the same effect,
  // toggling the item's check included.
  void FormCreate(QObject* Sender);
  void Copy1Click(QObject* Sender);
  void Clear1Click(QObject* Sender);
  void Refresh1Click(QObject* Sender);
  void LineMode1Click(QObject* Sender);
  void Debugstring1Click(QObject* Sender);
  void Wordwrap1Click(QObject* Sender);
  void Sessions1Click(QObject* Sender);
  void Find1Click(QObject* Sender);
  void Send1Click(QObject* Sender);
  void Resend1Click(QObject* Sender);
  // The entries a right-click at At (in the viewport) acts on: those the selection touches, or
  // the one under At; record indexes, ascending.
  std::vector<std::uint64_t> EntriesAt(const QPoint& At) const;
  // The entries Resend1 acts on, as the last right-click chose them.
  std::vector<std::uint64_t> ResendEntries;
  // Asks for a name and a format (SaveChoiceFor makes the two one), then saves with SaveTo. A
  // file that is already there is replaced only when the user agrees.
  void SaveAs1Click(QObject* Sender);
  // Saves the whole log to Path as Format on a worker thread, showing progress that can be
  // cancelled; a failure goes to the error box. The application quitting meanwhile (the main
  // window closed) cancels it too, so that the program ends at once. Nothing is left under Path
  // unless it succeeds. True when saved.
  bool SaveTo(const QString& Path, TSaveFormat Format);

  // Raised by LineMode1Click once the check has changed, with the new state. The log knows no
  // sockets: the owner of the listening server binds this to switch every current session (the
  // client and its remote socket) to that state.
  std::function<void(QObject* Sender, bool LineMode)> OnLineModeChange;
  // Raised by Tls1Click. The log knows no sockets either: the owner of the relay shows its TLS
  // settings, which apply from the next "Listen".
  std::function<void(QObject* Sender)> OnTlsSettings;
  void Tls1Click(QObject* Sender);
  // The faults as the dialog last accepted them (or as set from the command line), and the event
  // raised when the dialog is accepted: the owner hands them to the relay.
  const TFaultSet& Faults() const noexcept { return FFaults; }
  void SetFaults(const TFaultSet& Value);
  void Faults1Click(QObject* Sender);
  std::function<void(QObject* Sender, const TFaultSet& Faults)> OnFaultsChange;
  // Intercept: Intercept1 switches it, the panel says which chunks it holds; the settings as
  // last handed on, and the event that hands them to the owner of the relay. The panel's
  // decisions go through OnInterceptDecide and OnInterceptForwardAll; the owner tells of chunks
  // held and gone through ChunkHeld and ChunkLeft.
  const TInterceptSettings& Intercept() const noexcept { return FIntercept; }
  void Intercept1Click(QObject* Sender);
  std::function<void(QObject* Sender, const TInterceptSettings& Settings)> OnInterceptChange;
  std::function<bool(std::uint64_t Number, TInterceptAction How, const std::string& Edited, std::string& Error)>
      OnInterceptDecide;
  std::function<void()> OnInterceptForwardAll;
  void ChunkHeld(const TInterceptedChunk& Chunk);
  void ChunkLeft(std::uint64_t Number, TInterceptAction How);
  // Sends Bytes into session Id the way Way (edFromLocal: to the remote side; edFromRemote: to the
  // local client): the owner of the relay binds it to the engine. False, and Error in one line,
  // when the session does not take them; unbound, nothing can be sent.
  std::function<bool(std::uint64_t Id, TEntryDirection Way, const std::string& Bytes, std::string& Error)> OnSend;
  // Sends the bytes of the entries (record indexes) again; false and Report when nothing went.
  std::function<bool(const std::vector<std::uint64_t>& Entries, std::string& Report)> OnResend;
  // Replays the sessions Ids (the sessions list's "Replay"); false and Report when refused.
  std::function<bool(const std::vector<std::uint64_t>& Ids, std::string& Report)> OnReplay;

private:
  void CreateView();
  void CreateMenu();
  void CreateSaveItem();
  void CreateFaultsItem();
  void CreateInterceptItem();
  // Hands the panel's settings on, with Intercept1's check; false when the match does not parse.
  bool ApplyIntercept();
  QAction* AddItem(const char* Name, const char* Caption, bool Checkable, bool Checked,
                   void (TLog::*Handler)(QObject*));
  // Writes the record's report of bodies it could not keep as an entry of its own.
  void ReportLoss();
  // The sessions list and the search bar: made after the view, gone before it and the record;
  // told of new entries, of sessions' changes and of a Clear.
  void CreateTools();
  void DestroyTools();
  void ToolsEntriesAdded();
  void ToolsSessionChanged(std::uint64_t Id);
  void ToolsCleared();

  TTrafficRecord FRecord;
  TFaultSet FFaults;
  TInterceptSettings FIntercept;
  TColor FEntryColor = clBlack;
  std::string FEntryTitle;
  // The record reports a loss from inside Add; the entry that says so is added once Add returns.
  std::string FLoss;
  bool FLossPending = false;
};

// What "Save As..." saves: the final name and its format.
struct TSaveChoice {
  QString Path;
  TSaveFormat Format = sfLogText;
};
// The choice for the name the dialog returns (Path) while Filter's format is selected. The name
// decides when it can, as a path given to --save does (SaveFormatOf): ".pcapng" a capture,
// ".txt" log text, a folder (or a name ending in "/") raw streams, whatever the filter. Any other
// name takes the filter's format and, for a file, its extension: "capture" with the capture
// filter is "capture.pcapng", "notes.v2" with the text filter "notes.v2.txt", "dump" with the
// raw streams filter the folder "dump".
TSaveChoice SaveChoiceFor(const QString& Path, TSaveFormat Filter);

// The program's log window. The main block creates it after the main window; TLog's destructor
// resets it when it points at the window being destroyed.
extern TLog* Log;
