// Public. TTlsEngine: one TLS connection over memory, with no socket of its own. The owner feeds
// it the ciphertext that arrives and sends on the ciphertext that it produces; in between, the
// engine runs the handshake, decrypts records into plaintext for the owner to read, and encrypts
// the owner's plaintext:
//
//   network --PutCiphertext--> [read BIO] --SSL--> ReadPlaintext --> owner
//   owner --WritePlaintext--> SSL --> [write BIO] --TakeCiphertext--> network
//
// Nothing here blocks or waits: every call does what the bytes at hand allow and returns. After
// each call that may produce bytes (Advance, ReadPlaintext, PlaintextReady, WritePlaintext,
// SendCloseNotify) the owner takes what CiphertextOut holds: handshake messages, session
// tickets, alerts and close_notify come out that way without the owner asking.
//
// The ends: close_notify from the peer (TLS's end of stream) is PeerClosed(), seen once every
// byte before it has been read; SendCloseNotify queues ours. A transport that ends without the
// peer's close_notify is a truncation, which the owner tells from PeerClosed() being false. A
// fatal error (a failed handshake, a bad record, a fatal alert from the peer) is Failed(), with
// OpenSSL's reason in ErrorText(); the alert that tells the peer is in CiphertextOut.
//
// A server engine can start midway with ciphertext already received (the ClientHello that the
// owner has read and recognised): PutCiphertext it before the first Advance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <openssl/types.h>

class TTlsClientContext;
class TTlsServerContext;

enum TTlsRole : std::uint8_t { trClient = 0, trServer = 1 };

// The facts of a completed handshake, for the log and the sessions list.
struct TTlsInfo {
  std::string Version;          // "TLSv1.3"
  std::string Cipher;           // "TLS_AES_256_GCM_SHA384"
  std::string ServerName;       // SNI: sent (client) or received (server); empty: none
  std::string Alpn;             // the protocol agreed; empty: none
  bool PeerCertificate = false; // the peer showed a certificate
  std::string PeerSubject;      // "CN=example.com, O=Example"
  std::string PeerIssuer;
  long VerifyResult = 0;        // X509_V_OK (0) or the X509_V_ERR_* code
  std::string VerifyText;       // "ok" or OpenSSL's text: "certificate has expired"
  bool VerifyEnforced = false;  // a failed verification ends the handshake (client with Verify)
  bool Resumed = false;
  std::string IssuedFor;        // server with the authority: the name of the leaf it showed
};

class TTlsEngine {
public:
  // A client toward a server. ServerName (SNI, and the name the certificate must carry) and Alpn
  // replace the context's when given; an IP address as the name is checked against the
  // certificate's addresses and not sent as SNI.
  TTlsEngine(std::shared_ptr<const TTlsClientContext> Context, const std::string& ServerName = {},
             const std::vector<std::string>* Alpn = nullptr);
  // A server toward a client. AlpnChoices: the protocols that may be agreed, in the order of
  // preference; the first that the client offers is taken, and none when it offers none of them
  // (the handshake goes on without ALPN).
  TTlsEngine(std::shared_ptr<const TTlsServerContext> Context, std::vector<std::string> AlpnChoices = {});
  ~TTlsEngine();
  TTlsEngine(const TTlsEngine&) = delete;
  TTlsEngine& operator=(const TTlsEngine&) = delete;

  TTlsRole Role() const { return FRole; }

  // ---- ciphertext in ----
  void PutCiphertext(const char* Data, std::size_t Len);
  std::size_t CiphertextInBuffered() const;  // fed, not yet taken by a record

  // Runs the handshake as far as the ciphertext at hand allows (a client's first call writes its
  // ClientHello). True once the handshake is complete.
  bool Advance();

  // ---- plaintext out ----
  // Decrypted bytes that ReadPlaintext can return at once (a record may be decrypted for this).
  std::int32_t PlaintextReady();
  // Up to Size plaintext bytes; 0 when none are there now (then see PeerClosed and Failed).
  std::int32_t ReadPlaintext(char* Buffer, std::int32_t Size);

  // ---- plaintext in ----
  // Encrypts Len bytes into records (after the handshake): how many were taken (all of them but
  // while a renegotiation waits for the peer), -1 when the engine has failed.
  std::int32_t WritePlaintext(const char* Data, std::int32_t Len);
  // Queues close_notify, once. False when it cannot be sent (before the handshake, or failed).
  bool SendCloseNotify();

  // ---- ciphertext out ----
  // The bytes to send: how many there are, and up to Size of them moved into Buffer.
  std::size_t CiphertextPending() const;
  std::size_t ReadCiphertext(char* Buffer, std::size_t Size);

  // Frees the memory buffers that have grown past a few records and hold nothing now, so that an
  // idle connection keeps its bookkeeping only.
  void ReleaseIdleBuffers();
  // The memory the two buffers hold now, used or not.
  std::size_t BufferCapacity() const;

  // ---- state ----
  bool HandshakeDone() const { return FHandshakeDone; }
  bool Failed() const { return FFailed; }
  bool PeerClosed() const { return FPeerClosed; }  // the peer's close_notify has been read
  bool CloseNotifySent() const { return FCloseNotifySent; }
  const std::string& ErrorText() const { return FErrorText; }
  // The last alert received from the peer and the last one sent, as "fatal: unknown CA"; empty
  // when none.
  const std::string& AlertReceived() const { return FAlertReceived; }
  const std::string& AlertSent() const { return FAlertSent; }
  TTlsInfo Info() const;

  // Fails the engine from outside: the transport ended before the handshake did, say.
  void Abandon(const std::string& Text);

  // For the context's callbacks.
  const std::vector<std::string>& AlpnChoices() const { return FAlpnChoices; }
  void SetIssuedFor(const std::string& Name) { FIssuedFor = Name; }
  void NoteFailure(const std::string& Text) { FCallbackError = Text; }
  void NoteAlert(bool Received, const std::string& Text) { (Received ? FAlertReceived : FAlertSent) = Text; }
  static TTlsEngine* Of(const SSL* Ssl);

private:
  void Setup(SSL_CTX* Ctx);
  // Looks at a failed SSL call: false and Failed() for a fatal error.
  bool Judge(int Result);
  void Fail();

  std::shared_ptr<const void> FContext;  // keeps the SSL_CTX alive
  TTlsRole FRole;
  SSL* FSsl = nullptr;
  BIO* FRead = nullptr;   // owned by FSsl
  BIO* FWrite = nullptr;  // owned by FSsl
  bool FVerifyEnforced = false;
  std::vector<std::string> FAlpnChoices;
  bool FHandshakeDone = false;
  bool FFailed = false;
  bool FPeerClosed = false;
  bool FCloseNotifySent = false;
  std::string FErrorText;
  std::string FCallbackError;
  std::string FAlertReceived, FAlertSent;
  std::string FIssuedFor;
};
