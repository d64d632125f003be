// Public. The headless mode: the relay engine on the program's own message loop, with no window,
// no display and no Qt GUI library; every entry goes to standard output as the log shows it.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "relay/CommandLine.h"
#include "record/EntrySink.h"
#include "record/LogText.h"

// Writes entries as text, as the log window shows them: the header line (date, time, title), the
// body as one line of printable text or as a hex dump, one empty line between entries (none after
// an entry whose last line is already empty). Characters are the log's Windows-1252 display,
// encoded in UTF-8. With Color, each entry is written in its colour with ANSI escapes (black
// stays the terminal's own colour).
//
// When a write to Out fails (a reader of the pipe that has gone, a full disk), the sink stops
// writing entries and reports it once through OnFailure with the system's reason; the relay that
// feeds it goes on.
class THeadlessSink : public TEntrySink {
public:
  THeadlessSink(std::FILE* Out, bool Hex, bool Color, bool FlushEachEntry);

  void SetEntryColor(TColor Value) override { FEntryColor = Value; }
  void SetEntryTitle(const std::string& Value) override { FEntryTitle = Value; }
  void AddEntry(const std::string& Body) override;
  void AddEntry(const std::string& Body, const TEntrySource& Source) override;

  // The entry as written (without the colour escapes), for a given time: what AddEntry writes.
  std::string EntryText(const std::string& Body, std::int64_t TimeUs);

  // Hands what is buffered to the system (nothing once writing has stopped).
  void Flush();
  // Writing has failed and stopped; Errno is the failed write's error (0 when unknown).
  bool Stopped() const noexcept { return FStopped; }
  int Errno() const noexcept { return FErrno; }

  std::function<void(const std::string& Reason)> OnFailure;

private:
  void AppendEntry(const std::string& Body, std::int64_t TimeUs, std::string& Out);
  // After a write: a failure stops the writing and is reported.
  void Check();

  std::FILE* FOut;
  bool FHex;
  bool FColor;
  bool FFlush;
  TLogText FText;
  TColor FEntryColor = clBlack;
  std::string FEntryTitle;
  std::string FBuffer;
  bool FStopped = false;
  int FErrno = 0;
};

// Runs the relay headless until SIGINT or SIGTERM has closed every session; returns the exit
// status: 0 after a signal; 1 when listening fails, when --save failed at any point, or when
// writing the entries to standard output failed for any other reason than a reader that has gone
// (the message goes to standard error). SIGPIPE and SIGXFSZ are ignored: a closed pipe or a file at
// its size limit stops only that writing, never the relay.
int RunHeadless(const TCommandLine& Options);
