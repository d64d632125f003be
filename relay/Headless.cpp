// The headless mode: entries to standard output, signals through the loop, and the run itself.
#include "relay/Headless.h"

#include <signal.h>
#include <stdio_ext.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "relay/Relay.h"
#include "record/TrafficWriter.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"

namespace {

// One line of an error message: the socket library's messages put their text on a second line.
std::string OneLine(std::string Text) {
  for (std::size_t at; (at = Text.find("\r\n")) != std::string::npos;) Text.replace(at, 2, ": ");
  for (char& c : Text)
    if (c == '\r' || c == '\n') c = ' ';
  return Text;
}

}  // namespace

// ---- entries ----

THeadlessSink::THeadlessSink(std::FILE* Out, bool Hex, bool Color, bool FlushEachEntry)
    : FOut(Out), FHex(Hex), FColor(Color), FFlush(FlushEachEntry) {}

void THeadlessSink::AddEntry(const std::string& Body) { AddEntry(Body, TEntrySource{}); }

void THeadlessSink::AddEntry(const std::string& Body, const TEntrySource&) {
  if (FStopped) return;
  // The buffers keep their room from one entry to the next: a fast transfer would otherwise spend
  // more time growing and giving back memory than formatting.
  FBuffer.clear();
  const bool colored = FColor && (FEntryColor & 0xFFFFFF) != clBlack;
  if (colored)
    FBuffer += "\x1b[38;2;" + std::to_string(FEntryColor & 0xFF) + ';' + std::to_string((FEntryColor >> 8) & 0xFF) +
               ';' + std::to_string((FEntryColor >> 16) & 0xFF) + 'm';
  AppendEntry(Body, WallClockUs(), FBuffer);
  if (colored) {
    // The reset goes before the last line end, so that a terminal's next line starts plain.
    FBuffer.insert(FBuffer.size() - 1, "\x1b[0m");
  }
  errno = 0;
  std::fwrite(FBuffer.data(), 1, FBuffer.size(), FOut);
  if (FFlush) std::fflush(FOut);
  Check();
}

void THeadlessSink::Flush() {
  if (FStopped) return;
  errno = 0;
  std::fflush(FOut);
  Check();
}

bool THeadlessSink::Buffered() const { return !FStopped && __fpending(FOut) > 0; }

void THeadlessSink::Check() {
  if (FStopped || std::ferror(FOut) == 0) return;
  // The stream keeps its error: nothing more goes to it, since each write would fail the same way.
  FStopped = true;
  FErrno = errno;
  if (OnFailure) OnFailure(FErrno != 0 ? std::strerror(FErrno) : "write error");
}

std::string THeadlessSink::EntryText(const std::string& Body, std::int64_t TimeUs) {
  std::string text;
  AppendEntry(Body, TimeUs, text);
  return text;
}

// The log's own text of the entry (TLogText), one entry at a time.
void THeadlessSink::AppendEntry(const std::string& Body, std::int64_t TimeUs, std::string& text) {
  TRecordEntry e;
  e.TimeUs = TimeUs;
  e.Mode = FHex ? emHex : emText;
  e.BodyLength = Body.size();
  FText.AppendLine(e, FEntryTitle, &Body, text);
}

// ---- the run ----

namespace {

constexpr platform::UINT MsgSignal = platform::WM_USER + 0x100;

struct THeadlessRun {
  TRelay* Relay = nullptr;
  THeadlessSink* Entries = nullptr;
  int Signals = 0;
  bool ListenerLost = false;
  std::string LastError;  // the last background exception's message
};

THeadlessRun* gRun = nullptr;

platform::LRESULT HeadlessWindowProc(platform::HWND, platform::UINT Msg, platform::WPARAM WParam, platform::LPARAM) {
  if (Msg != MsgSignal || gRun == nullptr) return 0;
  if (++gRun->Signals > 1) {
    // A second signal: the user does not want to wait for the sessions to close.
    if (gRun->Entries != nullptr) gRun->Entries->Flush();
    ::_exit(128 + static_cast<int>(WParam));
  }
  // Also when the listener has gone by itself: the sessions it left are closed all the same.
  gRun->Relay->Cancel();
  return 0;
}

// SIGINT and SIGTERM arrive through a descriptor that the loop watches, so that their handling runs
// as a message of the loop, never inside a signal handler.
int WatchSignals(platform::HWND Window) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  // Blocked before any other thread exists (the resolver's threads inherit the mask), so that the
  // signals reach the descriptor rather than a thread that would act on them.
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) return -1;
  platform::loop::Watch(fd, EPOLLIN, [fd, Window](std::uint32_t) {
    signalfd_siginfo info;
    while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
      platform::PostMessage(Window, MsgSignal, info.ssi_signo, 0);
  });
  return fd;
}

