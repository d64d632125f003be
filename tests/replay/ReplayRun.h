// Running a replay in a test: an entry sink that keeps what the new sessions log, and a replay
// pumped to its end while a scripted server is served.
#pragma once

#include "ReplayTestSupport.h"
#include "replay/Replay.h"

namespace replaytest {

// An entry sink that keeps what it is given.
struct TCollectedEntry {
  std::string Title;
  std::string Body;
  TEntrySource Source;
};
class TCollectingSink : public TEntrySink {
public:
  void SetEntryColor(TColor) override {}
  void SetEntryTitle(const std::string& Value) override { FTitle = Value; }
  void AddEntry(const std::string& Body) override { Entries.push_back({FTitle, Body, {}}); }
  void AddEntry(const std::string& Body, const TEntrySource& Source) override { Entries.push_back({FTitle, Body, Source}); }
  void SessionChanged(const TSessionInfo& Info) override { Facts.push_back(Info); }
  std::vector<std::string> Titles() const {
    std::vector<std::string> t;
    for (const auto& e : Entries) t.push_back(e.Title);
    return t;
  }

  std::vector<TCollectedEntry> Entries;
  std::vector<TSessionInfo> Facts;

private:
  std::string FTitle;
};

// Runs a replay of Sessions to its end while Server (when given) is served; the result.
inline TReplayResult RunServed(std::vector<TRecordedSession> Sessions, const TReplayOptions& Options,
                               TScriptServer* Server, TEntrySink* Sink = nullptr, int TimeoutMs = 30000) {
  TReplay replay(Sink);
  std::string error;
  EXPECT_TRUE(replay.Start(std::move(Sessions), Options, error)) << error;
  EXPECT_TRUE(PumpUntil([&] {
    if (Server != nullptr) Server->Service();
    return replay.Done();
  }, TimeoutMs)) << "the replay did not end";
  return replay.Result();
}

}  // namespace replaytest
