// The fault stage (see FaultStage.h for the order of things inside it).
#include "stream/FaultStage.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

// The cuts, in the order FCuts keeps them.
constexpr TFaultKind kCutKinds[3] = {fkStall, fkLimit, fkReset};

int CutIndex(TFaultKind Kind) { return Kind == fkStall ? 0 : Kind == fkLimit ? 1 : 2; }

// Corrupt's notes name at most this many offsets of one chunk.
constexpr std::size_t kNamedFlips = 4;

}  // namespace

// ---- the bucket ----

void TTokenBucket::SetRate(std::uint64_t BytesPerSecond) {
  if (BytesPerSecond == FRate) return;
  FRate = BytesPerSecond;
  FTokens = std::min(FTokens, static_cast<double>(Quantum()));
}

std::uint64_t TTokenBucket::Quantum() const noexcept { return std::max<std::uint64_t>(1, FRate / 100); }

void TTokenBucket::Refill(std::int64_t NowUs) {
  if (FLastUs == 0 || NowUs < FLastUs) FLastUs = NowUs;
  // The burst: 20 ms of the rate, and never less than two quanta, so that a taker woken by its
  // timer a little late finds what it waited for and the long-run rate stays the setting.
  const double burst = std::max(static_cast<double>(FRate) * 0.02, 2.0 * static_cast<double>(Quantum()));
  FTokens = std::min(burst, FTokens + static_cast<double>(FRate) * static_cast<double>(NowUs - FLastUs) / 1e6);
  FLastUs = NowUs;
}

std::uint64_t TTokenBucket::Take(std::int64_t NowUs, std::uint64_t Want) {
  if (FRate == 0) return Want;
  Refill(NowUs);
  const auto n = std::min<std::uint64_t>(Want, static_cast<std::uint64_t>(std::floor(FTokens)));
  FTokens -= static_cast<double>(n);
  return n;
}

// A taker waits until a quantum is there (or all it wants, when that is less).
std::int64_t TTokenBucket::ReadyAt(std::int64_t NowUs, std::uint64_t Want) {
  Refill(NowUs);
  const double need = static_cast<double>(std::min(Want, Quantum())) - FTokens;
  if (need <= 0 || FRate == 0) return NowUs;
  return NowUs + static_cast<std::int64_t>(std::ceil(need * 1e6 / static_cast<double>(FRate)));
}

// ---- the stage ----

TFaultStage::TFaultStage(std::shared_ptr<TFaultHub> Hub, TFaultDirection Direction)
    : FHub(std::move(Hub)), FDirection(Direction), FRandom(FHub->Random()) {
  FHub->Stages.push_back(this);
  FPumpTimer.OnFire = [this] { Pump(); };
  for (int i = 0; i < 3; ++i) FCuts[i].Timer.OnFire = [this, i] { Fire(kCutKinds[i]); };
  SetFaults(FHub->Faults);
}

TFaultStage::~TFaultStage() { std::erase(FHub->Stages, this); }

const TFaultSpec* TFaultStage::Rule(TFaultKind Kind) const {
  for (const TFaultSpec& s : FSpecs)
    if (s.Kind == Kind) return &s;
  return nullptr;
}

