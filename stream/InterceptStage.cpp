// The intercept stage: its queue, its decisions and its hold on the sending side.
#include "stream/InterceptStage.h"

#include <algorithm>
#include <utility>

namespace {

// Held chunks are numbered for the whole run, whatever session or direction holds them, so that a
// number names one chunk wherever a queue shows it.
std::uint64_t gLastChunk = 0;

}  // namespace

TInterceptStage::TInterceptStage(std::uint64_t Session, TFaultDirection Direction)
    : FSession(Session), FDirection(Direction) {}

TInterceptStage::~TInterceptStage() = default;

void TInterceptStage::SetMatch(std::string Match) {
  if (Match == FMatch) return;
  FMatch = std::move(Match);
  FTail.clear();
}

void TInterceptStage::SetActive(bool On) {
  FActive = On;
  if (On) return;
  FTail.clear();
  ForwardAll();
}

bool TInterceptStage::Matches(std::string_view Chunk) {
  if (FMatch.empty()) return true;
  bool found = Chunk.find(FMatch) != std::string_view::npos;
  // A match that began in the chunks before: the tail holds fewer bytes than the match, so a
  // match found across it ends in this chunk.
  if (!found && !FTail.empty()) {
    std::string edge = FTail;
    edge.append(Chunk.substr(0, std::min(Chunk.size(), FMatch.size() - 1)));
    found = edge.find(FMatch) != std::string::npos;
  }
  const std::size_t keep = FMatch.size() - 1;
  if (Chunk.size() >= keep) {
    FTail.assign(Chunk.substr(Chunk.size() - keep));
  } else {
    FTail.append(Chunk);
    if (FTail.size() > keep) FTail.erase(0, FTail.size() - keep);
  }
  return found;
}

void TInterceptStage::Write(std::string_view Chunk) {
  if (Ended() || Chunk.empty()) return;
  const bool hold = FActive && Matches(Chunk);
  if (!hold && FQueue.empty()) {
    FPassed += Chunk.size();
    Pass(Chunk);
    return;
  }
  TItem item;
  item.Chunk.Session = FSession;
  item.Chunk.Direction = FDirection;
  item.Chunk.Bytes.assign(Chunk);
  item.HeldBack = hold;
  if (hold) {
    item.Chunk.Number = ++gLastChunk;
    ++FUndecided;
  }
  FHeld += Chunk.size();
  FMostHeld = std::max(FMostHeld, FHeld);
  FQueue.push_back(std::move(item));
  CheckHold();
  if (hold && OnChunkHeld) {
    // A copy: a handler that decides at once takes the chunk out of the queue.
    const TInterceptedChunk shown = FQueue.back().Chunk;
    OnChunkHeld(shown);
  }
  Pump();
}

void TInterceptStage::WriteEnd() {
  if (Ended()) return;
  if (FQueue.empty()) {
    End(seFinished);
    return;
  }
  TItem end;
  end.End = true;
  FQueue.push_back(std::move(end));
}

bool TInterceptStage::Decide(std::uint64_t Number, TInterceptAction How, std::string Edited) {
  if (Number == 0 || (How != iaForward && How != iaEdit && How != iaDrop)) return false;
  const auto it = std::find_if(FQueue.begin(), FQueue.end(),
                               [Number](const TItem& I) { return I.HeldBack && I.Chunk.Number == Number; });
  if (it == FQueue.end() || it->Action != iaUndecided) return false;
  it->Action = How;
  if (How == iaEdit) {
    it->Edited = std::move(Edited);
    FHeld += it->Edited.size();
    FMostHeld = std::max(FMostHeld, FHeld);
  }
  --FUndecided;
  Pump();
  return true;
}

void TInterceptStage::ForwardAll() {
  for (TItem& i : FQueue)
    if (i.HeldBack && i.Action == iaUndecided) {
      i.Action = iaForward;
      --FUndecided;
    }
  Pump();
}

// From the front, as far as every chunk is decided. Each leaves the queue before its events are
// raised, so that what a handler does to the queue (a decision, the session's end) finds it whole.
void TInterceptStage::Pump() {
  if (FPumping) return;
  FPumping = true;
  while (!FQueue.empty() && !Ended()) {
    TItem& front = FQueue.front();
    if (front.End) {
      FQueue.pop_front();
      End(seFinished);
      break;
    }
    if (front.HeldBack && front.Action == iaUndecided) break;
    TItem item = std::move(front);
    FQueue.pop_front();
    FHeld -= item.Chunk.Bytes.size() + item.Edited.size();
    Leave(item);
  }
  FPumping = false;
  CheckHold();
}

void TInterceptStage::Leave(TItem& Item) {
  std::string_view sent = Item.Chunk.Bytes;
  if (Item.HeldBack) {
    if (Item.Action == iaEdit) sent = Item.Edited;
    if (Item.Action == iaDrop) sent = std::string_view();
    if (OnChunkLeft) OnChunkLeft(Item.Chunk, Item.Action, sent);
  }
  if (sent.empty() || Ended()) return;
  FPassed += sent.size();
  Pass(sent);
}

void TInterceptStage::Abandon() {
  std::deque<TItem> queue;
  queue.swap(FQueue);
  FHeld = 0;
  FUndecided = 0;
  for (TItem& i : queue)
    if (i.HeldBack && OnChunkLeft) OnChunkLeft(i.Chunk, iaLost, std::string_view());
}

void TInterceptStage::CheckHold() {
  if (FHeld >= kHoldBytes || FQueue.size() >= kHoldChunks)
    Hold(true);
  else if (FHeld < kHoldBytes / 2 && FQueue.size() < kHoldChunks / 2)
    Hold(false);
}
