// The parts the savers share, apart from the public TrafficWriter.h.
#pragma once

#include <memory>
#include <string>

#include "log/OutFile.h"
#include "log/TrafficWriter.h"

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

std::unique_ptr<TTrafficWriter> MakeStreamFilesWriter(const std::string& Folder, bool Staged);
std::unique_ptr<TTrafficWriter> MakeCaptureWriter(const std::string& Path, bool Staged);
