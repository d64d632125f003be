// The relay driven two ways, for tests that must hold for both: through the real windows in this
// process (the relay runs when the test pumps the loop), and as the headless program in a child
// process (it runs by itself; its entries are read from its standard output once it has ended).
#pragma once

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ChildProgram.h"
#include "RelayPeers.h"

namespace apptest {

enum class TRelayMode { Windows, Headless };

inline const char* ModeName(TRelayMode Mode) { return Mode == TRelayMode::Windows ? "Windows" : "Headless"; }
inline void PrintTo(TRelayMode Mode, std::ostream* Out) { *Out << ModeName(Mode); }

// One entry as either mode gives it back. The body is kept only when short (an error's text),
// as text; the length counts the body's bytes, which the headless output shows one character each.
struct TDriverEntry {
  std::string Title;
  std::string Body;
  std::size_t Length = 0;
};

constexpr std::size_t kKeptBody = 256;

class TRelayDriver {
public:
  virtual ~TRelayDriver() = default;
  // Starts relaying to RemoteAddr and RemotePort on a free local port; returns that port, or 0
  // (with a test failure) when the relay does not listen.
  virtual std::uint16_t Start(const std::string& RemoteAddr, const std::string& RemotePort) = 0;
  // No session is left: every socket of every session has closed.
  virtual bool Idle() = 0;
  // Stops the relay from serving anything (the kernel still accepts into its queue), and lets it
  // go on again. The windows' relay runs only inside the test's pumps anyway.
  virtual void Freeze() {}
  virtual void Thaw() {}
  // Stops listening (Cancel, or SIGTERM for the program) and returns every entry written.
  virtual std::vector<TDriverEntry> Finish() = 0;

  bool LineMode = false;  // relays line by line from Start on: the log's menu item, or --line-mode
};

// The windows, made and torn down as the program does (see AppFixture).
class TWindowsRelay : public TRelayDriver {
public:
  TWindowsRelay() {
    platform::gui::SetErrorHandler([this](const std::string& m) { FErrors.push_back(m); });
    Main = new TMain;
    Log = new TLog;
    BindLog(*Log);
  }
  ~TWindowsRelay() override {
    if (Main->ListenBtnTag() != 0) Main->ListenBtn->click();
    PumpUntil([] { return WSocketServer->ClientCount() == 0 && Main->DrainingCount() == 0; });
    platform::SetApplicationTerminated(true);
    delete Main;
    delete Log;
    Main = nullptr;
    Log = nullptr;
    platform::SetApplicationTerminated(false);
    platform::gui::SetErrorHandler(nullptr);
    EXPECT_EQ(winsock::WinsockUsers, 0) << "a socket component outlived the windows";
  }

