// Intercept in the data path. A direction that Intercept covers gets an intercept stage first in
// line in its session's chain (FaultPath.cpp), before any fault stage: what a person decides on
// is what the peer sent, and the faults act on what is sent on.
//
//   read --> chain: [ intercept ] --> [ fault ] --StagePassed--> LogPassed --> the other side
//                       |  ^
//          OnChunkHeld  v  |  InterceptDecide / InterceptForwardAll / SetIntercept (off)
//                     the windows' queue
//
// Each held chunk is logged three ways over its life:
//   held       "Intercept: held #N to Remote", its bytes, outside the stream (no direction): the
//              sessions list and the captures count only what is sent
//   forwarded  "Intercept: forwarded #N to Remote" (no bytes, a capture's packet comment), then
//              its bytes as the direction's "From Local" entry
//   edited     "Intercept: edited #N to Remote, K bytes sent for J", the original bytes outside
//              the stream, then what was sent as "Edited to Remote", marked injected
//   dropped    "Intercept: dropped #N to Remote" (no bytes); "... lost" once its session has ended
// An edit's bytes may pass a later stage in pieces: where they lie in what the chain passes is
// kept in the session (Marks), so that every piece of them is logged as an edit.
#include <string>
#include <string_view>
#include <vector>

#include "platform/MessageLoop.h"
#include "relay/Relay.h"

namespace {

const char* Toward(TFaultDirection D) { return D == fdRemote ? " to Remote" : " to Local"; }
TEntryDirection EntryWay(TFaultDirection D) { return D == fdRemote ? edFromLocal : edFromRemote; }

TInterceptStage* InterceptOf(const TRelaySession& S, TFaultDirection D) {
  return S.Stages[D] ? S.Stages[D]->Find<TInterceptStage>() : nullptr;
}

}  // namespace

void TRelay::SetIntercept(const TInterceptSettings& Value) {
  FIntercept = Value;
  std::vector<std::uint64_t> ids;
  for (const auto& [id, s] : FSessions) ids.push_back(id);
  // Letting a queue go sends its chunks: a session's end that this brings about finds the list
  // of sessions unchanged under it.
  for (std::uint64_t id : ids) {
    auto it = FSessions.find(id);
    if (it != FSessions.end()) AttachIntercept(*it->second);
  }
}

// A stage for each direction that Intercept covers and that has none yet; a stage of a direction
// the new setting leaves out lets its queue go and passes everything from then on.
void TRelay::AttachIntercept(TRelaySession& S) {
  for (TFaultDirection d : {fdRemote, fdLocal}) {
    TInterceptStage* stage = InterceptOf(S, d);
    if (!FIntercept.Covers(d)) {
      if (stage != nullptr) stage->SetActive(false);
      continue;
    }
    if (stage == nullptr) {
      if (S.GivenUp()) continue;
      TStageChain& chain = Chain(S, d);
      // The bytes the later stages still hold leave before the intercept stage's first one.
      S.Marks[d] = std::make_unique<TRelaySession::TEditMarks>();
      S.Marks[d]->Base = chain.Held();
      auto made = std::make_unique<TInterceptStage>(S.Id, d);
      stage = made.get();
      const std::uint64_t id = S.Id;
      stage->OnChunkHeld = [this, id](const TInterceptedChunk& C) { InterceptHeld(id, C); };
      stage->OnChunkLeft = [this, id](const TInterceptedChunk& C, TInterceptAction How, std::string_view Sent) {
        InterceptLeft(id, C, How, Sent);
      };
      chain.Add(std::move(made));
    }
    stage->SetMatch(FIntercept.Match);
    stage->SetActive(true);
  }
}

void TRelay::InterceptHeld(std::uint64_t Id, const TInterceptedChunk& Chunk) {
  auto it = FSessions.find(Id);
  if (it == FSessions.end()) return;
  FHeldChunks[Chunk.Number] = {Id, Chunk.Direction};
  const std::string title = "Intercept: held #" + std::to_string(Chunk.Number) + Toward(Chunk.Direction);
  Entry(*it->second, title.c_str(), Chunk.Bytes);
  if (OnChunkHeld) OnChunkHeld(Chunk);
}

