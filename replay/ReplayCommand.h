// Public. The command line's --replay: the sessions of a saved capture replayed against the remote
// side and compared, with the verdict as the exit status, so that a recorded session serves a
// script or a CI job as a protocol regression test.
#pragma once

#include <cstdio>

#include "relay/CommandLine.h"

// Runs the replay that Options ask for (Options.Replay set) on the program's own loop, prints the
// result to Out ("same" and a line for each session, or the first difference first) and returns
// the exit status: 0 the answers are the same, 1 they differ (or a session could not be replayed
// to its end), 2 bad arguments (an ignore rule that does not compile, a session the capture does
// not hold), a file that is not a readable capture, or --save failing. For 2 the reason goes to
// Err as one line "vantrel: ...". With Options.Save, the replay's own traffic is saved as it
// flows, as the headless relay saves its own.
int RunReplayCommand(const TCommandLine& Options, std::FILE* Out, std::FILE* Err);
