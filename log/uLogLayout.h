// Public. The lines of the log view, worked out from the traffic record by arithmetic: which entry
// and which part of it each line shows, without formatting or measuring anything.
//
// With a fixed-pitch font every line is one line high, so the layout is a count of lines per
// entry. Entries run one after another, each one made of
//
//   (empty)                         separator: only when the line before it is not empty
//   12/05/2025 10:00:01 From Local  header: date, time and title
//   GET / HTTP/1.0..Host: x....     body, text mode: one line (an empty one for an empty body),
//                                   or ceil(n / W) lines of W characters while wrapping at W
//   0000 47 45 54 20 ...            body, hex mode: ceil(n / 16) lines, none for an empty body
//
// The first entry has no separator, and neither has an entry that follows a text entry with an
// empty body (whose last line is that empty body line). Only text bodies wrap.
//
// The index keeps, for every visible entry k, the number of its first line (separator included):
//
//   FStart:  0     2     5     9 ...  LineCount
//            |e0   |e1   |e2   |
//
// Appending an entry pushes one number; the lines before it never change, so a view can keep its
// selection and its place while entries arrive. Only a change of the wrap width or of the set of
// visible entries renumbers, and that rebuilds the index in one pass over the entries' headers.
//
// A filter is a list of record indexes, ascending: the view then shows only those entries, laid
// out as if the others were not there (the separator rule looks at the previous visible entry).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "record/TrafficRecord.h"

enum TLineKind : std::uint8_t {
  lkSeparator = 0,  // the empty line between two entries
  lkHeader = 1,
  lkBody = 2,
};

// Where a line comes from.
struct TLinePlace {
  std::uint64_t Visible = 0;  // the entry's position among the visible entries
  std::uint64_t Entry = 0;    // its index in the record
  TLineKind Kind = lkHeader;
  std::uint64_t BodyLine = 0;  // lkBody: which line of the body, from 0
};

class TLogLayout {
public:
  explicit TLogLayout(const TTrafficRecord& Record);

  // Takes up what the record has got since the last call: new entries are appended; after the
  // record was cleared the layout starts again from its first entry. True when the lines changed.
  // A filtered layout takes no new entries (AppendVisibleEntries does).
  bool CatchUp();
  // Forgets every line; the next CatchUp starts from the record's first entry.
  void Reset();

  // 0: no wrap. Otherwise text bodies are cut every Columns characters.
  void SetWrapColumns(std::uint64_t Columns);
  std::uint64_t WrapColumns() const noexcept { return FWrap; }

  // Shows only the listed record indexes (ascending, each below the record's count; others are
  // dropped), or every entry again for nullopt.
  void SetVisibleEntries(std::optional<std::vector<std::uint64_t>> Entries);
  // Appends indexes to a filter (ascending, after its last one); nothing for an unfiltered layout.
  void AppendVisibleEntries(const std::vector<std::uint64_t>& Entries);
  bool Filtered() const noexcept { return FFiltered; }

  std::uint64_t LineCount() const noexcept { return FStart.back(); }
  std::uint64_t VisibleCount() const noexcept { return FStart.size() - 1; }
  // Record index of visible entry Visible.
  std::uint64_t EntryAt(std::uint64_t Visible) const { return FFiltered ? FEntries[Visible] : Visible; }
  // Position of record entry Index among the visible ones, or of the first visible one after it
  // (VisibleCount() when none follows).
  std::uint64_t VisibleOf(std::uint64_t Index) const;
  // First line of visible entry Visible (its separator, if it has one) and its header line.
  std::uint64_t FirstLine(std::uint64_t Visible) const { return FStart[Visible]; }
  std::uint64_t HeaderLine(std::uint64_t Visible) const;
  // Where line Line (below LineCount()) comes from. Reads the record's entry header.
  TLinePlace Place(std::uint64_t Line) const;

  // Length of the longest line in characters, kept up to date as entries arrive. Header lengths
  // are taken as SetDateTimeWidth + 1 + the title's length, so it may exceed the true one by a
  // few characters, never fall short of it.
  std::uint64_t LongestLine() const noexcept;
  // The most characters a header's date and time take in the current locale.
  void SetDateTimeWidth(std::uint64_t Width);

  // Body lines of an entry as laid out now, and the bytes that body line Line shows: its first
  // byte and how many.
  std::uint64_t BodyLines(const TRecordEntry& E) const noexcept;
  std::pair<std::uint64_t, std::uint64_t> BodyLineBytes(const TRecordEntry& E, std::uint64_t Line) const noexcept;

private:
  // Appends one visible entry to the index.
  void Push(std::uint64_t Index, const TRecordEntry& E);
  void Rebuild();
  std::uint64_t TitleLength(std::uint32_t Title);

  const TTrafficRecord& FRecord;
  std::uint64_t FGeneration = 0;
  std::uint64_t FTaken = 0;  // record entries looked at so far
  std::uint64_t FWrap = 0;
  bool FFiltered = false;
  std::vector<std::uint64_t> FEntries;  // filtered: the visible record indexes
  std::vector<std::uint64_t> FStart{0};
  bool FLastEndsEmpty = true;  // the last line is empty, or there is none: no separator next
  std::uint64_t FDateTimeWidth = 0;
  std::vector<std::uint64_t> FTitleLengths;  // by title number; ~0: not asked yet
  std::uint64_t FLongestFixed = 0;  // headers and hex lines
  std::uint64_t FLongestText = 0;   // text bodies, unwrapped
};
