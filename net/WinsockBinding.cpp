// Internal. The process-wide binding to the socket library. The platform's socket functions are
// linked in, so "loading the library" only marks it loaded and starts it; the entry points are
// still looked up by name, once per load, so that the wrappers behave as they would over a
// dynamically loaded library: first use loads and starts, UnloadWinsock forgets everything, and
// the next call loads and starts again.
#include "net/WinsockBinding.h"

#include <cerrno>
#include <string>

#include "net/SocketException.h"

namespace winsock {

std::int32_t WinsockUsers = 0;

namespace {

const char* const kLibraryName = "wsock32.dll";

// The lookup is a table search that sets no operating-system error, so a missing name reports
// ENOENT: "no such entry". It keeps the message stable.
constexpr int kProcNotFoundCode = ENOENT;

// One slot per wrapped function, in the order of the list; kProcNames follows it.
#define VANTREL_PROC_SLOT(Result, Name, Parameters, Arguments) p##Name,
enum TProc { VANTREL_WINSOCK_CALLS(VANTREL_PROC_SLOT) ProcCount };
#undef VANTREL_PROC_SLOT

#define VANTREL_PROC_NAME(Result, Name, Parameters, Arguments) #Name,
const char* const kProcNames[ProcCount] = {VANTREL_WINSOCK_CALLS(VANTREL_PROC_NAME)};
#undef VANTREL_PROC_NAME

struct TWinsockBinding {
  bool Loaded = false;  // stands for the library handle: false while it would be null
  TWSAData StartupData;  // filled by WSAStartup, read by nothing
  void* Procs[ProcCount] = {};
};

TWinsockBinding gBinding;

// Resolves on first use and caches; the cast restores the type that the platform exported.
template <class F>
F* Entry(TProc Proc) {
  void*& Slot = gBinding.Procs[Proc];
  if (Slot == nullptr) Slot = LoadWinsockProc(kProcNames[Proc]);
  return reinterpret_cast<F*>(Slot);
}

// Releases the library at program end when the last component has not done so already.
struct TWinsockShutdown {
  ~TWinsockShutdown() { UnloadWinsock(); }
} gShutdown;

}  // namespace

void* LoadWinsockProc(const std::string& Name) {
  if (!gBinding.Loaded) {
    // Marked loaded before start-up: WSAStartup's own wrapper resolves it in the library just
    // loaded, and a failed start-up is not retried until the library has been released.
    gBinding.Loaded = true;
    const int Result = winsock::WSAStartup(0x0101, &gBinding.StartupData);
    if (Result != 0) {
      throw ESocketException(std::string(kLibraryName) + ": WSAStartup error #" +
                             std::to_string(Result));
    }
  }
  if (Name.empty()) return nullptr;
  // A name with a zero byte in it would be found under its first part; no export has one.
  void* Proc = Name.find('\0') == std::string::npos ? platform::FindSocketProc(Name.c_str())
                                                     : nullptr;
  if (Proc == nullptr) {
    throw ESocketException("Procedure " + Name + " not found in " + kLibraryName + " Error #" +
                           std::to_string(kProcNotFoundCode));
  }
  return Proc;
}

void UnloadWinsock() {
  if (gBinding.Loaded) {
    try {
      winsock::WSACleanup();
    } catch (const ESocketException&) {
      // The result of the clean-up is ignored, and so is a failure to find it: releasing must
      // always complete, it runs from destructors.
    }
    gBinding.Loaded = false;
    for (void*& Slot : gBinding.Procs) Slot = nullptr;
  }
  WinsockUsers = 0;
}

bool WinsockLoaded() { return gBinding.Loaded; }

// ---- the wrappers: resolve once, then call straight through --------------------------------

#define VANTREL_DEFINE_WRAPPER(Result, Name, Parameters, Arguments) \
  Result Name Parameters { return Entry<Result Parameters>(p##Name) Arguments; }
VANTREL_WINSOCK_CALLS(VANTREL_DEFINE_WRAPPER)
#undef VANTREL_DEFINE_WRAPPER

}  // namespace winsock
