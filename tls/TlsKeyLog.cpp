// TTlsKeyLog: the key log file, appended one line at a time.
#include "tls/TlsKeyLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tls/TlsContext.h"

TTlsKeyLog::TTlsKeyLog(const std::string& Path) : FPath(Path) {
  FFd = ::open(Path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (FFd < 0) throw ETlsError("cannot open the key log file " + Path + ": " + std::strerror(errno));
}

TTlsKeyLog::~TTlsKeyLog() {
  if (FFd >= 0) ::close(FFd);
}

void TTlsKeyLog::Write(const char* Line) {
  std::string text(Line);
  text += '\n';
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(FFd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ++FFailures;
      return;
    }
    done += static_cast<std::size_t>(n);
  }
  ++FLines;
}
