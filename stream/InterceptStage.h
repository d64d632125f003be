// Public. Intercept: the stage that holds a direction's chunks for a person to decide on, and the
// settings that say which chunks it holds.
//
// Every chunk written goes into one queue, in the order it came. A chunk that matches (every chunk
// when the match is empty) is held there until it is decided: forwarded as it is, forwarded
// edited (any length), or dropped. A chunk that does not match passes at once when the queue is
// empty, and otherwise waits behind the held ones, so that the stream's order never changes. The
// queue passes from its front as far as every chunk is decided; a decision on a chunk behind an
// undecided one takes effect when that one has gone. The reading side's end waits in the queue
// the same way.
//
//   Write --> [ match? ] --> queue: #7 held | #8 waits | #9 held, decided: drop | end
//                                   ^ Decide(#7, forward) --> #7, #8 pass; #9 is dropped; end
//
// Memory: while the queue holds kHoldBytes or more, or kHoldChunks chunks or more, the stage
// raises OnHold(true) and the relay stops reading the sending side, so that TCP holds the sender
// back however much it sends; the stage lets go once it holds less than half of both.
//
// Switched off (SetActive(false)), the stage lets everything in its queue go in order, undecided
// chunks as they are, and passes every later chunk at once.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "stream/FaultSpec.h"
#include "stream/Stage.h"

// Which chunks Intercept holds: of which directions, and those that contain Match (any bytes;
// empty: every chunk). A match that spans two chunks is found in the chunk where it ends.
struct TInterceptSettings {
  bool On = false;
  bool ToRemote = true;  // what the local client sends
  bool ToLocal = true;   // what the remote side sends
  std::string Match;

  bool Covers(TFaultDirection D) const noexcept { return On && (D == fdRemote ? ToRemote : D == fdLocal && ToLocal); }
  bool operator==(const TInterceptSettings&) const = default;
};

// What becomes of a held chunk.
enum TInterceptAction : std::uint8_t {
  iaUndecided = 0,
  iaForward = 1,  // as it came
  iaEdit = 2,     // edited: other bytes, any length, in its place
  iaDrop = 3,     // never sent
  iaLost = 4,     // its session ended before it was decided: never sent
};

// A held chunk as a queue shows it.
struct TInterceptedChunk {
  std::uint64_t Number = 0;  // unique for the program's run, in the order chunks are held
  std::uint64_t Session = 0;
  TFaultDirection Direction = fdRemote;
  std::string Bytes;
};

class TInterceptStage : public TStreamStage {
public:
  static constexpr std::size_t kHoldBytes = 1 << 20;
  static constexpr std::size_t kHoldChunks = 1 << 14;

  TInterceptStage(std::uint64_t Session, TFaultDirection Direction);
  ~TInterceptStage() override;

  std::uint64_t Session() const noexcept { return FSession; }
  TFaultDirection Direction() const noexcept { return FDirection; }

  // Chunks written from now on are held when they contain Match; empty: every chunk.
  void SetMatch(std::string Match);
  const std::string& Match() const noexcept { return FMatch; }
  bool Active() const noexcept { return FActive; }
  void SetActive(bool On);

  // Decides held chunk Number (Edited: the bytes sent in its place, for iaEdit); false when no
  // undecided chunk of that number waits here. It leaves once every chunk before it has.
  bool Decide(std::uint64_t Number, TInterceptAction How, std::string Edited = std::string());
  // Every undecided chunk forwarded as it is, in order.
  void ForwardAll();
  // The session has ended: every queued chunk is thrown away, each held one reported as iaLost.
  void Abandon();

  void Write(std::string_view Chunk) override;
  void WriteEnd() override;
  std::size_t Held() const override { return FHeld; }
  // Chunks that wait for a decision; chunks in the queue, decided or not.
  std::size_t Undecided() const noexcept { return FUndecided; }
  std::size_t Queued() const noexcept { return FQueue.size(); }
  // Bytes this stage has passed on: where the next one sits in what it sends.
  std::uint64_t PassedBytes() const noexcept { return FPassed; }
  std::size_t MostHeld() const noexcept { return FMostHeld; }

  // A chunk is held for a decision.
  std::function<void(const TInterceptedChunk& Chunk)> OnChunkHeld;
  // A held chunk leaves the queue (How: forwarded, edited, dropped or lost); raised just before
  // what it sends (Sent: its bytes, or the edit; empty when dropped or lost) is passed on.
  std::function<void(const TInterceptedChunk& Chunk, TInterceptAction How, std::string_view Sent)> OnChunkLeft;

private:
  struct TItem {
    TInterceptedChunk Chunk;
    bool HeldBack = false;  // matched, and so waits for a decision
    bool End = false;       // the reading side's end
    TInterceptAction Action = iaUndecided;
    std::string Edited;
  };

  bool Matches(std::string_view Chunk);
  void Pump();
  void Leave(TItem& Item);
  void CheckHold();

  std::uint64_t FSession;
  TFaultDirection FDirection;
  std::string FMatch;
  std::string FTail;  // the last bytes written, for a match split between chunks
  bool FActive = true;
  std::deque<TItem> FQueue;
  std::size_t FHeld = 0;
  std::size_t FMostHeld = 0;
  std::size_t FUndecided = 0;
  std::uint64_t FPassed = 0;
  bool FPumping = false;
};
