// Faults on demand in the data path, and the chains of stages that faults and Intercept share. A
// session gets a chain for a direction once the listener has a fault for it or Intercept covers
// it (at its set-up, or when either is set while it runs); without one the direction's path is the
// plain one of Forwarding.cpp, untouched. With one, every chunk read
// goes into the chain instead of straight to the other socket, and what comes out is logged and
// sent then:
//
//   read --> ForwardFromLocal --> chain (toward Remote) --StagePassed--> "From Local" entry --> Remote
//   read --> ForwardFromRemote --> chain (toward Local) --StagePassed--> "From Remote" entry --> Client
//
// So an entry stands at the time its bytes left the relay: a delayed chunk is logged when it is
// sent, a sliced one as one entry a piece, and a side's end of stream where it reached the other
// side, after the bytes before it. What a fault does writes an entry of its own ("Fault: ..."),
// of the direction it acted on, without bytes: a capture carries it as a packet's comment.
//
// A chain that holds too much asks for the reading side to be paused (StageHeld); reading resumes
// once neither the chain nor the other side's send chain holds too much. A fault reset resets both
// sides once the bytes before it have left; a fault limit ends the stream toward its side. Chains
// outlive their session's events: a session that ends parks them, and they are destroyed from the
// loop, never inside one of their own events.
#include <string_view>

#include "relay/Relay.h"
#include "relay/RelayParts.h"

using namespace relay_parts;

namespace {

TEntryDirection EntryDirection(TFaultDirection D) { return D == fdRemote ? edFromLocal : edFromRemote; }

}  // namespace

void TRelay::SetFaults(const TFaultSet& Value) {
  FFaults.SetFaults(Value);  // the stages already made take it at their next byte
  for (auto& [id, s] : FSessions)
    if (!s->GivenUp()) AttachStages(*s);
}

std::size_t TRelay::FaultHeldBytes() const {
  std::size_t n = 0;
  for (const auto& [id, s] : FSessions)
    for (const auto& chain : s->Stages)
      if (chain) n += chain->Held();
  return n;
}

// A direction's chain, made and wired to the relay the first time a stage joins it.
TStageChain& TRelay::Chain(TRelaySession& S, TFaultDirection D) {
  auto& chain = S.Stages[D];
  if (chain) return *chain;
  chain = std::make_unique<TStageChain>();
  const std::uint64_t id = S.Id;
  chain->OnPass = [this, id, D](std::string_view Bytes) { StagePassed(id, D, Bytes); };
  chain->OnEnd = [this, id, D](TStreamEnd How) { StageEnded(id, D, How); };
  chain->OnHold = [this, id, D](bool Pause) { StageHeld(id, D, Pause); };
  chain->OnNote = [this, id, D](const std::string& Title) {
    auto it = FSessions.find(id);
    if (it != FSessions.end()) Entry(*it->second, Title.c_str(), std::string(), EntryDirection(D));
  };
  return *chain;
}

// A fault stage, last in line, for each direction that has a fault and none yet; then Intercept's
// stages as its settings say.
void TRelay::AttachStages(TRelaySession& S) {
  for (TFaultDirection d : {fdRemote, fdLocal}) {
    if (!FFaults.Active(d) || (S.Stages[d] && S.Stages[d]->Find<TFaultStage>() != nullptr)) continue;
    Chain(S, d).Append(FFaults.MakeStage(d));
  }
  AttachIntercept(S);
}

bool TRelay::StagesHold(const TRelaySession& S, TFaultDirection D) const {
  return S.Stages[D] && S.Stages[D]->Holding();
}

bool TRelay::EndIntoStages(TRelaySession& S, TFaultDirection D) {
  auto& chain = S.Stages[D];
  if (!chain || chain->Ended()) return false;
  if (S.EndInStages[D] == seOpen) {
    S.EndInStages[D] = seFinished;
    chain->WriteEnd();
  }
  return true;
}

// A side that resets while the chain toward the other side holds bytes it sent: the relay has
// taken those bytes, so they go first and the reset follows them, as it does on the plain path
// behind the bytes queued in the socket. The chain's end carries it (StageEnded).
// Chunks that the user holds are not waited for: they may be held for as long as the user likes,
// and a reset is not to wait for that, so it goes on at once and they are lost (InterceptPath.cpp).
bool TRelay::ResetIntoStages(TRelaySession& S, TFaultDirection D) {
  auto& chain = S.Stages[D];
  if (!chain || chain->Ended() || (chain->Held() == 0 && S.EndInStages[D] == seOpen)) return false;
  if (const TInterceptStage* intercept = chain->Find<TInterceptStage>(); intercept != nullptr && intercept->Held() != 0)
    return false;
  const bool written = S.EndInStages[D] != seOpen;
  S.EndInStages[D] = seReset;
  if (!written) chain->WriteEnd();
  return true;
}

// While the local client's end makes its way through the chain toward Remote, entries of the
// local side wait behind it (LocalEntry), and so behind the bytes before it.
bool TRelay::LocalEndInStages(const TRelaySession& S) const { return S.EndInStages[fdRemote] != seOpen; }

