// A file written through a buffer, that keeps the first error instead of throwing: writers of saved
// traffic carry on with their bookkeeping and report the failure once, at the next check.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class TOutFile {
public:
  TOutFile() = default;
  ~TOutFile();
  TOutFile(const TOutFile&) = delete;
  TOutFile& operator=(const TOutFile&) = delete;

  // Creates Path (truncating a file that is there). Exclusive: fails when anything is there.
  bool Open(const std::string& Path, bool Exclusive = false);
  bool IsOpen() const noexcept { return FFd >= 0; }
  const std::string& Path() const noexcept { return FPath; }

  void Write(std::string_view Data);
  // Hands the buffer to the system: once this returns, a killed program leaves it in the file.
  bool Flush();
  // Flushes and closes; false when anything failed since Open.
  bool Close();

  bool Failed() const noexcept { return !FError.empty(); }
  // "PATH: reason" of the first failure.
  const std::string& Error() const noexcept { return FError; }

private:
  void Fail(int Errno);

  int FFd = -1;
  std::string FPath;
  std::string FBuffer;
  std::string FError;
};

// A name in Path's folder, starting with a dot, for writing before the file is put in place:
// ".NAME.part-PID-N".
std::string TemporaryNameFor(const std::string& Path);
// The folder of Path ("." when it has none) and its last part.
std::string FolderOf(const std::string& Path);
std::string BaseNameOf(const std::string& Path);