void TFaultStage::SetFaults(const TFaultSet& Faults) {
  std::vector<TFaultSpec> rules;
  for (const TFaultSpec& s : Faults.Faults())
    if (s.Direction == FDirection) rules.push_back(s);
  // What each cut was set to, to tell a change from the same setting given again.
  TFaultSpec before[3];
  bool had[3] = {};
  for (int i = 0; i < 3; ++i)
    if (FCuts[i].Rule != nullptr) {
      before[i] = *FCuts[i].Rule;
      had[i] = true;
    }
  const TFaultSpec* shaping[3] = {Rule(fkLatency), Rule(fkBandwidth), Rule(fkSlicer)};
  TFaultSpec shapingBefore[3];
  bool shapingHad[3] = {};
  for (int i = 0; i < 3; ++i)
    if (shaping[i] != nullptr) {
      shapingBefore[i] = *shaping[i];
      shapingHad[i] = true;
    }
  FSpecs = std::move(rules);
  const std::int64_t now = TStageTimer::NowUs();
  for (int i = 0; i < 3; ++i) {
    TCut& c = FCuts[i];
    c.Rule = Rule(kCutKinds[i]);
    const bool same = c.Rule != nullptr && had[i] && *c.Rule == before[i];
    if (same) continue;
    c.Timer.Stop();
    c.Fired = false;
    c.SinceUs = now;
  }
  // A stall taken away or set anew lets its held bytes go (a new one stops them again).
  if (FCuts[0].Rule == nullptr || !FCuts[0].Fired) {
    std::erase_if(FQueue, [](const TItem& I) { return I.Mark == mkStall; });
    if (FStalled) Note("Fault: stall " + Where() + " taken away; the bytes it held go on");
    FStalled = false;
  }
  for (int i = 0; i < 3; ++i) {
    const TFaultSpec* now_ = Rule(i == 0 ? fkLatency : i == 1 ? fkBandwidth : fkSlicer);
    if (now_ == nullptr || !shapingHad[i] || !(*now_ == shapingBefore[i])) FNotedShaping[i] = false;
  }
  if (const TFaultSpec* b = Rule(fkBandwidth)) {
    FBucket = b->PerListener ? FHub->Shared[FDirection] : (FBucket && FBucket != FHub->Shared[FDirection]
                                                                ? FBucket
                                                                : std::make_shared<TTokenBucket>());
    FBucket->SetRate(b->Rate);
  } else {
    FBucket.reset();
  }
  if (Rule(fkSlicer) == nullptr) FPieceLeft = 0;
  for (int i = 0; i < 3; ++i) ArmCut(kCutKinds[i]);
  if (!Ended()) Pump();
}

// A cut by bytes already passed acts at once; one by time gets its timer.
void TFaultStage::ArmCut(TFaultKind Kind) {
  TCut& c = FCuts[CutIndex(Kind)];
  if (c.Rule == nullptr || c.Fired || Ended() || FInputCut) return;
  if (c.Rule->Trigger == ftTime && !c.Timer.Running()) c.Timer.Start(c.SinceUs + c.Rule->TimeUs);
  if (c.Rule->Trigger == ftBytes && FIn >= c.Rule->Bytes) Fire(Kind);
}

std::string TFaultStage::Trigger(const TFaultSpec& S) const {
  if (S.Trigger == ftBytes) return "after " + BytesText(S.Bytes);
  if (S.Trigger == ftTime) return "after " + TimeText(S.TimeUs);
  std::string shown = FaultText(S);
  shown = shown.substr(shown.find('=') + 1);
  return "once " + shown + " passed";
}

// A cut acts: its marker goes behind what entered before it.
void TFaultStage::Fire(TFaultKind Kind) {
  TCut& c = FCuts[CutIndex(Kind)];
  if (c.Rule == nullptr || c.Fired || Ended() || FInputCut) return;
  c.Fired = true;
  c.Timer.Stop();
  TItem marker;
  if (Kind == fkStall) {
    marker.Mark = mkStall;
    marker.Why = "Fault: stall " + Trigger(*c.Rule) + " " + Where();
  } else if (Kind == fkLimit) {
    marker.Mark = mkLimit;
    marker.Why = "Fault: end of stream " + Trigger(*c.Rule) + " " + Where();
    FInputCut = true;
  } else {
    marker.Mark = mkReset;
    marker.Why = "Fault: reset " + Trigger(*c.Rule) + " " + Where();
    FInputCut = true;
  }
  if (FInputCut) {
    // Nothing after the cut: the other cuts will not act any more.
    for (TCut& other : FCuts) other.Timer.Stop();
  }
  Queue(std::move(marker));
  Pump();
}

