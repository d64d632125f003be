// Public. The traffic record: every entry the log has received, as raw bytes with its metadata,
// apart from any view of it. Views, search, filters and saving all read this one store; display
// text is built only for what is shown.
//
// One writer (the loop thread) adds entries; any number of reader threads may read at the same
// time. The writer never waits on a reader for longer than one reader call.
//
// Bodies live in memory up to a budget; beyond it the oldest bodies move to an unlinked temporary
// file and are read back from there when asked for. Entry headers always stay in memory. When the
// file cannot be written (a full disk, a file-size limit), the bodies that could not be kept are
// marked lost (BodyKept false, BodyLength still their length): headers are never lost, and nothing
// here ever blocks or fails the writer. OnBodiesLost says so, once for each run of failures.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "record/SessionFacts.h"

// How the log showed an entry's body when it was added.
enum TEntryMode : std::uint8_t {
  emText = 0,  // one line of printable text
  emHex = 1,   // a hex dump, sixteen bytes a line
};

struct TRecordEntry {
  std::uint64_t Sequence = 0;  // 1, 2, ... in the order added; starts again at 1 after Clear
  std::int64_t TimeUs = 0;     // wall clock when added, microseconds since the Unix epoch
  std::uint32_t Title = 0;     // index into the record's title table: TitleText(Title)
  TColor Color = clBlack;
  TEntryMode Mode = emText;
  TEntryDirection Direction = edNone;
  bool BodyKept = true;  // false: the body could not be kept
  std::uint64_t Session = 0;
  std::uint64_t Offset = 0;  // of the body's first byte in its direction's stream
  std::uint64_t BodyLength = 0;
};

class TTrafficRecord {
public:
  static constexpr std::uint64_t kDefaultMemoryBudget = std::uint64_t{64} << 20;

  // SpillDirectory: where the temporary file is made (empty: $TMPDIR, else /tmp). The file is
  // created when first needed and unlinked at once.
  explicit TTrafficRecord(std::uint64_t MemoryBudget = kDefaultMemoryBudget, std::string SpillDirectory = {});
  ~TTrafficRecord();
  TTrafficRecord(const TTrafficRecord&) = delete;
  TTrafficRecord& operator=(const TTrafficRecord&) = delete;

  // ---- the writer: the loop thread only ----

  // Appends an entry; returns its index (0-based, Sequence - 1). The time is taken here.
  std::uint64_t Add(const std::string& Title, TColor Color, TEntryMode Mode, const TEntrySource& Source,
                    std::string_view Body);
  // The same with a given time, for tests and for replaying.
  std::uint64_t Add(const std::string& Title, TColor Color, TEntryMode Mode, const TEntrySource& Source,
                    std::string_view Body, std::int64_t TimeUs);
  // Stores the latest facts of a session (by Id). The byte counts are the record's own, from the
  // entries of that session; those of Info are ignored.
  void SetSession(const TSessionInfo& Info);
  // Empties the record and gives its memory and its file space back. Readers that were in the
  // middle of something see Generation() change and start again. Sessions that are still open (by
  // their last SetSession) stay listed, with their byte counts, so that a live session does not
  // vanish from a list until its next change; ended ones and those never set are dropped.
  void Clear();

  // Raised on the writer's thread, inside Add, when bodies could not be kept, once for each run of
  // failures (again only after a write has succeeded in between). Message says what was lost and why.
  std::function<void(const std::string& Message)> OnBodiesLost;

  // ---- readers: any thread ----

  // Entries added so far; an index below it stays valid until the next Clear.
  std::uint64_t Count() const;
  // False when Index is not below Count() (after a Clear, say).
  bool Entry(std::uint64_t Index, TRecordEntry& Out) const;
  std::string TitleText(std::uint32_t Title) const;
  // Length bytes of entry Index's body from position From on (cut to the body's end), appended to
  // Out. False when the entry does not exist or its body was not kept.
  bool ReadBody(std::uint64_t Index, std::uint64_t From, std::uint64_t Length, std::string& Out) const;
  // Bumped by every Clear.
  std::uint64_t Generation() const;
  // Every session seen, in the order of their numbers, with the record's byte counts.
  std::vector<TSessionInfo> Sessions() const;
  bool Session(std::uint64_t Id, TSessionInfo& Out) const;

  // ---- figures ----
  std::uint64_t MemoryBudget() const;
  std::uint64_t BodyBytes() const;     // all bodies added since the last Clear, kept or not
  std::uint64_t MemoryBytes() const;   // body bytes held in memory now
  std::uint64_t SpilledBytes() const;  // body bytes in the temporary file now
  std::uint64_t LostBytes() const;     // body bytes that could not be written to the file
  std::uint64_t BlockSize() const;     // bodies are stored across memory blocks of this many bytes

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};
