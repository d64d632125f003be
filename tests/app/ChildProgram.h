// The program as a child process, for the tests of its command line and its headless mode: its
// standard output goes to a file (entries can be many megabytes), or to a pipe or a path of the
// test's choosing, its standard error to a pipe that the test reads as lines come. Every wait is
// bounded.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifndef VANTREL_PROGRAM
#error "the tests need VANTREL_PROGRAM, the path of the built program"
#endif

namespace apptest {

// Whether Line starts with a date and time as the C locale writes them: "9 Dec 2026 18:11:44 ".
// Returns the length of that start, 0 when it has none.
inline std::size_t DateLength(const std::string& Line) {
  const char* shapes[] = {"9 Aaa 9999 99:99:99 ", "99 Aaa 9999 99:99:99 "};
  for (const char* shape : shapes) {
    const std::size_t n = std::strlen(shape);
    bool match = Line.size() >= n;
    for (std::size_t i = 0; match && i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(Line[i]);
      match = shape[i] == '9' ? std::isdigit(c) != 0 : shape[i] == 'A' ? std::isupper(c) != 0
                                                     : shape[i] == 'a' ? std::islower(c) != 0 : c == shape[i];
    }
    if (match) return n;
  }
  return 0;
}

// How a child is set up beyond its arguments.
struct TChildSetup {
  std::vector<std::string> Env;  // "NAME=value", added to the test's environment
  rlim_t FileLimit = 0;          // caps its descriptors (soft and hard limit), as a tight system would
  rlim_t FileSizeLimit = 0;      // caps the size of the files it writes, as a small disk would
  // Its standard output: empty for a file of the test's (Out), "|" for a pipe that the test reads
  // (ReadOut) and may close (CloseOut), or any other path to open for writing ("/dev/full").
  std::string Output;
};

class TChildProgram {
public:
  // Starts the program with Args; Env entries ("NAME=value") are added to the test's environment.
  // The child gets LC_ALL=C and TZ=UTC, so that its header lines have one known form. FileLimit,
  // when set, caps the child's descriptors (soft and hard limit), as a tight system would.
  explicit TChildProgram(const std::vector<std::string>& Args, const std::vector<std::string>& Env = {},
                         rlim_t FileLimit = 0)
      : TChildProgram(Args, TChildSetup{Env, FileLimit, 0, {}}) {}

  TChildProgram(const std::vector<std::string>& Args, const TChildSetup& Setup) {
    const std::vector<std::string>& Env = Setup.Env;
    const rlim_t FileLimit = Setup.FileLimit;
    char dir[] = "/tmp/vantrel-child-XXXXXX";
    FDir = ::mkdtemp(dir) != nullptr ? dir : "/tmp";
    FOutPath = FDir + "/stdout";
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) return;
    int out[2] = {-1, -1};
    FOutToFile = Setup.Output.empty();
    if (Setup.Output == "|" && ::pipe2(out, O_CLOEXEC) != 0) return;
    FPid = ::fork();
    if (FPid == 0) {
      if (out[1] < 0)
        out[1] = ::open(FOutToFile ? FOutPath.c_str() : Setup.Output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      ::setenv("LC_ALL", "C", 1);
      ::setenv("TZ", "UTC", 1);
      for (const std::string& e : Env) ::putenv(const_cast<char*>(e.c_str()));
      if (FileLimit != 0) {
        const rlimit limit{FileLimit, FileLimit};
        ::setrlimit(RLIMIT_NOFILE, &limit);
      }
      if (Setup.FileSizeLimit != 0) {
        const rlimit limit{Setup.FileSizeLimit, Setup.FileSizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
      }
      std::vector<char*> argv{const_cast<char*>(VANTREL_PROGRAM)};
      for (const std::string& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(VANTREL_PROGRAM, argv.data());
      ::_exit(127);
    }
    ::close(err[1]);
    FErr = err[0];
    ::fcntl(FErr, F_SETFL, O_NONBLOCK);
    if (out[0] >= 0) {
      ::close(out[1]);
      FOut = out[0];
      ::fcntl(FOut, F_SETFL, O_NONBLOCK);
    }
    FPidFd = static_cast<int>(::syscall(SYS_pidfd_open, FPid, 0));
  }
  ~TChildProgram() {
    if (FPid > 0 && !FExited) {
      ::kill(FPid, SIGKILL);
      int status = 0;
      ::waitpid(FPid, &status, 0);
    }
    if (FErr >= 0) ::close(FErr);
    CloseOut();
    if (FPidFd >= 0) ::close(FPidFd);
    ::unlink(FOutPath.c_str());
    ::rmdir(FDir.c_str());
  }
  TChildProgram(const TChildProgram&) = delete;
  TChildProgram& operator=(const TChildProgram&) = delete;

  pid_t Pid() const { return FPid; }

  // What it has written to standard error so far.
  const std::string& Err() {
    char buf[4096];
    for (ssize_t n; (n = ::read(FErr, buf, sizeof buf)) > 0;) FErrText.append(buf, static_cast<std::size_t>(n));
    return FErrText;
  }
  // Waits until standard error holds Text; false at the deadline or when the program has ended.
  bool WaitForErr(const std::string& Text, int TimeoutMs = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (Err().find(Text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || Exited()) return Err().find(Text) != std::string::npos;
      pollfd p{FErr, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100)));
    }
    return true;
  }
  // The local port that the headless program reported it listens on; 0 when it did not.
  std::uint16_t ListeningPort(int TimeoutMs = 20000) {
    if (!WaitForErr("listening on port ", TimeoutMs)) return 0;
    const std::string& e = Err();
    return static_cast<std::uint16_t>(std::atoi(e.c_str() + e.find("listening on port ") + 18));
  }

  bool Exited() {
    if (!FExited && FPid > 0 && ::waitpid(FPid, &FStatus, WNOHANG) == FPid) FExited = true;
    return FExited;
  }
  // Waits for the program to end; its exit status, or -1 at the deadline (-2 when a signal killed it).
  int WaitExit(int TimeoutMs = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Exited()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return -1;
      pollfd p{FPidFd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100)));
      Err();  // keeps the pipe from filling while it runs
    }
    Err();
    return WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : -2;
  }
  void Signal(int Sig) { ::kill(FPid, Sig); }

  // Standard output as a pipe: what it has written so far, read without waiting.
  const std::string& ReadOut() {
    char buf[65536];
    for (ssize_t n; FOut >= 0 && (n = ::read(FOut, buf, sizeof buf)) > 0;)
      FOutText.append(buf, static_cast<std::size_t>(n));
    return FOutText;
  }
  // Closes the pipe's reading end, as a reader that has read enough does.
  void CloseOut() {
    if (FOut >= 0) ::close(FOut);
    FOut = -1;
  }

  // Everything it has written to standard output so far (a pipe's: what ReadOut has read; nothing
  // for a path of the test's choosing).
  std::string Out() const {
    if (!FOutToFile) return FOutText;
    std::ifstream in(FOutPath, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The file that holds its standard output.
  const std::string& OutPath() const { return FOutPath; }
  // The names of the shared libraries it has mapped.
  std::string Maps() const {
    std::ifstream in("/proc/" + std::to_string(FPid) + "/maps");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

private:
  std::string FDir;
  std::string FOutPath;
  pid_t FPid = -1;
  int FErr = -1;
  int FOut = -1;  // the pipe of standard output, when it is one
  bool FOutToFile = true;
  std::string FOutText;
  int FPidFd = -1;
  bool FExited = false;
  int FStatus = 0;
  std::string FErrText;
};

}  // namespace apptest
