// Internal to the traffic record. The unlinked temporary file that holds the bodies the record
// has moved out of memory: made when first written, never visible in any directory, gone with
// the process.
//
// One writer (the record's writer thread) writes, creates and truncates; any thread may read at
// the same time. The descriptor, once open, stays open until the object is destroyed, so a reader
// that read it can never reach a descriptor that was closed and reused for something else.
// Nothing here throws: failures come back as a count of bytes written and a text that says why.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

class TSpillFile {
public:
  // Directory: where the file is made; empty: $TMPDIR, else /tmp.
  explicit TSpillFile(const std::string& Directory);
  ~TSpillFile();
  TSpillFile(const TSpillFile&) = delete;
  TSpillFile& operator=(const TSpillFile&) = delete;

  // The writer: writes Length bytes at Position, creating the file first if there is none yet
  // (a creation that failed is tried again on the next write). Returns the bytes written from the
  // start of Data; when that is less than Length, Error says what failed and why.
  std::size_t Write(std::uint64_t Position, const char* Data, std::size_t Length, std::string& Error);
  // The writer: gives all the file's space back; the descriptor stays open.
  void Truncate();

  // Any thread: reads exactly Length bytes at Position; false on an error or a short file.
  bool Read(std::uint64_t Position, char* Data, std::size_t Length) const;

  const std::string& Directory() const { return FDirectory; }
  // The descriptor, -1 while there is no file.
  int Handle() const { return FFd.load(std::memory_order_acquire); }

private:
  bool Create(std::string& Error);

  std::string FDirectory;
  std::atomic<int> FFd{-1};
};
