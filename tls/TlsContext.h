// Public. The TLS contexts: what every connection of one side has in common. A client context
// (toward a server: the trust store, verification, the name to ask for and check, a client
// certificate for mutual TLS, the ALPN protocols to offer) and a server context (toward a client:
// the certificate given by the user, or leaf certificates issued on the fly by the built-in
// authority for the name the client asks for). Both can write the session keys to a key log.
//
// A context is made once (at Listen, say) and shared by the engines of its connections; building
// one reads and checks every file it names, so that a bad setting fails there, with an ETlsError
// whose text names the file and the fault, rather than in the middle of a session.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <openssl/types.h>

#include "platform/Exception.h"

// A TLS setting or file that cannot be used, or an authority that cannot be created or read.
class ETlsError : public Exception {
public:
  using Exception::Exception;
};

class TCertificateAuthority;
class TTlsKeyLog;

struct TTlsClientConfig {
  bool Verify = true;               // refuse a server whose certificate does not verify
  std::string CaFile;               // PEM certificates to trust instead of the system's store
  std::string ServerName;           // SNI and the name checked; an engine may give its own
  std::string CertFile, KeyFile;    // the client's certificate and key, for mutual TLS
  std::vector<std::string> Alpn;    // the protocols offered, in order; none: no ALPN
  std::shared_ptr<TTlsKeyLog> KeyLog;
};

class TTlsClientContext {
public:
  // Throws ETlsError: a CA or certificate or key file missing, unreadable or not PEM, a key that
  // does not match its certificate, a system trust store that cannot be loaded.
  explicit TTlsClientContext(TTlsClientConfig Config);
  ~TTlsClientContext();
  TTlsClientContext(const TTlsClientContext&) = delete;
  TTlsClientContext& operator=(const TTlsClientContext&) = delete;

  const TTlsClientConfig& Config() const { return FConfig; }
  SSL_CTX* Handle() const { return FCtx; }

private:
  TTlsClientConfig FConfig;
  SSL_CTX* FCtx = nullptr;
};

struct TTlsServerConfig {
  // The certificate (its chain may follow it in the file) and key for every connection. When
  // CertFile is empty, Authority issues a leaf certificate per name instead.
  std::string CertFile, KeyFile;
  std::shared_ptr<TCertificateAuthority> Authority;
  std::string FallbackName;  // the name of the leaf for a hello without SNI
  std::shared_ptr<TTlsKeyLog> KeyLog;
};

class TTlsServerContext {
public:
  // Throws ETlsError: neither a certificate nor an authority; a certificate or key file missing,
  // unreadable or not PEM; a key that does not match its certificate.
  explicit TTlsServerContext(TTlsServerConfig Config);
  ~TTlsServerContext();
  TTlsServerContext(const TTlsServerContext&) = delete;
  TTlsServerContext& operator=(const TTlsServerContext&) = delete;

  const TTlsServerConfig& Config() const { return FConfig; }
  SSL_CTX* Handle() const { return FCtx; }

private:
  TTlsServerConfig FConfig;
  SSL_CTX* FCtx = nullptr;
};

// The text of a protocol list as the ALPN extension carries it: each name behind its length byte.
// Names that are empty or longer than 255 bytes are left out.
std::string AlpnWire(const std::vector<std::string>& Protocols);