// Bytes out of a chain: logged now (LogPassed: as "From Local" or "From Remote", an intercepted
// chunk's edit as an edit), and sent to the other side.
void TRelay::StagePassed(std::uint64_t Id, TFaultDirection D, std::string_view Bytes) {
  auto it = FSessions.find(Id);
  if (it == FSessions.end()) return;
  TRelaySession& s = *it->second;
  if (D == fdRemote) {
    LogPassed(s, D, Bytes);
    if (s.Remote == nullptr || s.Remote->State() != wsConnected) return;
    s.Remote->Send(Bytes.data(), static_cast<std::int32_t>(Bytes.size()));
    if (s.Client != nullptr) HoldBack(*s.Client, *s.Remote);
  } else {
    LogPassed(s, D, Bytes);
    if (s.Client == nullptr || s.Client->State() != wsConnected) {
      Entry(s, "Error: Local has closed");
      return;
    }
    s.Client->Send(Bytes.data(), static_cast<std::int32_t>(Bytes.size()));
    if (s.Remote != nullptr) HoldBack(*s.Remote, *s.Client);
  }
}

// The end of a chain: the reading side's own end, once the bytes before it have left; a limit's
// half-close; or a fault's reset of the whole session.
void TRelay::StageEnded(std::uint64_t Id, TFaultDirection D, TStreamEnd How) {
  auto it = FSessions.find(Id);
  if (it == FSessions.end()) return;
  const std::shared_ptr<TRelaySession> hold = it->second;  // the session stays while this runs
  TRelaySession& s = *hold;
  const TFaultStage* stage = s.Stages[D]->Find<TFaultStage>();
  const std::string fault = stage != nullptr ? stage->EndedBy() : std::string();
  const TStreamEnd end = s.EndInStages[D];
  s.EndInStages[D] = seOpen;
  // The local side's entries that waited for the chain come after what ends it.
  std::vector<const char*> after;
  if (D == fdRemote) after.swap(s.HeldLocalEntries);
  struct TWriteAfter {
    TRelay& R;
    TRelaySession& S;
    std::vector<const char*>& Titles;
    ~TWriteAfter() {
      for (const char* t : Titles) R.Entry(S, t);
    }
  } writeAfter{*this, s, after};
  if (How == seReset) {
    s.Info.Fault = fault;
    s.Info.LocalEnd = s.Info.RemoteEnd = seReset;
    s.FaultReset = true;  // the resets that follow are the relay's, not a side's
    SessionChanged(s);
    if (s.Remote != nullptr && s.Remote->State() == wsConnected) s.Remote->CloseWithReset();
    if (s.Client != nullptr && s.Client->State() == wsConnected) s.Client->CloseWithReset();
    return;
  }
  if (fault.empty()) {
    // The reading side's end, where it reached the other side. The local client's end before the
    // connection was made is logged already (it waits among the held entries).
    const bool reset = end == seReset;
    if (D == fdRemote && s.Info.LocalEnd != seOpen) {
      if (s.Remote != nullptr && s.Remote->State() == wsConnected) {
        if (reset) s.Remote->CloseWithReset();
        else s.Remote->Shutdown(1);
      }
    } else if (D == fdRemote) {
      reset ? PassLocalReset(s) : PassLocalEnd(s);
    } else {
      reset ? PassRemoteReset(s) : PassRemoteEnd(s);
    }
    return;
  }
  s.Info.Fault = fault;
  SessionChanged(s);
  if (D == fdRemote && s.Remote != nullptr && s.Remote->State() == wsConnected) s.Remote->Shutdown(1);
  if (D == fdLocal && s.Client != nullptr && s.Client->State() == wsConnected) s.Client->Shutdown(1);
}

// A chain asks for its reading side to pause, or lets it go on; it goes on only once the other
// side's send chain has room as well.
void TRelay::StageHeld(std::uint64_t Id, TFaultDirection D, bool Pause) {
  auto it = FSessions.find(Id);
  if (it == FSessions.end()) return;
  TRelaySession& s = *it->second;
  TWSocket* from = D == fdRemote ? static_cast<TWSocket*>(s.Client) : s.Remote;
  TWSocket* to = D == fdRemote ? s.Remote : static_cast<TWSocket*>(s.Client);
  if (from == nullptr) return;
  if (Pause) from->PauseReceiving();
  else if (from->ReceivingPaused() && (to == nullptr || to->BufferedSendBytes() < kHoldBack)) from->ResumeReceiving();
}

// A refused client is a session of its own that ends at once: an entry, its facts, and a reset.
bool TRelay::RefuseAtAccept(TClient& Client) {
  if (!FFaults.DrawRefusal()) return false;
  NewSession(Client);
  TRelaySession& s = *Client.FSession;
  const std::string title = RefusalTitle(*FFaults.Faults().Find(fdListener, fkRefuse));
  Entry(s, title.c_str());
  s.SetFailed();
  s.Info.State = ssReset;
  s.Info.Fault = title;
  s.Info.Reason = title;
  SessionChanged(s);
  Client.CloseWithReset();
  return true;
}

// A session that ends parks its chains: they are destroyed from the loop, never inside one of
// their own events, and whatever they still raise finds no session. The chunks Intercept holds
// go with them, each logged as lost first.
void TRelay::DropStages(TRelaySession& S) {
  AbandonIntercept(S);
  for (auto& chain : S.Stages)
    if (chain) FDeadStages.push_back(std::move(chain));
  if (!FDeadStages.empty() && !FFreeStages.Running()) FFreeStages.Start(TStageTimer::NowUs());
}