  std::uint16_t Start(const std::string& RemoteAddr, const std::string& RemotePort) override {
    const std::uint16_t port = UnusedPort();
    Main->RemoteAddr->setText(QString::fromStdString(RemoteAddr));
    Main->RemotePort->setText(QString::fromStdString(RemotePort));
    Main->LocalPoort->setText(QString::number(port));
    if (LineMode != Log->LineMode1->isChecked()) Log->LineMode1Click(Log->LineMode1);
    Main->ListenBtn->click();
    EXPECT_EQ(Main->ListenBtnTag(), 1) << (FErrors.empty() ? "" : FErrors.back());
    return Main->ListenBtnTag() == 1 ? port : 0;
  }
  bool Idle() override {
    return Main->Relay()->SessionCount() == 0 && WSocketServer->ClientCount() == 0 && Main->DrainingCount() == 0;
  }
  std::vector<TDriverEntry> Finish() override {
    if (Main->ListenBtnTag() != 0) Main->ListenBtn->click();
    EXPECT_TRUE(PumpUntil([this] { return Idle(); }, 20000));
    std::vector<TDriverEntry> out;
    const TTrafficRecord& record = Log->Record();
    TRecordEntry e;
    for (std::uint64_t i = 0; record.Entry(i, e); ++i) {
      TDriverEntry d{record.TitleText(e.Title), std::string(), static_cast<std::size_t>(e.BodyLength)};
      if (d.Length <= kKeptBody) record.ReadBody(i, 0, UINT64_MAX, d.Body);
      out.push_back(std::move(d));
    }
    return out;
  }

private:
  std::vector<std::string> FErrors;
};

// The entries of the headless program's standard output, in text mode: a header line (date, time,
// title), the body as one line of printable text, and an empty line before the next header (the
// empty line of an empty body serves as that).
inline std::vector<TDriverEntry> ParseHeadlessEntries(std::istream& In) {
  std::vector<TDriverEntry> out;
  bool header = true;
  for (std::string line; std::getline(In, line);) {
    if (header) {
      if (line.empty()) continue;
      const std::size_t date = DateLength(line);
      if (date == 0) {
        ADD_FAILURE() << "not an entry's header line: " << line.substr(0, 80);
        break;
      }
      out.push_back({line.substr(date), std::string(), 0});
    } else {
      std::size_t characters = 0;  // in UTF-8: every byte that does not continue a character
      for (char c : line) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      out.back().Length = characters;
      if (characters <= kKeptBody) out.back().Body = line;
    }
    header = !header;
  }
  return out;
}

// The number of sockets that process Pid holds open.
inline int SocketsOf(pid_t Pid) {
  const std::string dir = "/proc/" + std::to_string(Pid) + "/fd";
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return -1;
  int n = 0;
  char target[64];
  while (dirent* e = ::readdir(d)) {
    const ssize_t len = ::readlinkat(::dirfd(d), e->d_name, target, sizeof target - 1);
    if (len > 0 && std::string(target, static_cast<std::size_t>(len)).rfind("socket:", 0) == 0) ++n;
  }
  ::closedir(d);
  return n;
}

// The state letter of process Pid ('R', 'S', 'T' for stopped...), 0 when it cannot be read.
inline char StateOf(pid_t Pid) {
  std::ifstream in("/proc/" + std::to_string(Pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t paren = stat.rfind(')');  // the name in parentheses may hold anything
  return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : 0;
}

class THeadlessRelay : public TRelayDriver {
public:
  ~THeadlessRelay() override { Thaw(); }
  std::uint16_t Start(const std::string& RemoteAddr, const std::string& RemotePort) override {
    std::vector<std::string> args{"--headless", "--local-port", "0", "--remote-addr", RemoteAddr, "--remote-port", RemotePort};
    if (LineMode) args.push_back("--line-mode");
    FChild = std::make_unique<TChildProgram>(args);
    const std::uint16_t port = FChild->ListeningPort();
    EXPECT_NE(port, 0) << FChild->Err();
    return port;
  }
  // Only the listening socket is left.
  bool Idle() override { return SocketsOf(FChild->Pid()) == 1; }
  // Returns once the program has stopped, not merely been told to.
  void Freeze() override {
    FChild->Signal(SIGSTOP);
    FFrozen = true;
    EXPECT_TRUE(PumpUntil([this] { return StateOf(FChild->Pid()) == 'T'; }, 5000));
  }
  void Thaw() override {
    if (FFrozen) FChild->Signal(SIGCONT);
    FFrozen = false;
  }
  std::vector<TDriverEntry> Finish() override {
    FChild->Signal(SIGTERM);
    EXPECT_EQ(FChild->WaitExit(), 0) << FChild->Err();
    std::ifstream in(FChild->OutPath(), std::ios::binary);
    return ParseHeadlessEntries(in);
  }
  TChildProgram& Child() { return *FChild; }

private:
  std::unique_ptr<TChildProgram> FChild;
  bool FFrozen = false;
};

inline std::unique_ptr<TRelayDriver> MakeRelayDriver(TRelayMode Mode) {
  if (Mode == TRelayMode::Windows) return std::make_unique<TWindowsRelay>();
  return std::make_unique<THeadlessRelay>();
}

}  // namespace apptest