// Where in Rest the reset pattern's last byte ends (one past it), or npos.
std::size_t TFaultStage::PatternEnd(std::string_view Rest) const {
  const TFaultSpec* r = FCuts[2].Rule;
  const std::string& p = r->Pattern;
  // Across the boundary: the tail (at most the pattern less one byte) and the first bytes of Rest.
  if (!FTail.empty()) {
    std::string joined = FTail;
    joined.append(Rest.substr(0, p.size() - 1));
    const std::size_t at = joined.find(p);
    if (at != std::string::npos) return at + p.size() - FTail.size();
  }
  const std::size_t at = Rest.find(p);
  return at == std::string_view::npos ? at : at + p.size();
}

void TFaultStage::RememberTail(std::string_view Bytes) {
  const TFaultSpec* r = FCuts[2].Rule;
  if (r == nullptr || r->Trigger != ftPattern || r->Pattern.size() < 2) {
    FTail.clear();
    return;
  }
  const std::size_t keep = r->Pattern.size() - 1;
  if (Bytes.size() >= keep) {
    FTail.assign(Bytes.substr(Bytes.size() - keep));
  } else {
    FTail.append(Bytes);
    if (FTail.size() > keep) FTail.erase(0, FTail.size() - keep);
  }
}

void TFaultStage::Write(std::string_view Chunk) {
  if (Ended() || FInputCut) {
    FDropped += Chunk.size();
    return;
  }
  while (!Chunk.empty()) {
    // The nearest cut in this chunk: by bytes, or where the pattern ends.
    std::size_t cut = std::string_view::npos;
    TFaultKind cutKind = fkStall;
    for (int i = 0; i < 3; ++i) {
      const TCut& c = FCuts[i];
      if (c.Rule == nullptr || c.Fired) continue;
      std::size_t at = std::string_view::npos;
      if (c.Rule->Trigger == ftBytes) at = c.Rule->Bytes > FIn ? static_cast<std::size_t>(std::min<std::uint64_t>(c.Rule->Bytes - FIn, SIZE_MAX)) : 0;
      else if (c.Rule->Trigger == ftPattern) at = PatternEnd(Chunk);
      if (at != std::string_view::npos && at <= Chunk.size() && (cut == std::string_view::npos || at < cut)) {
        cut = at;
        cutKind = kCutKinds[i];
      }
    }
    const std::size_t take = std::min(cut, Chunk.size());
    if (take > 0) {
      const std::string_view part = Chunk.substr(0, take);
      RememberTail(part);
      Enter(part);
      Chunk.remove_prefix(take);
    }
    if (cut == std::string_view::npos) break;
    Fire(cutKind);
    if (Ended() || FInputCut) {
      FDropped += Chunk.size();
      break;
    }
  }
  CheckHold();
}