// Relaying is the job: a reader of standard output that goes away, or a saved file that reaches
// the size limit, ends only that writing. The write then fails (EPIPE, EFBIG) and is reported
// where it is made. The sockets send with MSG_NOSIGNAL and never raise SIGPIPE in any case.
void IgnoreWriteSignals() {
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
  ::sigaction(SIGXFSZ, &ignore, nullptr);
}

}  // namespace

namespace {

void StopWatchingSignals(int SignalFd) {
  if (SignalFd < 0) return;
  platform::loop::Unwatch(SignalFd);
  ::close(SignalFd);
}

// Entries are flushed one by one to a terminal, so that they show at once; to a file or a pipe
// they go in large writes. Colour only on a terminal, and not when NO_COLOR asks for none.
std::unique_ptr<THeadlessSink> StandardOutputSink(bool Hex) {
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  static char buffer[1 << 16];
  std::setvbuf(stdout, buffer, terminal ? _IOLBF : _IOFBF, sizeof buffer);
  const char* noColor = std::getenv("NO_COLOR");
  const bool color = terminal && (noColor == nullptr || *noColor == '\0');
  auto sink = std::make_unique<THeadlessSink>(stdout, Hex, color, terminal);
  sink->OnFailure = [](const std::string& Reason) {
    std::fprintf(stderr, "vantrel: writing entries stopped (the relay goes on): standard output: %s\n", Reason.c_str());
    std::fflush(stderr);
  };
  return sink;
}

// --save: every entry and session change is written and flushed as it comes, so that the file is
// whole up to the last entry however the program ends.
struct THeadlessSave {
  std::unique_ptr<TTrafficWriter> Writer;
  std::unique_ptr<TSavingSink> Saving;
  bool Reported = false;  // a failure has been said on standard error

