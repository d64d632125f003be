// TLS in the relay's sessions. The socket component carries TLS over either connection; here the
// engine decides when each leg switches and logs what the handshakes agreed:
//
//   remote TLS alone:  the outgoing connection is up -> TLS toward the remote side at once; what
//                      the local client sent meanwhile follows as plaintext into it
//   local TLS:         the client's ClientHello is held (its socket paused) -> the remote side is
//                      connected, with TLS offering the hello's ALPN when that leg is on -> its
//                      handshake completes -> the client's TLS is terminated with the protocol
//                      the server chose, the held hello as the first ciphertext
//   detection:         the same from whichever chunk of the local client starts a ClientHello;
//                      the plaintext before it is relayed and logged like any plain stream
//
// A leg whose handshake fails ends the session the way a real peer would end it for the other
// side: a client whose hello is still unanswered gets a handshake_failure alert, then the end of
// the stream; a remote side whose TLS is up gets close_notify, then the end. Neither is a reset.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "net/WSocketResolve.h"
#include "relay/Relay.h"
#include "tls/TlsAuthority.h"
#include "tls/TlsClientHello.h"
#include "tls/TlsContext.h"
#include "tls/TlsEngine.h"
#include "tls/TlsKeyLog.h"

namespace {

// A hello longer than this is not one: the longest recognised, in records of the largest size.
constexpr std::size_t kHelloLimit = kMaxClientHello + 5 * 8;

// The host name of a remote address as typed: blanks and an IPv6 literal's brackets taken off.
std::string HostName(const std::string& Typed) {
  std::string h = TrimBlanks(Typed);
  if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  return h;
}

// What a completed handshake agreed, one fact a line.
std::string Describe(const TTlsInfo& I, bool Local, bool Insecure) {
  std::string s = I.Version + ", " + I.Cipher + (I.Resumed ? ", resumed" : "") + "\r\n";
  s += "Server name: " + (I.ServerName.empty() ? std::string("none") : I.ServerName) + "\r\n";
  s += "ALPN: " + (I.Alpn.empty() ? std::string("none") : I.Alpn) + "\r\n";
  if (I.PeerCertificate)
    s += "Peer certificate: " + I.PeerSubject + "\r\nIssuer: " + I.PeerIssuer + "\r\n";
  else
    s += "Peer certificate: none\r\n";
  if (!Local) {
    if (Insecure)
      s += "Verification: skipped (--insecure): " + I.VerifyText + "\r\n";
    else
      s += "Verification: " + I.VerifyText + (I.VerifyEnforced ? "" : " (not enforced)") + "\r\n";
  } else if (!I.IssuedFor.empty()) {
    s += "Certificate shown: issued for " + I.IssuedFor + " by the built-in authority\r\n";
  }
  return s;
}

// Where a ClientHello starts inside Data behind plaintext (a client that sends its request to
// switch and its hello in one write, as MySQL's does): the first offset from which a hello's
// headers follow, or npos.
std::size_t HelloInside(std::string_view Data) {
  for (std::size_t at = Data.find('\x16', 1); at != std::string_view::npos; at = Data.find('\x16', at + 1))
    if (at + 1 < Data.size() && Data[at + 1] == '\x03' && ScanClientHelloStart(Data.substr(at)) == hvClientHello)
      return at;
  return std::string_view::npos;
}

// The state a list shows for a leg whose handshake has completed.
std::string StateText(const TTlsInfo& I) { return I.Alpn.empty() ? I.Version : I.Version + " " + I.Alpn; }

}  // namespace

// ---- the contexts ----

