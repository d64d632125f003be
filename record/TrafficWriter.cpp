// Choosing a format, the log text writer, saving a whole record, and saving as entries come.
#include "record/TrafficWriter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <vector>

#include "record/LogText.h"
#include "record/WriterParts.h"

namespace {

bool EndsWith(const std::string& Text, std::string_view Tail) {
  if (Text.size() < Tail.size()) return false;
  return std::equal(Tail.rbegin(), Tail.rend(), Text.rbegin(),
                    [](char A, char B) { return A == static_cast<char>(std::tolower(static_cast<unsigned char>(B))); });
}

bool IsFolder(const std::string& Path) {
  struct stat st{};
  return ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The log text: TLogText's, entry by entry.
class TLogTextWriter : public TSingleFileWriter {
public:
  using TSingleFileWriter::TSingleFileWriter;
  void Entry(const TRecordEntry& E, std::string_view Title, const std::string* Body) override {
    FChunk.clear();
    FText.Append(E, Title, Body, FChunk);
    Write(FChunk);
  }

private:
  TLogText FText;
  std::string FChunk;
};

}  // namespace

std::optional<TSaveFormat> SaveFormatOf(const std::string& Path) {
  if (Path.empty()) return std::nullopt;
  if (Path.back() == '/' || IsFolder(Path)) return sfRawStreams;
  if (EndsWith(Path, ".pcapng")) return sfCapture;
  if (EndsWith(Path, ".txt")) return sfLogText;
  return std::nullopt;
}

// ---- the sessions that have ended ----

void TEndedSessions::Add(std::uint64_t Id) {
  if (Contains(Id)) return;
  std::uint64_t first = Id, last = Id;
  auto next = FRanges.upper_bound(Id);
  if (next != FRanges.begin()) {
    auto before = std::prev(next);
    if (before->second + 1 == Id) {
      first = before->first;
      FRanges.erase(before);
    }
  }
  if (next != FRanges.end() && next->first == Id + 1) {
    last = next->second;
    FRanges.erase(next);
  }
  FRanges.emplace(first, last);
}

bool TEndedSessions::Contains(std::uint64_t Id) const {
  auto next = FRanges.upper_bound(Id);
  return next != FRanges.begin() && Id <= std::prev(next)->second;
}

// ---- one file ----

TSingleFileWriter::TSingleFileWriter(const std::string& Path, bool Staged) : FPath(Path), FStaged(Staged) {
  // A folder under the chosen name: fail at once rather than after writing everything.
  if (IsFolder(Path)) {
    Fail(Path + ": " + std::strerror(EISDIR));
    return;
  }
  if (Staged) {
    // A few tries: a name left by another save of the same process is not ours to overwrite.
    for (int attempt = 0; attempt < 8 && !FFile.IsOpen(); ++attempt)
      if (!FFile.Open(TemporaryNameFor(Path), true) && errno != EEXIST) break;
  } else {
    FFile.Open(Path);
  }
  if (!FFile.IsOpen()) Fail(FFile.Failed() ? FFile.Error() : Path + ": cannot create a file");
}

TSingleFileWriter::~TSingleFileWriter() {
  if (!FCommitted) Discard();
}

bool TSingleFileWriter::CheckFile() {
  if (FFile.Failed()) Fail(FFile.Error());
  return !Failed();
}

bool TSingleFileWriter::Flush() {
  FFile.Flush();
  return CheckFile();
}

bool TSingleFileWriter::Close() {
  FFile.Close();
  return CheckFile();
}

bool TSingleFileWriter::Commit() {
  if (!FStaged) {
    FCommitted = true;
    return Close();
  }
  if (!Close()) return false;
  if (::rename(FFile.Path().c_str(), FPath.c_str()) != 0) {
    Fail(FPath + ": " + std::strerror(errno));
    return false;
  }
  FCommitted = true;
  return true;
}

void TSingleFileWriter::Discard() {
  FFile.Close();
  if (FStaged && !FFile.Path().empty() && !FCommitted) ::unlink(FFile.Path().c_str());
  FCommitted = true;  // nothing left to do
}

std::unique_ptr<TTrafficWriter> MakeTrafficWriter(TSaveFormat Format, const std::string& Path, bool Staged) {
  switch (Format) {
    case sfLogText:
      return std::make_unique<TLogTextWriter>(Path, Staged);
    case sfRawStreams:
      return MakeStreamFilesWriter(Path, Staged);
    case sfCapture:
      break;
  }
  return MakeCaptureWriter(Path, Staged);
}

// ---- a whole record ----

bool SaveRecord(const TTrafficRecord& Record, const std::string& Path, TSaveFormat Format, std::string& Error,
                TSaveProgress* Progress) {
  const std::uint64_t generation = Record.Generation();
  const std::uint64_t count = Record.Count();
  if (Progress != nullptr) {
    Progress->Total = count;
    Progress->Done = 0;
  }
  std::unique_ptr<TTrafficWriter> writer = MakeTrafficWriter(Format, Path, true);
  auto fail = [&](const std::string& Why) {
    Error = Why;
    writer->Discard();
    return false;
  };
  if (writer->Failed()) return fail(writer->Error());

  // A session's end goes after its last entry, and its start before its first one; between
  // entries, starts and ends go in the order of their times, so that the packets of a capture
  // follow the clock. Headers are in memory: this pass costs no body reads.
  std::map<std::uint64_t, std::uint64_t> lastEntry;
  TRecordEntry e;
  for (std::uint64_t i = 0; i < count && Record.Entry(i, e); ++i) {
    // Millions of entries take a while even here: a cancel is looked at now and then.
    if (Progress != nullptr && i % 65536 == 0 && Progress->Cancel) return fail("cancelled");
    if (e.Session != 0) lastEntry[e.Session] = i;
  }
  std::vector<TSessionInfo> starts = Record.Sessions();
  std::stable_sort(starts.begin(), starts.end(), [](const TSessionInfo& A, const TSessionInfo& B) { return A.StartUs < B.StartUs; });
  std::vector<TSessionInfo> ends;
  for (const TSessionInfo& s : starts)
    if (s.EndUs != 0) ends.push_back(s);
  std::stable_sort(ends.begin(), ends.end(), [](const TSessionInfo& A, const TSessionInfo& B) { return A.EndUs < B.EndUs; });
  std::size_t nextStart = 0, nextEnd = 0;
  auto endDue = [&](std::uint64_t Index, std::int64_t TimeUs) {
    if (nextEnd >= ends.size() || ends[nextEnd].EndUs > TimeUs) return false;
    auto last = lastEntry.find(ends[nextEnd].Id);
    return last == lastEntry.end() || last->second < Index;
  };

  std::string body;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (Progress != nullptr && Progress->Cancel) return fail("cancelled");
    if (!Record.Entry(i, e) || Record.Generation() != generation) return fail("the log was cleared while it was being saved");
    while (nextStart < starts.size() && starts[nextStart].StartUs <= e.TimeUs) writer->SessionStarted(starts[nextStart++]);
    while (endDue(i, e.TimeUs)) writer->SessionEnded(ends[nextEnd++]);
    body.clear();
    const bool kept = e.BodyKept && Record.ReadBody(i, 0, e.BodyLength, body) && body.size() == e.BodyLength;
    writer->Entry(e, Record.TitleText(e.Title), kept ? &body : nullptr);
    if (writer->Failed()) return fail(writer->Error());
    if (Progress != nullptr) Progress->Done = i + 1;
  }
  while (nextStart < starts.size()) writer->SessionStarted(starts[nextStart++]);
  while (nextEnd < ends.size()) writer->SessionEnded(ends[nextEnd++]);
  if (Progress != nullptr && Progress->Cancel) return fail("cancelled");
  if (!writer->Close() || !writer->Commit()) return fail(writer->Error());
  return true;
}