// Bytes past the triggers: corrupted if asked, then due for sending.
void TFaultStage::Enter(std::string_view Bytes) {
  const std::uint64_t at = FIn;
  FIn += Bytes.size();
  std::string corrupted;
  if (const TFaultSpec* c = Rule(fkCorrupt)) {
    // Every N-th byte of the stream: offsets N-1, 2N-1, ...
    const std::uint64_t n = c->Bytes;
    std::uint64_t first = (at / n + 1) * n - 1;
    if (first < FIn) {
      corrupted.assign(Bytes);
      std::vector<std::uint64_t> offsets;
      std::uint64_t count = 0;
      for (std::uint64_t o = first; o < FIn; o += n, ++count) {
        corrupted[static_cast<std::size_t>(o - at)] ^= static_cast<char>(1 << c->Bit);
        if (offsets.size() < kNamedFlips) offsets.push_back(o);
      }
      std::string where;
      for (std::size_t i = 0; i < offsets.size(); ++i) where += (i == 0 ? "" : ", ") + std::to_string(offsets[i]);
      if (count > offsets.size()) where += " and " + std::to_string(count - offsets.size()) + " more";
      Note("Fault: corrupt flipped bit " + std::to_string(c->Bit) + " of " + (count == 1 ? "the byte" : "the bytes") +
           " at stream offset" + (count == 1 ? " " : "s ") + where + " " + Where());
      Bytes = corrupted;
    }
  }
  const std::int64_t now = TStageTimer::NowUs();
  std::int64_t due = now;
  if (const TFaultSpec* l = Rule(fkLatency)) {
    std::int64_t delay = l->DelayUs;
    if (l->JitterUs > 0) delay += std::uniform_int_distribution<std::int64_t>(-l->JitterUs, l->JitterUs)(FRandom);
    due = now + std::max<std::int64_t>(0, delay);
    if (!FNotedShaping[0] && due > now) {
      FNotedShaping[0] = true;
      Note("Fault: latency " + TimeText(l->DelayUs) + (l->JitterUs > 0 ? " ± " + TimeText(l->JitterUs) : "") + " " + Where());
    }
  }
  due = std::max(due, FLastDueUs);  // order is kept: no chunk overtakes one that waits
  FLastDueUs = due;
  // Nothing to wait for: straight on, without a copy.
  if (FQueue.empty() && due <= now && !FBucket && Rule(fkSlicer) == nullptr && !FStalled) {
    FOut += Bytes.size();
    Pass(Bytes);
    return;
  }
  TItem item;
  item.Bytes.assign(Bytes);
  item.DueUs = due;
  Queue(std::move(item));
  Pump();
}

void TFaultStage::Queue(TItem Item) {
  FHeld += Item.Bytes.size();
  FMostHeld = std::max(FMostHeld, FHeld);
  FQueue.push_back(std::move(Item));
}

void TFaultStage::WriteEnd() {
  if (Ended() || FInputCut) return;
  TItem end;
  end.Mark = mkEnd;
  Queue(std::move(end));
  FInputCut = true;  // nothing comes after the end
  for (TCut& c : FCuts) c.Timer.Stop();
  Pump();
}

// A slice's size: the slicer's size give or take its spread.
std::uint64_t TFaultStage::NextPiece() {
  const TFaultSpec* s = Rule(fkSlicer);
  if (s->Spread == 0) return s->Size;
  const auto spread = static_cast<std::int64_t>(s->Spread);
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(s->Size) +
                                    std::uniform_int_distribution<std::int64_t>(-spread, spread)(FRandom));
}

