// What the main window does on the log's behalf beyond relaying: resending logged bytes, and
// replaying sessions of the log over new connections with a comparison of the answers.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <list>
#include <map>
#include <thread>

#include "app/uMain.h"
#include "log/uLog.h"
#include "platform/MessageLoop.h"
#include "replay/Replay.h"

namespace {

constexpr platform::UINT MsgDispose = platform::WM_USER + 1;  // replays that are done go
const char* const kActsWindowClass = "VantrelMainActs";

}  // namespace

// Everything here runs on the loop thread but the reader, which only reads the record and fills
// Read; the loop learns that it has finished through an eventfd that it watches.
struct TMain::TActs {
  // A resend into a new session: the chunks as a recorded session of their own, and its replayer.
  struct TResend {
    TRecordedSession Recorded;
    std::unique_ptr<TReplayer> Replayer;
  };
  std::list<TResend> Resends;
  std::unique_ptr<TReplay> Replay;
  std::thread Reader;  // takes the sessions to replay out of the record
  bool Reading = false;
  std::vector<TRecordedSession> Read;  // the reader's, until it has finished
  std::string ReadError;
  std::function<void()> OnRead;  // on the loop thread, once the reader has finished
  int ReadDone = -1;             // the eventfd
  platform::HWND Window = 0;

