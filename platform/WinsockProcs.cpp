// Internal. The export table of the socket library: what the binding in net/ finds when it looks a
// function up by name. It is built from the one list of the calls (WinsockCallList.h), so the
// names are spelled exactly as the binding asks for them; anything else is not exported.
#include <cstring>

#include "platform/Winsock.h"

namespace platform {

namespace {

struct TProcEntry {
  const char* Name;
  void* Proc;
};

// The function type is spelled out, so that an entry can never hold a function of another
// signature than the one that the binding casts it back to.
template <class F>
void* Exported(F* Function) {
  return reinterpret_cast<void*>(Function);
}

#define VANTREL_EXPORT_SOCKET_CALL(Result, Name, Parameters, Arguments) \
  {#Name, Exported<Result Parameters>(&Name)},
const TProcEntry kExports[] = {VANTREL_WINSOCK_CALLS(VANTREL_EXPORT_SOCKET_CALL)};
#undef VANTREL_EXPORT_SOCKET_CALL

}  // namespace

void* FindSocketProc(const char* Name) {
  if (Name == nullptr) return nullptr;
  for (const TProcEntry& Entry : kExports) {
    if (std::strcmp(Entry.Name, Name) == 0) return Entry.Proc;
  }
  return nullptr;
}

}  // namespace platform
