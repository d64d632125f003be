// Public. The log as text, entry by entry: the very text that "&Copy" puts on the clipboard, in
// UTF-8. The log view's copy and the saved text file are both built here, so that they cannot
// drift apart. Qt Core only.
//
// Entries are joined by a line end; between two entries goes one empty line, except after a text
// entry with an empty body (whose empty body line already separates them). The text ends with the
// last entry's last line, without a line end. Each entry is its header line (date, time, title),
// then its body: one line of printable text, or a hex dump of sixteen bytes a line (no lines for an
// empty body). A body the record could not keep shows as "(not kept)", in a hex entry once for each
// line it would have had, after that line's offset.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "record/TrafficRecord.h"

class TLogText {
public:
  // Appends entry E, titled Title, to Out. Body: its bytes, or null when the record did not keep
  // them. Entries must come in the order the text lists them.
  void Append(const TRecordEntry& E, std::string_view Title, const std::string* Body, std::string& Out);
  // The same entry for a stream written one entry at a time (standard output): the entry's last
  // line ends with its line end, and what separates it from the next entry goes before that one.
  // Concatenated, these are the text that Append builds, with a line end after the last entry.
  void AppendLine(const TRecordEntry& E, std::string_view Title, const std::string* Body, std::string& Out);
  // The next entry is the first again.
  void Reset();

private:
  bool FAny = false;
  bool FLastEndsEmpty = true;
  std::int64_t FDateSecond = -1;  // the second that FDateText shows
  std::string FDateText;
  std::string FLines;
};

// The whole record as TLogText writes it.
std::string RecordText(const TTrafficRecord& Record);