  // False, said on standard error, when the file cannot be written at all.
  bool Open(const TCommandLine& Options, THeadlessSink& Sink) {
    Writer = MakeTrafficWriter(SaveFormatOf(Options.Save).value_or(sfCapture), Options.Save, false);
    Writer->Flush();  // a capture's headers, at once: a file that takes nothing fails here
    if (Writer->Failed()) {
      std::fprintf(stderr, "vantrel: cannot save: %s\n", Writer->Error().c_str());
      return false;
    }
    Saving = std::make_unique<TSavingSink>(*Writer, Options.Hex ? emHex : emText, Options.Quiet ? nullptr : &Sink);
    Saving->OnFailure = [this](const std::string& Message) {
      std::fprintf(stderr, "vantrel: saving stopped (the relay goes on): %s\n", Message.c_str());
      std::fflush(stderr);
      Reported = true;
    };
    return true;
  }
  // Closes the file; false when the save failed at any point. A save that stopped in the middle is
  // as incomplete as one that fails at its close.
  bool Finish() {
    if (Writer == nullptr) return true;
    if (!Writer->Failed()) Writer->Close();
    if (!Writer->Failed()) return true;
    if (!Reported) std::fprintf(stderr, "vantrel: saving failed: %s\n", Writer->Error().c_str());
    return false;
  }
};

TRelaySettings SettingsOf(const TCommandLine& Options) {
  TRelaySettings settings;
  settings.LocalPort = Options.LocalPort.value_or("8080");
  settings.RemoteAddr = Options.RemoteAddr.value_or("localhost");
  settings.RemotePort = Options.RemotePort.value_or("8080");
  settings.LineMode = Options.LineMode;
  settings.Tls = Options.Tls;
  return settings;
}

// Listens and relays until a signal has closed the listener and every session, or the listener
// has gone by itself and the sessions it left have ended; the exit status.
int ListenAndRelay(TRelay& Relay, const TRelaySettings& Settings, THeadlessSink& Sink, THeadlessRun& Run) {
  try {
    Relay.Listen(Settings);
    std::fprintf(stderr, "vantrel: listening on port %s, relaying to %s port %s\n",
                 Relay.WSocketServer()->GetBoundPort().c_str(), Settings.RemoteAddr.c_str(), Settings.RemotePort.c_str());
    std::fflush(stderr);
    auto ended = [&] {
      return !Relay.Listening() && Relay.SessionCount() == 0 && Relay.WSocketServer()->ClientCount() == 0;
    };
    // Entries go out in large writes while traffic flows; whenever the loop runs out of work what is
    // buffered goes out, so that a file being followed is never behind an idle relay.
    // With nothing buffered (--quiet, or all written) there is nothing to do before a wait: the
    // loop waits at once instead of looking for work first.
    while (!ended())
      if (!Sink.Buffered()) {
        platform::WaitAndDispatch(-1);
      } else if (!platform::WaitAndDispatch(0)) {
        Sink.Flush();
        if (!ended()) platform::WaitAndDispatch(-1);
      }
    if (Run.ListenerLost) {
      std::fprintf(stderr, "vantrel: stopped listening: %s\n",
                   Run.LastError.empty() ? "the listening socket closed" : OneLine(Run.LastError).c_str());
      return 1;
    }
  } catch (Exception& E) {
    std::fprintf(stderr, "vantrel: cannot listen on port %s: %s\n", Settings.LocalPort.c_str(), OneLine(E.Message()).c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int RunHeadless(const TCommandLine& Options) {
  IgnoreWriteSignals();
  std::unique_ptr<THeadlessSink> sink = StandardOutputSink(Options.Hex);

  const char* kWindowClass = "VantrelHeadless";
  if (!platform::IsWindowClassRegistered(kWindowClass)) platform::RegisterWindowClass(kWindowClass, HeadlessWindowProc);
  const platform::HWND window = platform::CreateNotifyWindow(kWindowClass);
  const int signalFd = WatchSignals(window);

  THeadlessSave save;
  if (!Options.Save.empty() && !save.Open(Options, *sink)) {
    platform::DestroyNotifyWindow(window);
    StopWatchingSignals(signalFd);
    return 1;
  }
  TEntrySink* entries = save.Saving != nullptr ? static_cast<TEntrySink*>(save.Saving.get())
                        : Options.Quiet        ? nullptr
                                               : sink.get();

  THeadlessRun run;
  TRelay relay(nullptr, entries);
  run.Relay = &relay;
  run.Entries = sink.get();
  gRun = &run;
  relay.OnBgException = [&run, &relay](TComponent* Sender, Exception& E, bool& CanClose) {
    run.LastError = E.Message();
    // The listener stays: the client waits in the backlog until a session ends. Said each time,
    // since nothing in the entries would tell of it.
    if (Sender == relay.WSocketServer() && !CanClose) {
      std::fprintf(stderr, "vantrel: cannot accept a client now: %s; it waits until a session ends\n",
                   OneLine(E.Message()).c_str());
      std::fflush(stderr);
    }
  };
  relay.OnSessionClosed = [&run](TComponent*, std::uint16_t) { run.ListenerLost = run.Signals == 0; };

  relay.SetFaults(Options.Faults);
  int status = ListenAndRelay(relay, SettingsOf(Options), *sink, run);
  sink->Flush();
  // A reader that has gone wanted no more; any other failure leaves output that a script must not
  // take for the whole.
  if (sink->Stopped() && sink->Errno() != EPIPE) status = 1;
  if (!save.Finish()) status = 1;
  gRun = nullptr;
  StopWatchingSignals(signalFd);
  platform::DestroyNotifyWindow(window);
  return status;
}