TRelayTls::TRelayTls(const TTlsSettings& Settings, const std::string& RemoteHost) : FSettings(Settings) {
  if (!Settings.KeyLogFile.empty()) FKeyLog = std::make_shared<TTlsKeyLog>(Settings.KeyLogFile);
  if (Settings.RemoteLeg()) {
    TTlsClientConfig c;
    c.Verify = !Settings.Insecure;
    c.CaFile = Settings.CaFile;
    c.CertFile = Settings.ClientCertFile;
    c.KeyFile = Settings.ClientKeyFile;
    c.KeyLog = FKeyLog;
    FClient = std::make_shared<TTlsClientContext>(c);
  }
  if (Settings.LocalLeg()) {
    TTlsServerConfig c;
    c.CertFile = Settings.CertFile;
    c.KeyFile = Settings.KeyFile;
    if (c.CertFile.empty() && c.KeyFile.empty()) {
      FAuthority = std::make_shared<TCertificateAuthority>(
          Settings.DataFolder.empty() ? TCertificateAuthority::DefaultFolder() : Settings.DataFolder);
      c.Authority = FAuthority;
    }
    c.FallbackName = HostName(RemoteHost);
    c.KeyLog = FKeyLog;
    FServer = std::make_shared<TTlsServerContext>(c);
  }
}

std::string AuthorityCertificatePem(const std::string& Folder) {
  TCertificateAuthority authority(Folder.empty() ? TCertificateAuthority::DefaultFolder() : Folder);
  return authority.CertificatePem();
}

std::string PlainAlertRecord(unsigned char Description) {
  // Record type 21 (alert), version 3.3, two bytes: level 2 (fatal), the description.
  return std::string{'\x15', '\x03', '\x03', '\x00', '\x02', '\x02', static_cast<char>(Description)};
}

// ---- the sessions ----

void TRelay::TlsNewSession(TRelaySession& S) {
  if (FTls == nullptr) return;
  S.Tls = std::make_unique<TSessionTls>();
  S.Tls->Watching = FTls->Settings().LocalLeg();
}

// Local bytes read while the client's TLS is not on: true when they are taken here (a hello,
// whole or not yet); otherwise Data is what goes on as plaintext (a partial hello that turned
// out not to be one comes back whole in it).
bool TRelay::TlsLocalData(TRelaySession& S, std::string& Data) {
  if (S.Tls == nullptr || S.Client == nullptr) return false;
  TSessionTls& t = *S.Tls;
  const TTlsSettings& settings = FTls->Settings();
  if (t.LocalStarted) return false;
  if (t.HelloHeld) {
    t.Hello += Data;  // ciphertext behind the hello, for the client's TLS
    return true;
  }
  if (!t.Watching) {
    if (!t.HelloNoted && settings.RemoteTls && ScanClientHelloStart(Data) == hvClientHello) {
      t.HelloNoted = true;
      LocalEntry(S, "Error: Local speaks TLS, but only remote TLS is on: its bytes go through undecrypted");
    }
    return false;
  }
  const bool mustBeTls = settings.LocalTls && !settings.DetectTls;
  if (!t.Collecting) {
    if (Data.empty()) return false;
    if (ScanClientHelloStart(Data) == hvNotTls && !mustBeTls) {
      const std::size_t at = HelloInside(Data);
      if (at == std::string::npos) return false;  // plaintext; the next chunk is looked at again
      // The plaintext before the hello goes on as such, the hello is looked at from its start.
      S.Client->PendingLocal += Data.substr(0, at);
      if (S.Remote != nullptr && S.Remote->State() == wsConnected) ForwardLocal(S);
      Data.erase(0, at);
    }
    t.Collecting = true;
  }
  t.Hello += Data;
  THelloVerdict verdict = ScanClientHello(t.Hello, &t.Parsed);
  if (verdict == hvNeedMore) {
    if (t.Hello.size() <= kHelloLimit) return true;
    verdict = hvNotTls;
  }
  t.Collecting = false;
  if (verdict == hvNotTls) {
    if (!mustBeTls) {
      Data = std::move(t.Hello);
      t.Hello.clear();
      return false;
    }
    // A client that must speak TLS and does not: refused as a TLS server refuses it.
    t.Watching = false;
    t.Failed = true;
    const std::string why = "its first " + std::to_string(t.Hello.size()) +
                            " bytes are not a TLS ClientHello, and --local-tls expects one";
    Entry(S, "Error: Local did not start TLS", why);
    t.Hello.clear();
    S.Info.LocalTls = "failed";
    Fail(S, "Local did not start TLS: " + why);
    S.Client->SendText(PlainAlertRecord(50));
    S.Client->Shutdown(1);
    return true;
  }
  // A whole hello: the client waits for our answer, which waits for the remote side.
  t.Watching = false;
  t.HelloHeld = true;
  S.Client->PauseReceiving();
  S.Info.LocalTls = "handshake";
  SessionChanged(S);
  if (S.Connected() && S.Remote != nullptr && S.Remote->State() == wsConnected) TlsRemoteConnected(S, false);
  return true;
}

