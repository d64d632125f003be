// Helpers for the replay tests: recorded sessions scripted into a traffic record and saved as a
// capture by our own writer, real redis servers started and stopped by the test, redis-cli run
// as a child while the loop runs, and scripted servers on loopback that the test's pump drives.
// ReplayRun.h adds what runs a replay.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "record/TrafficRecord.h"
#include "record/TrafficWriter.h"
#include "net/SocketTestSupport.h"
#include "replay/CaptureReader.h"

namespace replaytest {

using namespace testsupport;
namespace fs = std::filesystem;

// A folder of the test's own, removed with what is in it.
struct TTempDir {
  fs::path Path;
  TTempDir() {
    char name[] = "/tmp/vantrel-replay-XXXXXX";
    Path = ::mkdtemp(name);
  }
  ~TTempDir() { fs::remove_all(Path); }
  std::string operator/(const std::string& Name) const { return (Path / Name).string(); }
};

inline std::string ReadFile(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
inline void WriteFile(const std::string& Path, const std::string& Bytes) {
  std::ofstream(Path, std::ios::binary) << Bytes;
}

// One scripted session: its facts and its chunks, written into a record as the relay writes them.
struct TScript {
  TSessionInfo Info;
  struct TStep {
    TEntryDirection Direction;
    std::string Bytes;
    std::int64_t AfterUs;  // after the connection
  };
  std::vector<TStep> Steps;
  TStreamEnd LocalEnd = seFinished, RemoteEnd = seFinished;

  TScript(std::uint64_t Id, std::uint16_t LocalPort, std::string Remote, std::uint16_t RemotePort) {
    Info.Id = Id;
    Info.LocalAddr = "127.0.0.1";
    Info.LocalPort = LocalPort;
    Info.RemoteHost = Remote;
    Info.RemoteAddr = Remote;
    Info.RemotePort = RemotePort;
  }
  TScript& Local(std::string Bytes, std::int64_t AfterUs = -1) { return Add(edFromLocal, std::move(Bytes), AfterUs); }
  TScript& Remote(std::string Bytes, std::int64_t AfterUs = -1) { return Add(edFromRemote, std::move(Bytes), AfterUs); }
  TScript& Add(TEntryDirection D, std::string Bytes, std::int64_t AfterUs) {
    if (AfterUs < 0) AfterUs = Steps.empty() ? 1000 : Steps.back().AfterUs + 1000;
    Steps.push_back({D, std::move(Bytes), AfterUs});
    return *this;
  }
  std::string Stream(TEntryDirection D) const {
    std::string s;
    for (const TStep& step : Steps)
      if (step.Direction == D) s += step.Bytes;
    return s;
  }

  // Into Record, starting at StartUs: the facts, the entries, the ends.
  void Write(TTrafficRecord& Record, std::int64_t StartUs) const {
    TSessionInfo info = Info;
    info.StartUs = StartUs;
    info.ConnectedUs = StartUs + 100;
    info.State = ssRelaying;
    Record.SetSession(info);
    std::uint64_t offset[3] = {0, 0, 0};
    std::int64_t last = info.ConnectedUs;
    Record.Add("Connection Opened", info.Color, emText, {info.Id, edNone, 0}, "", info.ConnectedUs);
    for (const TStep& s : Steps) {
      last = info.ConnectedUs + s.AfterUs;
      Record.Add(s.Direction == edFromLocal ? "From Local" : "From Remote", info.Color, emText,
                 {info.Id, s.Direction, offset[s.Direction]}, s.Bytes, last);
      offset[s.Direction] += s.Bytes.size();
    }
    auto end = [&](const char* Title, TStreamEnd E) {
      if (E == seOpen) return;
      last += 1000;
      Record.Add(Title, info.Color, emText, {info.Id, edNone, 0}, "", last);
    };
    end(LocalEnd == seReset ? "Reset from Local" : "End of Stream from Local", LocalEnd);
    end(RemoteEnd == seReset ? "Reset from Remote" : "End of Stream from Remote", RemoteEnd);
    info.LocalEnd = LocalEnd;
    info.RemoteEnd = RemoteEnd;
    info.State = LocalEnd == seReset || RemoteEnd == seReset ? ssReset : ssClosed;
    info.EndUs = last + 1000;
    Record.SetSession(info);
  }
};

// The scripts saved as a capture at Path by our own writer, one second apart.
inline void SaveScripts(const std::vector<TScript>& Scripts, const std::string& Path) {
  TTrafficRecord record;
  std::int64_t t = 1765000000000000;
  for (const TScript& s : Scripts) {
    s.Write(record, t);
    t += 1000000;
  }
  std::string error;
  ASSERT_TRUE(SaveRecord(record, Path, sfCapture, error)) << error;
}

// A child process, its standard input fed from Input, its output kept; never waited for without
// a deadline.
class TChild {
public:
  TChild(const std::vector<std::string>& Args, const std::string& Input = {}) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    FPid = ::fork();
    if (FPid == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(out[1], STDERR_FILENO);
      std::vector<char*> argv;
      for (const std::string& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    FOut = out[0];
    ::fcntl(FOut, F_SETFL, O_NONBLOCK);
    // Small inputs only: they fit the pipe, so the write never waits for the child.
    if (!Input.empty()) (void)!::write(in[1], Input.data(), Input.size());
    ::close(in[1]);
  }
  ~TChild() {
    if (FPid > 0 && !FExited) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, &FStatus, 0);
    }
    if (FOut >= 0) ::close(FOut);
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  bool Exited() {
    ReadOutput();
    if (!FExited && FPid > 0 && ::waitpid(FPid, &FStatus, WNOHANG) == FPid) FExited = true;
    return FExited;
  }
  // Its exit status once it has ended (-1 while it runs, -2 killed by a signal).
  int Status() const { return !FExited ? -1 : WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : -2; }
  void Signal(int Sig) {
    if (FPid > 0 && !FExited) ::kill(FPid, Sig);
  }
  const std::string& Output() {
    ReadOutput();
    return FText;
  }

private:
  void ReadOutput() {
    char buf[4096];
    for (ssize_t n; FOut >= 0 && (n = ::read(FOut, buf, sizeof buf)) > 0;) FText.append(buf, static_cast<std::size_t>(n));
  }
  pid_t FPid = -1;
  int FOut = -1;
  int FStatus = 0;
  bool FExited = false;
  std::string FText;
};

inline bool HaveProgram(const std::string& Name) {
  return std::system(("command -v " + Name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a program to its end while pumping the loop (so that a relay in this process serves it);
// its exit status, -1 at the deadline.
inline int RunPumping(const std::vector<std::string>& Args, const std::string& Input, std::string* Output = nullptr,
                      int TimeoutMs = 20000) {
  TChild child(Args, Input);
  const bool ended = PumpUntil([&] { return child.Exited(); }, TimeoutMs);
  if (Output != nullptr) *Output = child.Output();
  return ended ? child.Status() : -1;
}

// A redis-server of the test's own on a free loopback port, with nothing saved to disk.
class TRedis {
public:
  TRedis() {
    for (int attempt = 0; attempt < 3 && Port == 0; ++attempt) {
      const std::uint16_t port = UnusedPort();
      auto child = std::make_unique<TChild>(std::vector<std::string>{"redis-server", "--port", std::to_string(port), "--bind",
                                                                     "127.0.0.1", "--save", "", "--appendonly", "no"});
      // Up once it answers a connection.
      const bool up = PumpUntil([&] {
        if (child->Exited()) return true;
        const int fd = RawConnect(port);
        if (fd < 0) return false;
        ::close(fd);
        return true;
      }, 10000);
      if (up && !child->Exited()) {
        Port = port;
        FChild = std::move(child);
      }
    }
  }
  ~TRedis() {
    if (FChild == nullptr) return;
    FChild->Signal(SIGTERM);
    PumpUntil([&] { return FChild->Exited(); }, 10000);
  }
  // redis-cli against this server with Commands on its standard input, one a line; its output.
  std::string Cli(const std::string& Commands) {
    std::string out;
    RunPumping({"redis-cli", "-p", std::to_string(Port)}, Commands, &out);
    return out;
  }

  std::uint16_t Port = 0;

private:
  std::unique_ptr<TChild> FChild;
};

// A scripted server on 127.0.0.1: each connection it accepts gets a TServerConn, which the test's
// handler drives from the pump (Service). The handler sees what came so far and sends as it likes.
struct TServerConn {
  int Fd = -1;
  std::string Received;
  bool Eof = false;
  bool Closed = false;
  int Stage = 0;  // the handler's own
  std::chrono::steady_clock::time_point Mark;
  std::vector<std::string> Log;  // the handler's own notes, in order

  std::string Out;  // sent, and not yet taken by the kernel

  // Queues Bytes; what the kernel does not take now goes in later rounds of Service.
  void Send(const std::string& Bytes) {
    Out += Bytes;
    Flush();
  }
  void Flush() {
    std::size_t done = 0;
    while (!Closed && done < Out.size()) {
      const ssize_t n = ::send(Fd, Out.data() + done, Out.size() - done, MSG_NOSIGNAL);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    Out.erase(0, done);
  }
  // Closes once everything queued has gone (or at once when Now).
  void Close(bool Now = false) {
    if (!Closed && !Now && !Out.empty()) {
      CloseWhenSent = true;
      return;
    }
    if (!Closed) ::close(Fd);
    Closed = true;
  }
  bool CloseWhenSent = false;
  void Reset() {
    if (!Closed) RawReset(Fd);
    Closed = true;
  }
};

class TScriptServer {
public:
  using THandler = std::function<void(TServerConn&)>;
  explicit TScriptServer(THandler Handler) : FHandler(std::move(Handler)) {}
  ~TScriptServer() {
    for (auto& c : Conns) c->Close(true);
  }
  std::uint16_t Port() const { return FListener.Port; }

  // Accepts, reads and lets the handler act; what a test's pump condition calls.
  void Service() {
    for (int fd; (fd = ::accept4(FListener.Fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
      Conns.push_back(std::make_unique<TServerConn>());
      Conns.back()->Fd = fd;
    }
    for (auto& c : Conns) {
      if (c->Closed) continue;
      c->Flush();
      char buf[65536];
      while (!c->Eof) {
        const ssize_t n = ::recv(c->Fd, buf, sizeof buf, 0);
        if (n > 0) {
          c->Received.append(buf, static_cast<std::size_t>(n));
          continue;
        }
        if (n == 0 || errno == ECONNRESET) c->Eof = true;
        break;
      }
      FHandler(*c);
      if (c->CloseWhenSent && c->Out.empty()) c->Close();
    }
  }

  std::vector<std::unique_ptr<TServerConn>> Conns;

private:
  RawListener FListener;
  THandler FHandler;
};

}  // namespace replaytest
