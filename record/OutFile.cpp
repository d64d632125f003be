// Buffered file writing with the first error kept.
#include "record/OutFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

// Larger writes gain nothing; smaller ones cost a system call per entry in a fast transfer.
constexpr std::size_t kBufferLimit = std::size_t{1} << 20;

std::atomic<std::uint64_t> gTemporaryCount{0};

}  // namespace

TOutFile::~TOutFile() {
  if (FFd >= 0) ::close(FFd);
}

bool TOutFile::Open(const std::string& Path, bool Exclusive) {
  FPath = Path;
  FBuffer.clear();
  FError.clear();
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (Exclusive ? O_EXCL : O_TRUNC);
  do FFd = ::open(Path.c_str(), flags, 0666);
  while (FFd < 0 && errno == EINTR);
  if (FFd < 0) Fail(errno);
  return FFd >= 0;
}

void TOutFile::Fail(int Errno) {
  if (FError.empty()) FError = FPath + ": " + std::strerror(Errno);
}

void TOutFile::Write(std::string_view Data) {
  if (FFd < 0 || Failed()) return;
  FBuffer.append(Data);
  if (FBuffer.size() >= kBufferLimit) Flush();
}

bool TOutFile::Flush() {
  if (FFd < 0) return false;
  std::size_t done = 0;
  while (done < FBuffer.size() && !Failed()) {
    const ssize_t n = ::write(FFd, FBuffer.data() + done, FBuffer.size() - done);
    if (n > 0) done += static_cast<std::size_t>(n);
    else if (n < 0 && errno == EINTR) continue;
    else Fail(n < 0 ? errno : ENOSPC);
  }
  FBuffer.clear();
  return !Failed();
}

bool TOutFile::Close() {
  if (FFd < 0) return !Failed();
  Flush();
  if (::close(FFd) != 0 && errno != EINTR) Fail(errno);
  FFd = -1;
  return !Failed();
}

std::string FolderOf(const std::string& Path) {
  const std::size_t slash = Path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : Path.substr(0, slash);
}

std::string BaseNameOf(const std::string& Path) {
  const std::size_t slash = Path.find_last_of('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

std::string TemporaryNameFor(const std::string& Path) {
  std::string folder = FolderOf(Path);
  if (folder != "/") folder += '/';
  return folder + "." + BaseNameOf(Path) + ".part-" + std::to_string(::getpid()) + "-" +
         std::to_string(++gTemporaryCount);
}
