#include "relay/RelaySession.h"

void TRelaySession::UpdateShownState() noexcept {
  if (Info.State == ssFailed || Info.State < ssRelaying) return;
  if (Info.LocalEnd == seReset || Info.RemoteEnd == seReset)
    Info.State = ssReset;
  else if (Info.LocalEnd == seFinished && Info.RemoteEnd == seFinished)
    Info.State = ssClosed;
  else if (Info.LocalEnd == seFinished)
    Info.State = ssLocalEnded;
  else if (Info.RemoteEnd == seFinished)
    Info.State = ssRemoteEnded;
}
