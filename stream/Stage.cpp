// The chain of a direction's stages: each stage's output is wired into the next one's input.
#include "stream/Stage.h"

TStageChain::~TStageChain() {
  // The stages go first to last; none raises anything into a stage already gone.
  for (auto& s : FStages) {
    s->OnPass = nullptr;
    s->OnEnd = nullptr;
    s->OnHold = nullptr;
    s->OnNote = nullptr;
  }
}

void TStageChain::Add(std::unique_ptr<TStreamStage> Stage) {
  FStages.insert(FStages.begin(), std::move(Stage));
  Wire();
}

void TStageChain::Append(std::unique_ptr<TStreamStage> Stage) {
  FStages.push_back(std::move(Stage));
  Wire();
}

void TStageChain::Wire() {
  for (std::size_t i = 0; i < FStages.size(); ++i) {
    TStreamStage* next = i + 1 < FStages.size() ? FStages[i + 1].get() : nullptr;
    TStreamStage& s = *FStages[i];
    if (next != nullptr) {
      s.OnPass = [next](std::string_view Bytes) { next->Write(Bytes); };
      // A reset ends the session at once, past the later stages; an end of stream follows the
      // bytes that the later stages still hold.
      s.OnEnd = [this, next](TStreamEnd How) {
        if (How == seReset) End(seReset);
        else next->WriteEnd();
      };
    } else {
      s.OnPass = [this](std::string_view Bytes) { Pass(Bytes); };
      s.OnEnd = [this](TStreamEnd How) { End(How); };
    }
    s.OnHold = [this](bool) { StageHold(); };
    s.OnNote = [this](const std::string& Title) { Note(Title); };
  }
}

void TStageChain::StageHold() {
  bool any = false;
  for (const auto& s : FStages) any = any || s->Holding();
  Hold(any);
}

void TStageChain::Write(std::string_view Chunk) {
  if (Ended()) return;
  if (FStages.empty()) Pass(Chunk);
  else FStages.front()->Write(Chunk);
}

void TStageChain::WriteEnd() {
  if (Ended()) return;
  if (FStages.empty()) End(seFinished);
  else FStages.front()->WriteEnd();
}

std::size_t TStageChain::Held() const {
  std::size_t n = 0;
  for (const auto& s : FStages) n += s->Held();
  return n;
}
