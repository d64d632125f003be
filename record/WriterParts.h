// The parts the savers share, apart from the public TrafficWriter.h.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "record/OutFile.h"
#include "record/TrafficWriter.h"

// A writer of one file: in place, or staged under a temporary name in the same folder and renamed
// over the chosen name by Commit.
class TSingleFileWriter : public TTrafficWriter {
public:
  TSingleFileWriter(const std::string& Path, bool Staged);
  ~TSingleFileWriter() override;

  bool Flush() override;
  bool Close() override;
  bool Commit() override;
  void Discard() override;

protected:
  void Write(std::string_view Data) { FFile.Write(Data); }
  // Called by Flush and Close before the buffer goes out; the file's own error becomes the writer's.
  bool CheckFile();

  TOutFile FFile;

private:
  std::string FPath;
  bool FStaged;
  bool FCommitted = false;
};

// The sessions that have ended, as ranges of their numbers: a writer frees a session's state at
// its end and still knows to add nothing for it when its facts come again. Numbers rise with each
// session and most sessions end about in the order they began, so the ranges are about as many as
// the sessions open at once, not as the sessions seen.
class TEndedSessions {
public:
  void Add(std::uint64_t Id);
  bool Contains(std::uint64_t Id) const;
  // How many ranges are kept: the set's whole cost.
  std::size_t Ranges() const noexcept { return FRanges.size(); }

private:
  std::map<std::uint64_t, std::uint64_t> FRanges;  // first -> last; disjoint, never adjacent
};

std::unique_ptr<TTrafficWriter> MakeStreamFilesWriter(const std::string& Folder, bool Staged);
std::unique_ptr<TTrafficWriter> MakeCaptureWriter(const std::string& Path, bool Staged);
