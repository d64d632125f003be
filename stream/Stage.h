// Public. A stage in one direction of a session's byte stream, and the chain of stages that a
// direction runs through. What the relay reads from one side enters the first stage; what the
// last stage passes on is what the relay sends to the other side:
//
//            Write(chunk)              OnPass(bytes)           OnPass(bytes)
//   reading ------------> [ stage A ] ------------> [ stage B ] ------------> sending
//   socket  WriteEnd()               OnEnd(how)               OnEnd(how)      socket
//           <------------------------- OnHold(true / false) ------------------
//                          (the relay pauses and resumes the reading socket)
//
// The contract, for every stage:
//   - Write takes a chunk; the stage passes bytes on (OnPass) at once or later, from the loop's
//     timers (TStageTimer), in any pieces, in the order they came. It never blocks, never sleeps.
//   - WriteEnd: the reading side ended its stream. The stage passes its end on (OnEnd(seFinished))
//     once it has passed every byte it is to pass.
//   - The stage may end the stream itself: OnEnd(seFinished) is a half-close toward the receiver,
//     OnEnd(seReset) a reset of the whole session. After OnEnd it passes nothing, and what it is
//     still written is dropped.
//   - While it holds more than its share, it raises OnHold(true); once it holds less, OnHold(false).
//     The relay stops reading the sending side meanwhile, so that TCP holds the sender back and
//     nothing is buffered without bound. Held() says how many bytes it holds.
//   - OnNote gives a line for the log (its title, e.g. "Fault: ..."), raised when the stage acts.
//   - Bypass(bytes) passes bytes on at once, past whatever this stage does to the stream: bytes the
//     user injects by hand are not slowed, cut or corrupted. Nothing passes after the stream ended.
//   - A stage may be destroyed at any time outside its own events; it stops its timers then.
//
// Writing a stage: derive from TStreamStage, implement Write, WriteEnd and Held, and pass on with
// Pass, End, Hold and Note (which raise the events and keep the stage's state). The smallest stage
// passes every chunk at once:
//
//   class TPassStage : public TStreamStage {
//     void Write(std::string_view Chunk) override { Pass(Chunk); }
//     void WriteEnd() override { End(seFinished); }
//     std::size_t Held() const override { return 0; }
//   };
//
// A stage that holds chunks for a decision (an intercept, say) keeps them, raises OnHold(true) while
// it holds any, and later Pass()es them, edited or not, or drops them. A direction's stages form a
// TStageChain: the relay writes into the chain and sends what comes out of it; a new stage goes
// into the chain with Add (first in line) or Append (last in line, next to the socket).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "record/SessionFacts.h"

class TStreamStage {
public:
  TStreamStage() = default;
  TStreamStage(const TStreamStage&) = delete;
  TStreamStage& operator=(const TStreamStage&) = delete;
  virtual ~TStreamStage() = default;

  // ---- input, from the reading side or the stage before ----
  virtual void Write(std::string_view Chunk) = 0;
  virtual void WriteEnd() = 0;
  // Bytes the stage holds, not yet passed on.
  virtual std::size_t Held() const = 0;

  // Past this stage's own work; see the header's comment.
  void Bypass(std::string_view Bytes) {
    if (!Ended() && !Bytes.empty() && OnPass) OnPass(Bytes);
  }

  // Whether the stage has ended the stream (OnEnd raised), and whether it asks for a pause.
  bool Ended() const noexcept { return FEnded != seOpen; }
  TStreamEnd EndedAs() const noexcept { return FEnded; }
  bool Holding() const noexcept { return FHolding; }

  // ---- output, to the next stage or the sending side ----
  std::function<void(std::string_view Bytes)> OnPass;
  std::function<void(TStreamEnd How)> OnEnd;
  std::function<void(bool Pause)> OnHold;
  std::function<void(const std::string& Title)> OnNote;

protected:
  void Pass(std::string_view Bytes) {
    if (!Ended() && !Bytes.empty() && OnPass) OnPass(Bytes);
  }
  void End(TStreamEnd How) {
    if (Ended() || How == seOpen) return;
    FEnded = How;
    if (FHolding) Hold(false);  // nothing is waited for any more: the reader may drain its side
    if (OnEnd) OnEnd(How);
  }
  void Hold(bool Pause) {
    if (Pause == FHolding || (Pause && Ended())) return;
    FHolding = Pause;
    if (OnHold) OnHold(Pause);
  }
  void Note(const std::string& Title) {
    if (OnNote) OnNote(Title);
  }

private:
  TStreamEnd FEnded = seOpen;
  bool FHolding = false;
};

// The stages of one direction, in order, as one stage: Write goes into the first, what the last
// passes comes out of OnPass, either's end ends the chain, and the chain holds while any stage
// holds. Notes of every stage come out of OnNote. A chain without stages passes every chunk at once.
class TStageChain : public TStreamStage {
public:
  TStageChain() = default;
  ~TStageChain() override;

  // Puts Stage first in line (before every other) or last (next to the sending socket). The chain
  // owns it. Either keeps the stream's order whenever it is done: what the later stages hold stays
  // ahead of what enters a new first stage, and what the earlier stages hold passes through a new
  // last one.
  void Add(std::unique_ptr<TStreamStage> Stage);
  void Append(std::unique_ptr<TStreamStage> Stage);
  std::size_t StageCount() const noexcept { return FStages.size(); }
  TStreamStage* Stage(std::size_t Index) const { return FStages[Index].get(); }
  // The first stage of type T, or null.
  template <class T>
  T* Find() const {
    for (const auto& s : FStages)
      if (auto* t = dynamic_cast<T*>(s.get())) return t;
    return nullptr;
  }

  void Write(std::string_view Chunk) override;
  void WriteEnd() override;
  std::size_t Held() const override;

private:
  void Wire();
  void StageHold();

  std::vector<std::unique_ptr<TStreamStage>> FStages;
};