// Passes what is due, in order, until the queue is empty or waits (a due time, a slice's delay,
// the bucket, a stall). Runs from Write, from SetFaults and from its timer; a Pass that comes back
// into the stage (the next stage resets, say) is finished by the outer run.
void TFaultStage::Pump() {
  if (FPumping) return;
  FPumping = true;
  FPumpTimer.Stop();
  std::int64_t wakeAt = -1;
  while (!FQueue.empty() && !Ended()) {
    TItem& item = FQueue.front();
    if (item.Mark == mkStall) {
      if (FCuts[0].Rule == nullptr) {
        FQueue.pop_front();
        FStalled = false;
        continue;
      }
      if (!FStalled) {
        FStalled = true;
        Note(item.Why);
      }
      break;
    }
    if (item.Mark != mkBytes) {
      const TMark mark = item.Mark;
      std::string why = std::move(item.Why);
      FQueue.pop_front();
      if (mark != mkEnd) {
        FEndedBy = why;
        Note(why);
      }
      FDropped += FHeld;  // nothing follows an end
      FHeld = 0;
      FQueue.clear();
      End(mark == mkReset ? seReset : seFinished);
      break;
    }
    const std::int64_t now = TStageTimer::NowUs();
    if (item.DueUs > now) {
      wakeAt = item.DueUs;
      break;
    }
    if (FNextSliceUs > now) {
      wakeAt = FNextSliceUs;
      break;
    }
    std::uint64_t n = item.Bytes.size() - item.Done;
    const TFaultSpec* slicer = Rule(fkSlicer);
    if (slicer != nullptr) {
      if (FPieceLeft == 0) FPieceLeft = NextPiece();
      n = std::min(n, FPieceLeft);
      if (!FNotedShaping[2] && n < item.Bytes.size()) {
        FNotedShaping[2] = true;
        Note("Fault: slicer " + BytesText(slicer->Size) + (slicer->Spread > 0 ? " ± " + std::to_string(slicer->Spread) : "") +
             " a piece" + (slicer->DelayUs > 0 ? ", " + TimeText(slicer->DelayUs) + " apart" : "") + " " + Where());
      }
    }
    if (FBucket) {
      const std::uint64_t got = FBucket->Take(now, n);
      if (got == 0) {
        if (!FNotedShaping[1]) {
          FNotedShaping[1] = true;
          const TFaultSpec* b = Rule(fkBandwidth);
          Note("Fault: bandwidth " + RateText(b->Rate) + (b->PerListener ? " shared by the listener " : " ") + Where());
        }
        wakeAt = FBucket->ReadyAt(now, n);
        break;
      }
      n = got;
    }
    const std::string_view piece = std::string_view(item.Bytes).substr(item.Done, static_cast<std::size_t>(n));
    item.Done += static_cast<std::size_t>(n);
    FHeld -= static_cast<std::size_t>(n);
    FOut += n;
    const bool done = item.Done == item.Bytes.size();
    if (slicer != nullptr) {
      FPieceLeft -= n;
      if (FPieceLeft == 0 && slicer->DelayUs > 0) FNextSliceUs = now + slicer->DelayUs;
    }
    // The item leaves the queue before its bytes are passed on: what the pass sets off may come
    // back in here (SetFaults from a handler, say) and must find the queue as it stands.
    if (done) {
      std::string bytes = std::move(item.Bytes);
      FQueue.pop_front();
      Pass(std::string_view(bytes).substr(bytes.size() - static_cast<std::size_t>(n)));
    } else {
      Pass(piece);
    }
  }
  FPumping = false;
  if (wakeAt >= 0 && !Ended()) FPumpTimer.Start(wakeAt);
  CheckHold();
}

void TFaultStage::CheckHold() {
  if (Ended()) return;
  if (FHeld > kHoldBytes) Hold(true);
  else if (FHeld < kHoldBytes / 2) Hold(false);
}

// ---- a listener's faults ----

TFaults::TFaults() : FHub(std::make_shared<TFaultHub>()) {}

void TFaults::SetFaults(const TFaultSet& Value) {
  FHub->Faults = Value;
  // A stage may go while another takes the change (a reset ends a session): a copy of the list.
  const std::vector<TFaultStage*> stages = FHub->Stages;
  for (TFaultStage* s : stages)
    if (std::find(FHub->Stages.begin(), FHub->Stages.end(), s) != FHub->Stages.end()) s->SetFaults(Value);
  if (OnChanged) OnChanged();
}

std::unique_ptr<TFaultStage> TFaults::MakeStage(TFaultDirection Direction) const {
  return std::make_unique<TFaultStage>(FHub, Direction);
}

bool TFaults::DrawRefusal() {
  const TFaultSpec* r = FHub->Faults.Find(fdListener, fkRefuse);
  if (r == nullptr || r->Millionths == 0) return false;
  return std::uniform_int_distribution<std::uint32_t>(0, 999999)(FHub->Random) < r->Millionths;
}

std::string RefusalTitle(const TFaultSpec& Refuse) {
  std::string p = FaultText(Refuse);
  return "Fault: refused at accept (refuse=" + p.substr(p.find('=') + 1) + ")";
}
