// Public. What the relay writes to: entries (a title, a colour and a body) and the facts of each
// session (record/SessionFacts.h). The log window implements it over the traffic
// record; the headless mode implements it over standard output. No toolkit here.
//
// A writer sets the colour and the title, then adds the entry; AddEntry changes neither, so a
// writer sets the title before each entry and the colour whenever it may differ from the last.
// Everything is called from the loop thread, one call at a time.
#pragma once

#include <string>

#include "platform/Colors.h"
#include "record/SessionFacts.h"

class TEntrySink {
public:
  virtual ~TEntrySink() = default;

  virtual void SetEntryColor(TColor Value) = 0;
  virtual void SetEntryTitle(const std::string& Value) = 0;
  // Appends one entry built from the title, the colour and Body (any bytes; may be empty).
  virtual void AddEntry(const std::string& Body) = 0;
  // The same, for an entry of a session: which session, which way, where in the stream.
  virtual void AddEntry(const std::string& Body, const TEntrySource& Source) = 0;
  // A session's facts changed: it began, its state moved, its remote address became known.
  virtual void SessionChanged(const TSessionInfo& Info) { (void)Info; }
};
