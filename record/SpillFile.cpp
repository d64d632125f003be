#include "record/SpillFile.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <system_error>

namespace {

std::string ErrorText(int Code) { return std::system_category().message(Code); }

// A write past the process's file-size limit (RLIMIT_FSIZE) raises SIGXFSZ, whose default action
// ends the process. For the record that write is one more failure to survive: with the signal
// ignored, the write fails with EFBIG instead and the bodies it held are marked lost. So the first
// record that makes its file ignores the signal for the whole process, unless the program has
// installed a handler of its own (the write fails with EFBIG after that handler returns too).
void IgnoreFileSizeSignal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) ::signal(SIGXFSZ, SIG_IGN);
  });
}

}  // namespace

TSpillFile::TSpillFile(const std::string& Directory) : FDirectory(Directory) {
  if (FDirectory.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    FDirectory = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  }
}

TSpillFile::~TSpillFile() {
  const int fd = FFd.load();
  if (fd >= 0) ::close(fd);
}

bool TSpillFile::Create(std::string& Error) {
  IgnoreFileSizeSignal();
  // O_TMPFILE makes a file that never has a name; file systems without it get a named one that is
  // unlinked before anything is written to it.
  int fd = ::open(FDirectory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::string name = FDirectory + "/vantrel-record-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
  }
  if (fd < 0) {
    Error = "cannot create a temporary file in " + FDirectory + ": " + ErrorText(errno);
    return false;
  }
  FFd.store(fd, std::memory_order_release);
  return true;
}

std::size_t TSpillFile::Write(std::uint64_t Position, const char* Data, std::size_t Length, std::string& Error) {
  if (FFd.load(std::memory_order_relaxed) < 0 && !Create(Error)) return 0;
  const int fd = FFd.load(std::memory_order_relaxed);
  std::size_t done = 0;
  while (done < Length) {
    const ssize_t n = ::pwrite(fd, Data + done, Length - done, static_cast<off_t>(Position + done));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    Error = "writing the temporary file in " + FDirectory + " failed: " + ErrorText(n < 0 ? errno : ENOSPC);
    break;
  }
  return done;
}

void TSpillFile::Truncate() {
  const int fd = FFd.load(std::memory_order_relaxed);
  if (fd >= 0) (void)!::ftruncate(fd, 0);
}

bool TSpillFile::Read(std::uint64_t Position, char* Data, std::size_t Length) const {
  const int fd = Handle();
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < Length) {
    const ssize_t n = ::pread(fd, Data + done, Length - done, static_cast<off_t>(Position + done));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}
