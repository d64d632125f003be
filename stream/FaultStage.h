// Public. Faults on demand: the stage that applies a direction's faults to a session's stream, the
// token bucket of bandwidth limits, and TFaults, which holds a listener's fault set, makes the
// stages and hands every change to the stages already running.
//
// Inside a stage, each chunk goes through two steps:
//
//   Write --> [ triggers: stall / limit / reset by bytes or pattern; corrupt ] --> queue
//   queue --> [ shaping: latency (each chunk's due time), slicer (pieces), bandwidth (tokens) ] --> OnPass
//
// The queue keeps the chunks and markers in order: a stall marker stops the queue while the stall
// is set; an end marker (limit, or the reading side's end) ends the stream with a half-close; a
// reset marker resets the session. So the bytes before a cut always go on, through the shaping,
// and nothing after the cut does: what follows a limit or a reset is dropped, what follows a stall
// waits behind it (and goes on if the stall is taken away). Time triggers put their marker at the
// queue's end when their time comes. Waiting is on TStageTimer; nothing blocks.
//
// Memory: while the queue holds more than kHoldBytes the stage raises OnHold(true), and the relay
// stops reading the sending side; the stage lets go once it holds less than half of that. A stream
// faster than its limit is held back by TCP, not buffered.
//
// Changes (SetFaults) take effect on the next byte to enter or leave: a new rate or slicing applies
// to what still waits, a new latency to the chunks that come after it (they never overtake those
// that wait), a stall taken away lets its bytes go, a trigger set anew counts from the change on
// for times and from the stream's start for bytes.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "stream/FaultSpec.h"
#include "stream/Stage.h"
#include "stream/StageTimer.h"

// Bytes a second, taken as they come: tokens accrue at Rate up to a small burst (20 ms of the
// rate), and a taker that finds too few waits for them. Shared between every stage of a listener
// that limits per listener.
class TTokenBucket {
public:
  void SetRate(std::uint64_t BytesPerSecond);
  std::uint64_t Rate() const noexcept { return FRate; }
  // Takes up to Want bytes' worth at NowUs; returns how many it got.
  std::uint64_t Take(std::int64_t NowUs, std::uint64_t Want);
  // When a taker of Want bytes should look again: once a quantum is there, or Want if less.
  std::int64_t ReadyAt(std::int64_t NowUs, std::uint64_t Want);
  // The least a taker waits for, so that a slow rate does not pass byte by byte.
  std::uint64_t Quantum() const noexcept;

private:
  void Refill(std::int64_t NowUs);

  std::uint64_t FRate = 0;
  double FTokens = 0;
  std::int64_t FLastUs = 0;
};

struct TFaultHub;

class TFaultStage : public TStreamStage {
public:
  // What the stage may hold before it asks the reading side to pause.
  static constexpr std::size_t kHoldBytes = 1 << 20;

  TFaultStage(std::shared_ptr<TFaultHub> Hub, TFaultDirection Direction);
  ~TFaultStage() override;

  TFaultDirection Direction() const noexcept { return FDirection; }
  // Takes this direction's faults of Faults.
  void SetFaults(const TFaultSet& Faults);

  void Write(std::string_view Chunk) override;
  void WriteEnd() override;
  std::size_t Held() const override { return FHeld; }

  // Bytes that entered and that left; bytes dropped after a cut; the most ever held.
  std::uint64_t BytesIn() const noexcept { return FIn; }
  std::uint64_t BytesOut() const noexcept { return FOut; }
  std::uint64_t BytesDropped() const noexcept { return FDropped; }
  std::size_t MostHeld() const noexcept { return FMostHeld; }
  // Whether a stall holds the queue.
  bool Stalled() const noexcept { return FStalled; }
  // The fault that ended the stream (its log title), empty while none has.
  const std::string& EndedBy() const noexcept { return FEndedBy; }

private:
  enum TMark : std::uint8_t { mkBytes, mkStall, mkLimit, mkReset, mkEnd };
  struct TItem {
    TMark Mark = mkBytes;
    std::string Bytes;
    std::size_t Done = 0;
    std::int64_t DueUs = 0;
    std::string Why;  // a marker's log title
  };
  // A cut's state: which rule set it, and whether it has acted.
  struct TCut {
    const TFaultSpec* Rule = nullptr;
    bool Fired = false;
    std::int64_t SinceUs = 0;  // a time trigger counts from here
    TStageTimer Timer;
  };

  const TFaultSpec* Rule(TFaultKind Kind) const;
  void Enter(std::string_view Bytes);
  void Queue(TItem Item);
  void Fire(TFaultKind Kind);
  void ArmCut(TFaultKind Kind);
  std::size_t PatternEnd(std::string_view Rest) const;
  void RememberTail(std::string_view Bytes);
  void Pump();
  void CheckHold();
  std::uint64_t NextPiece();
  std::string Trigger(const TFaultSpec& S) const;
  std::string Where() const { return FaultWhere(FDirection); }

  std::shared_ptr<TFaultHub> FHub;
  TFaultDirection FDirection;
  std::vector<TFaultSpec> FSpecs;  // this direction's, stable while set
  std::deque<TItem> FQueue;
  std::size_t FHeld = 0;
  std::size_t FMostHeld = 0;
  std::uint64_t FIn = 0, FOut = 0, FDropped = 0;
  bool FInputCut = false;     // a limit or a reset has acted at the input: the rest is dropped
  bool FStalled = false;
  std::int64_t FLastDueUs = 0;  // chunks never overtake: each is due no earlier than the last
  std::int64_t FNextSliceUs = 0;
  std::uint64_t FPieceLeft = 0;
  std::shared_ptr<TTokenBucket> FBucket;  // the session's own, or the listener's
  TCut FCuts[3];  // stall, limit, reset
  std::string FTail;  // the last bytes entered, for a pattern split between chunks
  bool FNotedShaping[3] = {};  // latency, bandwidth, slicer: said once per setting
  std::string FEndedBy;
  TStageTimer FPumpTimer;
  std::mt19937_64 FRandom;
  bool FPumping = false;
};

// A listener's faults: the set, the buckets shared by its sessions, and every stage it made, which
// all get each change. Held by the relay and (shared) by the stages, so that a stage may outlive
// the relay's hold on it in any order.
struct TFaultHub {
  TFaultSet Faults;
  std::shared_ptr<TTokenBucket> Shared[2] = {std::make_shared<TTokenBucket>(), std::make_shared<TTokenBucket>()};
  std::vector<TFaultStage*> Stages;
  std::mt19937_64 Random{std::random_device{}()};
};

class TFaults {
public:
  TFaults();

  const TFaultSet& Faults() const noexcept { return FHub->Faults; }
  // Every stage already made gets the new set at its next byte; OnChanged is raised after.
  void SetFaults(const TFaultSet& Value);
  // Whether a direction has any fault; a session whose directions have none needs no stage.
  bool Active(TFaultDirection Direction) const { return FHub->Faults.Has(Direction); }
  std::unique_ptr<TFaultStage> MakeStage(TFaultDirection Direction) const;
  // Draws whether a new client is refused; the refuse fault's probability, if set.
  bool DrawRefusal();
  // The stages made and not yet destroyed (a test's view).
  std::size_t StageCount() const noexcept { return FHub->Stages.size(); }

  std::function<void()> OnChanged;

private:
  std::shared_ptr<TFaultHub> FHub;
};

// The log title of a refusal at accept.
std::string RefusalTitle(const TFaultSpec& Refuse);
