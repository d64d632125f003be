// Public. TLS in the relay: what the user sets, and what the engine builds from it at Listen.
//
//   --remote-tls   the relay connects to the remote side with TLS from the first byte
//   --local-tls    the local client speaks TLS from its first byte; the relay terminates it
//   --detect-tls   a ClientHello from the local client, at the start or at any later chunk
//                  (after STARTTLS, an SSLRequest answered "S"), switches both legs to TLS
//
// With local TLS (or detection) the relay holds the client's ClientHello, makes its own
// connection to the remote side offering the same application protocols (ALPN), and answers the
// client once the remote side has chosen: the client gets the protocol the server took, and a
// certificate for the name it asked for (SNI), issued by the built-in authority unless the user
// gave one. Toward the remote side the name is the remote host's unless ServerName is set.
#pragma once

#include <memory>
#include <string>

#include "tls/TlsClientHello.h"

class TCertificateAuthority;
class TTlsClientContext;
class TTlsServerContext;
class TTlsKeyLog;

struct TTlsSettings {
  bool RemoteTls = false;
  bool LocalTls = false;
  bool DetectTls = false;
  std::string CertFile, KeyFile;              // the local side's certificate; empty: the authority
  std::string ClientCertFile, ClientKeyFile;  // toward the remote side, for mutual TLS
  bool Insecure = false;                      // the remote side's certificate is not verified
  std::string ServerName;                     // SNI toward the remote side; empty: the remote host
  std::string CaFile;                         // trusted instead of the system's store; empty: the system's
  std::string KeyLogFile;                     // the NSS key log of both legs; empty: none
  std::string DataFolder;                     // the authority's folder; empty: the default

  bool Any() const { return RemoteTls || LocalTls || DetectTls; }
  // TLS toward the remote side once the local side speaks TLS, or from the first byte.
  bool RemoteLeg() const { return RemoteTls || DetectTls; }
  bool LocalLeg() const { return LocalTls || DetectTls; }
};

// A session's TLS: where its local client's hello stands and what each leg has done.
struct TSessionTls {
  // Looking for the local client's ClientHello: from the first byte (local TLS), or in every
  // chunk (detection), until TLS is on.
  bool Watching = false;
  bool Collecting = false;  // the bytes in Hello may be a hello not yet whole
  bool HelloHeld = false;   // a whole hello waits in Hello for the remote leg
  std::string Hello;        // the client's ciphertext from its hello on, not yet given to TLS
  TClientHello Parsed;
  bool RemoteStarted = false;
  bool LocalStarted = false;
  bool Failed = false;      // a leg's TLS failed: the session ends without a reset
  bool HelloNoted = false;  // a hello with only remote TLS on has been logged
};

// The contexts of one Listen, shared by the engines of its sessions (each engine keeps its own
// context alive, so a new Listen with other settings leaves running sessions as they are).
class TRelayTls {
public:
  // Reads and checks every file the settings name, creates or loads the authority when it is
  // needed, and opens the key log. Throws ETlsError with a one-line reason.
  TRelayTls(const TTlsSettings& Settings, const std::string& RemoteHost);

  const TTlsSettings& Settings() const { return FSettings; }
  const std::shared_ptr<TTlsClientContext>& Client() const { return FClient; }
  const std::shared_ptr<TTlsServerContext>& Server() const { return FServer; }
  const std::shared_ptr<TCertificateAuthority>& Authority() const { return FAuthority; }

private:
  TTlsSettings FSettings;
  std::shared_ptr<TTlsKeyLog> FKeyLog;
  std::shared_ptr<TCertificateAuthority> FAuthority;
  std::shared_ptr<TTlsClientContext> FClient;
  std::shared_ptr<TTlsServerContext> FServer;
};

// The authority's certificate in PEM, from Folder (empty: the default), creating the authority
// when there is none. Throws ETlsError.
std::string AuthorityCertificatePem(const std::string& Folder);

// A TLS alert record as a server sends it before any handshake message has been agreed: fatal,
// with Description (40: handshake_failure, 50: decode_error, 80: internal_error).
std::string PlainAlertRecord(unsigned char Description);