// The outgoing connection is up: before the local bytes held meanwhile are queued on it, TLS
// toward the remote side from the first byte starts; after them (or later, when the hello comes
// then), the legs that a held hello waits for.
void TRelay::TlsRemoteConnected(TRelaySession& S, bool BeforeLocalBytes) {
  if (S.Tls == nullptr || S.Tls->Failed) return;
  TSessionTls& t = *S.Tls;
  const TTlsSettings& settings = FTls->Settings();
  // From the first byte, unless the first byte is the client's hello, whose protocols the remote
  // leg offers.
  const bool remoteFirst = settings.RemoteTls && !settings.LocalTls;
  if (BeforeLocalBytes) {
    if (!t.RemoteStarted && remoteFirst) TlsStartRemote(S);
    return;
  }
  if (!t.RemoteStarted && t.HelloHeld && settings.RemoteLeg()) {
    TlsStartRemote(S);
    return;
  }
  if (t.HelloHeld && (!t.RemoteStarted || (S.Remote != nullptr && S.Remote->TlsHandshakeDone()))) TlsStartLocal(S);
}

void TRelay::TlsStartRemote(TRelaySession& S) {
  TSessionTls& t = *S.Tls;
  t.RemoteStarted = true;
  const TTlsSettings& settings = FTls->Settings();
  const std::string name = settings.ServerName.empty() ? HostName(S.Info.RemoteHost) : settings.ServerName;
  const std::vector<std::string>* alpn = t.HelloHeld && t.Parsed.HasAlpn ? &t.Parsed.Alpn : nullptr;
  S.Remote->OnTlsHandshake = [this](TComponent* Sender, std::uint16_t Error) {
    if (TRelaySession* s = SessionOf(Sender)) TlsHandshake(*s, false, Error);
  };
  S.Info.RemoteTls = "handshake";
  SessionChanged(S);
  try {
    S.Remote->StartTls(std::make_unique<TTlsEngine>(FTls->Client(), name, alpn));
  } catch (Exception& E) {
    Entry(S, "Error: TLS with Remote failed", E.Message());
    Fail(S, "TLS with Remote: " + E.Message());
    t.Failed = true;
    if (S.Client != nullptr && S.Client->State() == wsConnected) S.Client->Shutdown(1);
  }
}

void TRelay::TlsStartLocal(TRelaySession& S) {
  TSessionTls& t = *S.Tls;
  if (S.Client == nullptr || S.Client->State() != wsConnected) return;
  t.HelloHeld = false;
  t.LocalStarted = true;
  // The protocol the server chose is the one the client may have; none when it chose none.
  std::vector<std::string> choices;
  if (S.Remote != nullptr && S.Remote->TlsHandshakeDone()) {
    const std::string alpn = S.Remote->TlsInfo().Alpn;
    if (!alpn.empty()) choices.push_back(alpn);
  }
  std::string initial = std::move(t.Hello);
  t.Hello.clear();
  TClient* client = S.Client;
  client->OnTlsHandshake = [this](TComponent* Sender, std::uint16_t Error) {
    if (TRelaySession* s = SessionOf(Sender)) TlsHandshake(*s, true, Error);
  };
  try {
    client->StartTls(std::make_unique<TTlsEngine>(FTls->Server(), std::move(choices)), initial);
  } catch (Exception& E) {
    Entry(S, "Error: TLS with Local failed", E.Message());
    Fail(S, "TLS with Local: " + E.Message());
    t.Failed = true;
    client->Close();
    return;
  }
  if (S.Client == client && client->State() == wsConnected) client->ResumeReceiving();
}

