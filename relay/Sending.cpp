// Bytes the user sends into a session: refused with the reason when the way toward that side is
// closed, otherwise logged as an injected entry of that direction and queued behind what the
// engine already holds for that side (the lines of a read waiting to leave together, then the send
// chain), so that the stream keeps the order in which things were logged.
#include "relay/Relay.h"

bool TRelay::CanSend(std::uint64_t Id, TSendTo To, std::string& Error) const {
  auto it = FSessions.find(Id);
  const std::string name = "session " + std::to_string(Id);
  if (it == FSessions.end()) {
    Error = name + " has ended";
    return false;
  }
  const TRelaySession& s = *it->second;
  if (s.State() == rsFailed) {
    Error = name + " failed: " + s.Info.Reason;
    return false;
  }
  if (s.Cut()) {
    Error = name + " has ended";
    return false;
  }
  if (s.Info.LocalEnd == seReset || s.Info.RemoteEnd == seReset) {
    Error = name + ": the " + (s.Info.LocalEnd == seReset ? "local client" : "remote side") + " has reset the connection";
    return false;
  }
  if (To == stRemote) {
    if (!s.Connected() || s.Remote == nullptr) {
      Error = name + ": the remote side is not connected yet";
      return false;
    }
    if (s.Info.LocalEnd != seOpen || s.Remote->State() != wsConnected) {
      Error = name + ": the stream to the remote side has ended (the local client ended it)";
      return false;
    }
  } else {
    if (s.Client == nullptr || s.Client->State() != wsConnected) {
      Error = name + ": the local client has closed";
      return false;
    }
    if (s.Info.RemoteEnd != seOpen) {
      Error = name + ": the stream to the local client has ended (the remote side ended it)";
      return false;
    }
  }
  return true;
}

bool TRelay::Send(std::uint64_t Id, TSendTo To, const std::string& Bytes, std::string& Error) {
  if (!CanSend(Id, To, Error)) return false;
  if (Bytes.empty()) {
    Error = "nothing to send";
    return false;
  }
  TRelaySession& s = *FSessions.at(Id);
  if (To == stRemote) {
    Entry(s, "Sent to Remote", Bytes, edFromLocal, true);
    s.ToRemote += Bytes;
    Flush(s.ToRemote, *s.Remote);
  } else {
    Entry(s, "Sent to Local", Bytes, edFromRemote, true);
    s.ToLocal += Bytes;
    Flush(s.ToLocal, *s.Client);
  }
  SessionChanged(s);
  return true;
}