  TActs() {
    if (!platform::IsWindowClassRegistered(kActsWindowClass))
      platform::RegisterWindowClass(kActsWindowClass, [](platform::HWND Wnd, platform::UINT Msg, platform::WPARAM,
                                                         platform::LPARAM) -> platform::LRESULT {
        auto* acts = reinterpret_cast<TActs*>(platform::GetWindowLongPtr(Wnd));
        if (acts != nullptr && Msg == MsgDispose) acts->Dispose();
        return 0;
      });
    Window = platform::CreateNotifyWindow(kActsWindowClass);
    platform::SetWindowLongPtr(Window, reinterpret_cast<std::intptr_t>(this));
    ReadDone = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    platform::loop::Watch(ReadDone, EPOLLIN, [this](std::uint32_t) {
      std::uint64_t n = 0;
      if (::read(ReadDone, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) return;
      if (Reader.joinable()) Reader.join();  // it has finished: the join does not wait
      Reading = false;
      if (OnRead) OnRead();
    });
  }
  ~TActs() {
    if (Reader.joinable()) Reader.join();
    platform::loop::Unwatch(ReadDone);
    ::close(ReadDone);
    // The replays go before the sink they write to; their connections close and they raise nothing.
    Replay.reset();
    Resends.clear();
    platform::DestroyNotifyWindow(Window);
  }
  // Posted from a replay's OnDone: it must not be destroyed inside its own handler.
  void PostDispose() { platform::PostMessage(Window, MsgDispose, 0, 0); }
  void Dispose() {
    Resends.remove_if([](const TResend& R) { return R.Replayer->Done(); });
    if (Replay != nullptr && Replay->Done()) Replay.reset();
  }
};

void TMain::TActsDeleter::operator()(TActs* Acts) const { delete Acts; }

namespace {

// The colour a new session takes: the one the next client would get.
TColor NewSessionColor() {
  return ConnectionColor(WSocketServer != nullptr ? WSocketServer->ClientCount() + 1 : 1);
}

void LogResult(TEntrySink& Sink, const std::string& Title, const std::string& Text) {
  Sink.SetEntryColor(clBlack);
  Sink.SetEntryTitle(Title);
  Sink.AddEntry(Text);
}

}  // namespace

bool TMain::Acting() const noexcept {
  return FActs != nullptr && (!FActs->Resends.empty() || FActs->Replay != nullptr || FActs->Reading);
}

bool TMain::Resend(const std::vector<std::uint64_t>& Entries, std::string& Report) {
  if (Log == nullptr || FRelay == nullptr) {
    Report = "nothing relays here";
    return false;
  }
  if (FActs == nullptr) FActs.reset(new TActs);
  const TTrafficRecord& record = Log->Record();
  // Read first, then send: a send adds entries to the record being read.
  struct TChunk {
    TRecordEntry Entry;
    std::string Body;
  };
  std::vector<TChunk> chunks;
  std::size_t lost = 0;
  for (std::uint64_t index : Entries) {
    TChunk c;
    if (!record.Entry(index, c.Entry) || c.Entry.Direction == edNone || c.Entry.Session == 0) continue;
    if (c.Entry.BodyLength == 0) continue;
    if (!record.ReadBody(index, 0, c.Entry.BodyLength, c.Body)) {
      ++lost;
      continue;
    }
    chunks.push_back(std::move(c));
  }
  if (chunks.empty()) {
    Report = lost != 0 ? "the log no longer holds the bytes of those entries" : "those entries hold no bytes to send";
    return false;
  }
  std::size_t sent = 0, again = 0;
  std::string refused;
  // Sessions that are not open: their chunks, in order, for a new session each.
  std::map<std::uint64_t, TRecordedSession> fresh;
  for (const TChunk& c : chunks) {
    const TSendTo to = c.Entry.Direction == edFromLocal ? stRemote : stLocal;
    std::string why;
    if (FRelay->HasSession(c.Entry.Session)) {
      if (FRelay->Send(c.Entry.Session, to, c.Body, why)) {
        ++sent;
      } else if (refused.empty()) {
        refused = why;
      }
      continue;
    }
    TRecordedSession& s = fresh[c.Entry.Session];
    if (s.Chunks.empty()) {
      TSessionInfo info;
      record.Session(c.Entry.Session, info);
      s.Number = c.Entry.Session;
      s.RemoteAddr = !info.RemoteAddr.empty() ? info.RemoteAddr : info.RemoteHost;
      s.RemotePort = info.RemotePort;
      s.ConnectedUs = info.ConnectedUs != 0 ? info.ConnectedUs : WallClockUs();
      s.StartUs = s.ConnectedUs;
    }
    TRecordedChunk chunk;
    chunk.Direction = edFromLocal;  // toward the remote side, whichever way it went first
    chunk.TimeUs = c.Entry.TimeUs;
    chunk.Offset = s.StreamLength(edFromLocal);
    chunk.Bytes = c.Body;
    s.Chunks.push_back(std::move(chunk));
    ++again;
  }
  std::vector<std::uint64_t> numbers;
  for (auto& [number, recorded] : fresh) {
    if (recorded.RemoteAddr.empty() || recorded.RemotePort == 0) {
      if (refused.empty()) refused = "session " + std::to_string(number) + " never knew its remote side";
      again -= recorded.Chunks.size();
      continue;
    }
    FActs->Resends.emplace_back();
    auto it = std::prev(FActs->Resends.end());
    it->Recorded = std::move(recorded);
    TReplaySettings settings;
    settings.Injected = true;
    const std::uint64_t id = TRelay::NewSessionNumber();
    numbers.push_back(id);
    it->Replayer = std::make_unique<TReplayer>(it->Recorded, settings, FLogSink.get(), id, NewSessionColor());
    TActs* acts = FActs.get();
    it->Replayer->OnDone = [acts](TReplayer&) { acts->PostDispose(); };
    it->Replayer->Start();
  }
  Report.clear();
  if (sent != 0) Report = "resent " + std::to_string(sent) + (sent == 1 ? " entry" : " entries");
  if (again != 0) {
    std::string list;
    for (std::uint64_t n : numbers) list += (list.empty() ? "" : ", ") + std::to_string(n);
    Report += (Report.empty() ? "resent " : "; ") + std::to_string(again) + (again == 1 ? " entry" : " entries") +
              " into new " + (numbers.size() == 1 ? "session " : "sessions ") + list;
  }
  if (!refused.empty()) Report += (Report.empty() ? "" : "; ") + refused;
  return sent + again != 0;
}

bool TMain::ReplaySessions(const std::vector<std::uint64_t>& Ids, std::string& Report) {
  if (Log == nullptr) {
    Report = "no log to replay from";
    return false;
  }
  if (Ids.empty()) {
    Report = "select the sessions to replay in the list";
    return false;
  }
  if (FActs == nullptr) FActs.reset(new TActs);
  if (FActs->Replay != nullptr || FActs->Reading) {
    Report = "a replay is already running";
    return false;
  }
  if (FActs->Reader.joinable()) FActs->Reader.join();
  FActs->Reading = true;
  FActs->Read.clear();
  FActs->ReadError.clear();
  FActs->OnRead = [this] {
    TActs& acts = *FActs;
    std::string why = acts.ReadError;
    if (!acts.Read.empty()) {
      acts.Replay = std::make_unique<TReplay>(FLogSink.get());
      TReplayOptions options;
      options.NewSessionId = [] { return TRelay::NewSessionNumber(); };
      options.Color = NewSessionColor();
      acts.Replay->OnDone = [this](TReplay& R) {
        LogResult(*FLogSink, "Replay Result", R.Result().Text());
        FActs->PostDispose();
      };
      if (acts.Replay->Start(std::move(acts.Read), options, why)) return;
      acts.Replay.reset();
    }
    LogResult(*FLogSink, "Replay Result", "cannot replay: " + why + "\n");
  };
  const TTrafficRecord* record = &Log->Record();
  TActs* acts = FActs.get();
  // SessionFromRecord reads the whole record: on a worker, as saving does; the replay itself
  // starts on the loop thread once it has them.
  FActs->Reader = std::thread([acts, record, Ids] {
    for (std::uint64_t id : Ids) {
      TRecordedSession s;
      std::string why;
      if (SessionFromRecord(*record, id, s, why))
        acts->Read.push_back(std::move(s));
      else if (acts->ReadError.empty())
        acts->ReadError = why;
    }
    const std::uint64_t one = 1;
    (void)!::write(acts->ReadDone, &one, sizeof one);
  });
  Report = "replaying " + std::to_string(Ids.size()) + (Ids.size() == 1 ? " session" : " sessions");
  return true;
}