void TRelay::InterceptLeft(std::uint64_t Id, const TInterceptedChunk& Chunk, TInterceptAction How,
                           std::string_view Sent) {
  FHeldChunks.erase(Chunk.Number);
  auto it = FSessions.find(Id);
  if (it != FSessions.end() && !platform::ApplicationTerminated()) {
    TRelaySession& s = *it->second;
    const TFaultDirection d = Chunk.Direction;
    const std::string number = "#" + std::to_string(Chunk.Number) + Toward(d);
    std::string title;
    switch (How) {
      case iaForward:
        title = "Intercept: forwarded " + number;
        Entry(s, title.c_str(), std::string(), EntryWay(d));
        break;
      case iaEdit: {
        title = "Intercept: edited " + number + ", " + std::to_string(Sent.size()) + " bytes sent for " +
                std::to_string(Chunk.Bytes.size());
        Entry(s, title.c_str(), Chunk.Bytes);
        const TInterceptStage* stage = InterceptOf(s, d);
        if (stage != nullptr && s.Marks[d]) {
          const std::uint64_t from = s.Marks[d]->Base + stage->PassedBytes();
          s.Marks[d]->Edits.emplace_back(from, from + Sent.size());
        }
        break;
      }
      case iaDrop:
        title = "Intercept: dropped " + number;
        Entry(s, title.c_str(), std::string(), EntryWay(d));
        break;
      case iaLost:
        title = "Intercept: " + number + " lost: the session has ended";
        Entry(s, title.c_str());
        break;
      case iaUndecided:
        break;
    }
  }
  if (OnChunkLeft) OnChunkLeft(Chunk.Number, How);
}

// What a chain passes, as entries of its direction: the pieces that an edit sent are "Edited to
// Remote" (or Local) and injected, the rest "From Local" (or Remote).
void TRelay::LogPassed(TRelaySession& S, TFaultDirection D, std::string_view Bytes) {
  const char* plain = D == fdRemote ? "From Local" : "From Remote";
  const char* edited = D == fdRemote ? "Edited to Remote" : "Edited to Local";
  if (!S.Marks[D]) {
    Entry(S, plain, std::string(Bytes), EntryWay(D));
    return;
  }
  TRelaySession::TEditMarks& m = *S.Marks[D];
  std::size_t done = 0;
  while (done < Bytes.size()) {
    while (!m.Edits.empty() && m.Edits.front().second <= m.Out) m.Edits.erase(m.Edits.begin());
    std::size_t n = Bytes.size() - done;
    bool edit = false;
    if (!m.Edits.empty()) {
      const auto [from, to] = m.Edits.front();
      if (from <= m.Out) {
        edit = true;
        n = std::min<std::uint64_t>(n, to - m.Out);
      } else {
        n = std::min<std::uint64_t>(n, from - m.Out);
      }
    }
    Entry(S, edit ? edited : plain, std::string(Bytes.substr(done, n)), EntryWay(D), edit);
    done += n;
    m.Out += n;
  }
}

bool TRelay::InterceptDecide(std::uint64_t Number, TInterceptAction How, const std::string& Edited,
                             std::string& Error) {
  const std::string name = "chunk #" + std::to_string(Number);
  auto held = FHeldChunks.find(Number);
  auto it = held != FHeldChunks.end() ? FSessions.find(held->second.first) : FSessions.end();
  TInterceptStage* stage = it != FSessions.end() ? InterceptOf(*it->second, held->second.second) : nullptr;
  if (stage == nullptr) {
    Error = name + " is no longer held";
    return false;
  }
  if (How != iaForward && How != iaEdit && How != iaDrop) {
    Error = name + ": forward, edit or drop";
    return false;
  }
  const TRelaySession& s = *it->second;
  if (How != iaDrop) {
    const TWSocket* to = stage->Direction() == fdRemote ? s.Remote : static_cast<const TWSocket*>(s.Client);
    if (to == nullptr || to->State() != wsConnected) {
      Error = name + ": " + (stage->Direction() == fdRemote ? "the remote side" : "the local client") +
              " has closed; the chunk can only be dropped";
      return false;
    }
  }
  if (How == iaEdit && Edited.empty()) {
    Error = name + ": the edit is empty; drop the chunk instead";
    return false;
  }
  if (!stage->Decide(Number, How, Edited)) {
    Error = name + " is decided already";
    return false;
  }
  return true;
}

void TRelay::InterceptForwardAll() {
  std::vector<std::uint64_t> ids;
  for (const auto& [id, s] : FSessions) ids.push_back(id);
  for (std::uint64_t id : ids)
    for (TFaultDirection d : {fdRemote, fdLocal}) {
      auto it = FSessions.find(id);
      if (it == FSessions.end()) break;
      if (TInterceptStage* stage = InterceptOf(*it->second, d)) stage->ForwardAll();
    }
}

void TRelay::AbandonIntercept(TRelaySession& S) {
  for (TFaultDirection d : {fdRemote, fdLocal})
    if (TInterceptStage* stage = InterceptOf(S, d)) stage->Abandon();
}
