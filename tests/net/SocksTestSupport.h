// Helpers for the SOCKS tests: a trace of the SOCKS-relevant events, a SOCKS peer that answers
// from a script, a plain echo server, and real SOCKS servers run as child processes on loopback.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "SocketTestSupport.h"

namespace testsupport {

inline std::string Bytes(std::initializer_list<int> Values) {
  std::string s;
  for (int v : Values) s += static_cast<char>(v);
  return s;
}

// The negotiation's events in order; "Data" marks each run of data that the handler received.
struct SocksTrace {
  std::vector<std::string> Events;
  std::string Data;
  std::function<void(TWSocket&)> Read;  // what the OnDataAvailable handler does; default ReceiveText

  void Attach(TWSocket& S) {
    auto add = [this](std::string e) { Events.push_back(std::move(e)); };
    S.OnSocksConnected = [add](TComponent*, std::uint16_t e) { add("SocksConnected " + std::to_string(e)); };
    S.OnSocksError = [add](TComponent*, std::int32_t c, const std::string& m) {
      add("SocksError " + std::to_string(c) + " " + m);
    };
    S.OnSocksAuthState = [add](TComponent*, TSocksAuthState a) { add("Auth " + std::to_string(a)); };
    S.OnSessionConnected = [add](TComponent*, std::uint16_t e) { add("Connected " + std::to_string(e)); };
    S.OnSessionClosed = [add](TComponent*, std::uint16_t e) { add("Closed " + std::to_string(e)); };
    S.OnDataAvailable = [this, &S](TComponent*, std::uint16_t) {
      std::size_t before = Data.size();
      if (Read) Read(S);
      else Data += S.ReceiveText();
      if (Data.size() > before && (Events.empty() || Events.back() != "Data")) Events.push_back("Data");
    };
  }
  bool Has(const std::string& e) const { return std::find(Events.begin(), Events.end(), e) != Events.end(); }
  bool Ended() const { return !Events.empty() && Events.back().rfind("Closed ", 0) == 0; }
};

// One exchange of a scripted SOCKS peer: wait for exactly Expect, then send Reply (and close).
struct ScriptStep {
  std::string Expect;
  std::string Reply;
  bool CloseAfter = false;
};

// A SOCKS server written as a script, on a raw loopback listener; Advance does what is due now
// and is called from the pump's condition. A byte that differs from the script stops it.
struct ScriptedPeer {
  RawListener Listener;
  std::vector<ScriptStep> Script;
  std::string Got;  // every byte received from the component
  std::size_t Next = 0, Matched = 0;
  bool Mismatch = false, Closed = false;
  int Fd = -1;

  void Advance() {
    if (Closed) return;
    if (Fd < 0 && (Fd = ::accept4(Listener.Fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) < 0) return;
    char buf[4096];
    for (int i = 0; i < 64; ++i) {
      ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      Got.append(buf, static_cast<std::size_t>(n));
    }
    while (!Mismatch && Next < Script.size() && Got.size() >= Matched + Script[Next].Expect.size()) {
      const ScriptStep& s = Script[Next];
      if (Got.compare(Matched, s.Expect.size(), s.Expect) != 0) {
        Mismatch = true;
        return;
      }
      Matched += s.Expect.size();
      ++Next;
      Send(s.Reply);
      if (s.CloseAfter) {
        ::close(Fd);
        Fd = -1;
        Closed = true;
        return;
      }
    }
  }
  void Send(const std::string& Data) const {
    if (!Data.empty()) ::send(Fd, Data.data(), Data.size(), MSG_NOSIGNAL);
  }
  std::string Expected() const {
    std::string all;
    for (const auto& s : Script) all += s.Expect;
    return all;
  }
  ~ScriptedPeer() {
    if (Fd >= 0) ::close(Fd);
  }
};

// A plain echo server on loopback, driven from the pump's condition like the scripted peer.
struct RawEcho {
  RawListener Listener;
  struct Conn {
    int Fd;
    std::string Pending;
  };
  std::vector<Conn> Conns;

  void Advance() {
    for (int i = 0, c; i < 8 && (c = ::accept4(Listener.Fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0; ++i)
      Conns.push_back({c, {}});
    char buf[65536];
    for (auto& k : Conns) {
      for (int i = 0; i < 16; ++i) {
        ssize_t n = ::recv(k.Fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        k.Pending.append(buf, static_cast<std::size_t>(n));
      }
      ssize_t n = k.Pending.empty() ? 0 : ::send(k.Fd, k.Pending.data(), k.Pending.size(), MSG_NOSIGNAL);
      if (n > 0) k.Pending.erase(0, static_cast<std::size_t>(n));
    }
  }
  ~RawEcho() {
    for (auto& k : Conns) ::close(k.Fd);
  }
};

// The full path of an installed program, searched in PATH and the system directories; empty when
// it is not installed.
inline std::string FindProgram(const std::string& Name) {
  std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
  dirs += ":/usr/sbin:/usr/bin:/sbin:/bin";
  std::stringstream in(dirs);
  for (std::string dir; std::getline(in, dir, ':');) {
    std::string path = dir + "/" + Name;
    if (!dir.empty() && ::access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// A real SOCKS server run as a child process in its own process group, listening on a free
// loopback port; the whole group is ended when the object goes.
struct ServerProcess {
  pid_t Pid = -1;
  std::uint16_t Port = UnusedPort();
  std::string Dir;

  ServerProcess() {
    char tmpl[] = "/tmp/vantrel-socks-XXXXXX";
    Dir = ::mkdtemp(tmpl) ? tmpl : "/tmp";
  }
  std::string File(const std::string& Name) const { return Dir + "/" + Name; }
  void Write(const std::string& Name, const std::string& Text) const { std::ofstream(File(Name)) << Text; }
  std::string Output() const {
    std::ifstream in(File("output.txt"));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Starts Program with Args, its output going to output.txt; true once its port accepts.
  bool Start(const std::string& Program, const std::vector<std::string>& Args) {
    Pid = ::fork();
    if (Pid == 0) {
      ::setpgid(0, 0);
      std::FILE* out = std::freopen(File("output.txt").c_str(), "w", stdout);
      if (out != nullptr) ::dup2(::fileno(out), 2);
      std::vector<char*> argv{const_cast<char*>(Program.c_str())};
      for (const auto& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(Program.c_str(), argv.data());
      ::_exit(127);
    }
    if (Pid < 0) return false;
    ::setpgid(Pid, Pid);
    bool exited = false, accepting = false;
    PumpUntil([&] {
      int status = 0;
      exited = ::waitpid(Pid, &status, WNOHANG) == Pid;
      int fd = exited ? -1 : RawConnect(Port);
      accepting = fd >= 0;
      if (accepting) ::close(fd);
      return exited || accepting;
    }, 10000);
    if (exited) Pid = -1;
    return accepting;
  }
  ~ServerProcess() {
    if (Pid > 0) {
      ::kill(-Pid, SIGTERM);
      ::waitpid(Pid, nullptr, 0);
    }
    std::remove(File("output.txt").c_str());
    std::remove(File("sockd.conf").c_str());
    std::remove(File("sockd.pid").c_str());
    ::rmdir(Dir.c_str());
  }
};

}  // namespace testsupport