// ---- as entries come ----

TSavingSink::TSavingSink(TTrafficWriter& Writer, TEntryMode Mode, TEntrySink* Next)
    : FWriter(Writer), FMode(Mode), FNext(Next) {}

void TSavingSink::SetEntryColor(TColor Value) {
  FColor = Value;
  if (FNext != nullptr) FNext->SetEntryColor(Value);
}

void TSavingSink::SetEntryTitle(const std::string& Value) {
  FTitle = Value;
  if (FNext != nullptr) FNext->SetEntryTitle(Value);
}

void TSavingSink::AddEntry(const std::string& Body) { AddEntry(Body, TEntrySource{}); }

void TSavingSink::AddEntry(const std::string& Body, const TEntrySource& Source) {
  if (!FWriter.Failed()) {
    TRecordEntry e;
    e.Sequence = ++FSequence;
    e.TimeUs = WallClockUs();
    e.Color = FColor;
    e.Mode = FMode;
    e.Direction = Source.Direction;
    e.Session = Source.Session;
    e.Offset = Source.Offset;
    e.BodyLength = Body.size();
    FWriter.Entry(e, FTitle, &Body);
    FWriter.Flush();
    Check();
  }
  if (FNext != nullptr) FNext->AddEntry(Body, Source);
}

void TSavingSink::SessionChanged(const TSessionInfo& Info) {
  if (!FWriter.Failed()) {
    FWriter.SessionChanged(Info);
    FWriter.Flush();
    Check();
  }
  if (FNext != nullptr) FNext->SessionChanged(Info);
}

void TSavingSink::Check() {
  if (!FWriter.Failed() || FReported) return;
  FReported = true;
  if (OnFailure) OnFailure(FWriter.Error());
}