void TRelay::TlsHandshake(TRelaySession& S, bool Local, std::uint16_t Error) {
  if (S.Tls == nullptr) return;
  TSessionTls& t = *S.Tls;
  TWSocket* socket = Local ? static_cast<TWSocket*>(S.Client) : S.Remote;
  if (socket == nullptr) return;
  std::string& state = Local ? S.Info.LocalTls : S.Info.RemoteTls;
  if (Error == 0) {
    const TTlsInfo info = socket->TlsInfo();
    Entry(S, Local ? "TLS with Local" : "TLS with Remote", Describe(info, Local, FTls->Settings().Insecure));
    state = StateText(info);
    SessionChanged(S);
    if (!Local && t.HelloHeld) TlsStartLocal(S);
    return;
  }
  std::string reason = socket->TlsErrorText();
  if (reason.empty()) reason = "the handshake failed";
  Entry(S, Local ? "Error: TLS with Local failed" : "Error: TLS with Remote failed", reason);
  state = "failed";
  t.Failed = true;
  Fail(S, std::string(Local ? "TLS with Local: " : "TLS with Remote: ") + reason);
  if (!Local) {
    // The client's hello gets the refusal a server would give it; a plaintext client sees the end.
    if (S.Client != nullptr && S.Client->State() == wsConnected) {
      if (t.HelloHeld) S.Client->SendText(PlainAlertRecord(40));
      t.HelloHeld = false;
      S.Client->Shutdown(1);
    }
  } else if (S.Remote != nullptr && S.Remote->State() == wsConnected) {
    S.Remote->Shutdown(1);  // close_notify when its TLS is up, then the end of the stream
  }
}

// A leg's TLS failed after its handshake (a fatal alert from the peer, a record that does not
// decrypt; in TLS 1.3 a server refuses a client's certificate only then): an error entry, and the
// other side sees the end of the stream, as from a peer that gave up, not a reset.
void TRelay::TlsBroken(TRelaySession& S, bool Local) {
  if (S.Tls == nullptr || S.Tls->Failed) return;
  S.Tls->Failed = true;
  TWSocket* socket = Local ? static_cast<TWSocket*>(S.Client) : S.Remote;
  TWSocket* other = Local ? S.Remote : static_cast<TWSocket*>(S.Client);
  std::string reason = socket != nullptr ? socket->TlsErrorText() : std::string();
  if (reason.empty()) reason = "the TLS connection failed";
  Entry(S, Local ? "Error: TLS with Local failed" : "Error: TLS with Remote failed", reason);
  (Local ? S.Info.LocalTls : S.Info.RemoteTls) = "failed";
  Fail(S, std::string(Local ? "TLS with Local: " : "TLS with Remote: ") + reason);
  if (other != nullptr && other->State() == wsConnected) {
    Flush(Local ? S.ToRemote : S.ToLocal, *other);
    other->Shutdown(1);
  }
}

// A side has ended its stream: one that ended without close_notify has truncated its TLS, and the
// other side's TLS ends the same way, without close_notify of ours.
void TRelay::TlsPeerEnded(TRelaySession& S, bool Local) {
  TWSocket* from = Local ? static_cast<TWSocket*>(S.Client) : S.Remote;
  TWSocket* to = Local ? S.Remote : static_cast<TWSocket*>(S.Client);
  if (from == nullptr || !from->TlsActive() || from->TlsPeerEnd() != tpeTruncated) return;
  Entry(S, Local ? "TLS from Local truncated" : "TLS from Remote truncated",
        "the TCP stream ended without close_notify");
  if (to != nullptr && to->TlsActive()) to->SetTlsCloseNotify(false);
}

// The local client has ended its stream while its hello was being read or waited: bytes that
// detection was looking at go on as plaintext; a hello that was whole goes nowhere.
void TRelay::TlsLocalEnded(TRelaySession& S) {
  if (S.Tls == nullptr || S.Client == nullptr) return;
  TSessionTls& t = *S.Tls;
  if (t.Collecting && !(FTls->Settings().LocalTls && !FTls->Settings().DetectTls)) {
    t.Collecting = false;
    S.Client->PendingLocal += t.Hello;
    t.Hello.clear();
    if (S.Remote != nullptr && S.Remote->State() == wsConnected) ForwardLocal(S);
    return;
  }
  if (t.Collecting || t.HelloHeld) {
    t.Collecting = t.HelloHeld = false;
    Entry(S, "Error: TLS with Local failed", "the client ended its stream during its handshake");
    t.Hello.clear();
    S.Info.LocalTls = "failed";
  }
}
