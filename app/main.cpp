// The program's entry: the command line decides. Headless, the relay (or a replay) runs here on the program's
// own loop, and no Qt GUI library is ever loaded (this program links Qt Core only). Otherwise the
// windows' program next to this one takes over the process with the same arguments.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "relay/CommandLine.h"
#include "relay/Headless.h"
#include "platform/Exception.h"
#include "replay/ReplayCommand.h"

namespace {

// The folder of the running program, from the kernel's record of it.
std::string ProgramFolder() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string p(path, static_cast<std::size_t>(n));
  const std::size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
  TCommandLine options;
  std::string error;
  if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "vantrel: %s\n", error.c_str());
    return 2;
  }
  RaiseOpenFileLimit();
  if (options.Help) {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }
  if (options.Version) {
    std::fputs(VersionText().c_str(), stdout);
    return 0;
  }
  if (options.PrintCa) {
    try {
      std::fputs(AuthorityCertificatePem(options.Tls.DataFolder).c_str(), stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    } catch (Exception& E) {
      std::fprintf(stderr, "vantrel: %s\n", E.Message().c_str());
      return 1;
    }
  }
  if (!options.Replay.empty()) return RunReplayCommand(options, stdout, stderr);
  if (options.Headless) return RunHeadless(options);

  const std::string windows = ProgramFolder() + "/vantrel-windows";
  argv[0] = const_cast<char*>(windows.c_str());
  ::execv(windows.c_str(), argv);
  std::fprintf(stderr, "vantrel: cannot start %s: %s\n", windows.c_str(), std::strerror(errno));
  return 1;
}
