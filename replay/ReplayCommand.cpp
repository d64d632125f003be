// The command line's replay: options into TReplayOptions, the replay's traffic to --save, the
// report to standard output.
#include "replay/ReplayCommand.h"

#include <memory>
#include <string>

#include "record/TrafficWriter.h"
#include "replay/Replay.h"

int RunReplayCommand(const TCommandLine& Options, std::FILE* Out, std::FILE* Err) {
  TReplayOptions replay;
  replay.Session = Options.Session;
  replay.Ignore = Options.Ignore;
  replay.Settings.RemoteAddr = Options.RemoteAddr.value_or("");
  replay.Settings.RemotePort = Options.RemotePort.value_or("");
  replay.Settings.SettleMs = Options.SettleMs;
  replay.Settings.OriginalTiming = Options.OriginalTiming;

  std::unique_ptr<TTrafficWriter> saver;
  std::unique_ptr<TSavingSink> saving;
  std::string saveFailure;
  if (!Options.Save.empty()) {
    saver = MakeTrafficWriter(SaveFormatOf(Options.Save).value_or(sfCapture), Options.Save, false);
    saver->Flush();  // a capture's headers, at once: a file that takes nothing fails before any connection
    if (saver->Failed()) {
      std::fprintf(Err, "vantrel: cannot save: %s\n", saver->Error().c_str());
      return 2;
    }
    saving = std::make_unique<TSavingSink>(*saver, Options.Hex ? emHex : emText, nullptr);
    saving->OnFailure = [&saveFailure](const std::string& Message) {
      if (saveFailure.empty()) saveFailure = Message;
    };
  }

  std::string report;
  int status = RunReplay(Options.Replay, replay, saving.get(), report);
  if (status == 2) {
    std::fprintf(Err, "vantrel: %s", report.c_str());
  } else {
    std::fputs(report.c_str(), Out);
    std::fflush(Out);
  }
  if (saver != nullptr) {
    if (!saver->Failed()) saver->Close();
    if (saver->Failed() || !saveFailure.empty()) {
      std::fprintf(Err, "vantrel: saving failed: %s\n", saveFailure.empty() ? saver->Error().c_str() : saveFailure.c_str());
      status = 2;
    }
  }
  return status;
}
