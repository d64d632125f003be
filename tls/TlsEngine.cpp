// TTlsEngine: one SSL object between two memory BIOs, and the judgement of each call's outcome.
#include "tls/TlsEngine.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "tls/TlsContext.h"
#include "tls/TlsOpenSsl.h"

using namespace tls;

namespace {

// A memory BIO that has grown past this and holds nothing is replaced by a new one.
constexpr std::size_t kIdleBufferLimit = 20 * 1024;

BIO* NewMemoryBio() {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) throw ETlsError("cannot make a TLS connection: out of memory");
  BIO_set_mem_eof_return(bio, -1);  // empty means "wait for more", never an end of stream
  return bio;
}

std::size_t Capacity(BIO* Bio) {
  BUF_MEM* mem = nullptr;
  BIO_get_mem_ptr(Bio, &mem);
  return mem != nullptr ? mem->max : 0;
}

void InfoCallback(const SSL* Ssl, int Where, int Value) {
  if ((Where & SSL_CB_ALERT) == 0) return;
  TTlsEngine* engine = TTlsEngine::Of(Ssl);
  if (engine == nullptr) return;
  std::string text = std::string(SSL_alert_type_string_long(Value)) + ": " + SSL_alert_desc_string_long(Value);
  engine->NoteAlert((Where & SSL_CB_READ) != 0, text);
}

}  // namespace

TTlsEngine::TTlsEngine(std::shared_ptr<const TTlsClientContext> Context, const std::string& ServerName,
                       const std::vector<std::string>* Alpn)
    : FContext(Context), FRole(trClient) {
  Setup(Context->Handle());
  SSL_set_connect_state(FSsl);
  const TTlsClientConfig& config = Context->Config();
  FVerifyEnforced = config.Verify;
  const std::string name = ServerName.empty() ? config.ServerName : ServerName;
  if (!name.empty()) {
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.c_str());
    ERR_clear_error();
    if (ip != nullptr) {
      ASN1_OCTET_STRING_free(ip);
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), name.c_str());
    } else {
      SSL_set_tlsext_host_name(FSsl, name.c_str());
      SSL_set1_host(FSsl, name.c_str());
    }
  }
  if (Alpn != nullptr) {
    const std::string wire = AlpnWire(*Alpn);
    SSL_set_alpn_protos(FSsl, reinterpret_cast<const unsigned char*>(wire.data()), static_cast<unsigned>(wire.size()));
  }
}

TTlsEngine::TTlsEngine(std::shared_ptr<const TTlsServerContext> Context, std::vector<std::string> AlpnChoices)
    : FContext(Context), FRole(trServer), FAlpnChoices(std::move(AlpnChoices)) {
  Setup(Context->Handle());
  SSL_set_accept_state(FSsl);
}

TTlsEngine::~TTlsEngine() { SSL_free(FSsl); }

void TTlsEngine::Setup(SSL_CTX* Ctx) {
  ERR_clear_error();
  FSsl = SSL_new(Ctx);
  if (FSsl == nullptr) throw ETlsError("cannot make a TLS connection: " + TakeErrorText("SSL_new failed"));
  FRead = NewMemoryBio();
  FWrite = NewMemoryBio();
  SSL_set_bio(FSsl, FRead, FWrite);
  SSL_set_app_data(FSsl, this);
  SSL_set_info_callback(FSsl, InfoCallback);
}

TTlsEngine* TTlsEngine::Of(const SSL* Ssl) { return static_cast<TTlsEngine*>(SSL_get_app_data(Ssl)); }

void TTlsEngine::PutCiphertext(const char* Data, std::size_t Len) {
  if (Len > 0) BIO_write(FRead, Data, static_cast<int>(Len));
}

std::size_t TTlsEngine::CiphertextInBuffered() const { return BIO_ctrl_pending(FRead); }

bool TTlsEngine::Judge(int Result) {
  switch (SSL_get_error(FSsl, Result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      ERR_clear_error();
      return true;
    case SSL_ERROR_ZERO_RETURN:
      FPeerClosed = true;
      ERR_clear_error();
      return true;
    default:
      Fail();
      return false;
  }
}

void TTlsEngine::Fail() {
  FFailed = true;
  std::string text = TakeErrorText(FAlertReceived.empty() ? "TLS error" : "alert from the peer: " + FAlertReceived);
  const long verify = SSL_get_verify_result(FSsl);
  if (verify != X509_V_OK && text.find("certificate verify failed") != std::string::npos)
    text += " (" + std::string(X509_verify_cert_error_string(verify)) + ")";
  if (!FCallbackError.empty()) text = FCallbackError + " (" + text + ")";
  FErrorText = text;
}

void TTlsEngine::Abandon(const std::string& Text) {
  if (FFailed) return;
  FFailed = true;
  FErrorText = Text;
}

bool TTlsEngine::Advance() {
  if (FFailed) return false;
  if (FHandshakeDone) return true;
  ERR_clear_error();
  const int r = SSL_do_handshake(FSsl);
  if (r == 1) {
    FHandshakeDone = true;
    return true;
  }
  Judge(r);
  return false;
}

std::int32_t TTlsEngine::PlaintextReady() {
  if (FFailed || !FHandshakeDone) return 0;
  int pending = SSL_pending(FSsl);
  if (pending > 0 || FPeerClosed) return pending;
  // A record or more may wait whole in the read BIO: taking one decrypts it.
  while (BIO_ctrl_pending(FRead) > 0) {
    const std::size_t before = BIO_ctrl_pending(FRead);
    char byte = 0;
    std::size_t got = 0;
    ERR_clear_error();
    const int r = SSL_peek_ex(FSsl, &byte, 1, &got);
    if (r == 1) return SSL_pending(FSsl);
    if (!Judge(r) || FPeerClosed || BIO_ctrl_pending(FRead) == before) return 0;
  }
  return 0;
}

std::int32_t TTlsEngine::ReadPlaintext(char* Buffer, std::int32_t Size) {
  if (Size <= 0 || FFailed || !FHandshakeDone) return 0;
  std::int32_t total = 0;
  while (total < Size && !FPeerClosed) {
    std::size_t got = 0;
    ERR_clear_error();
    const int r = SSL_read_ex(FSsl, Buffer + total, static_cast<std::size_t>(Size - total), &got);
    if (r != 1) {
      Judge(r);
      break;
    }
    total += static_cast<std::int32_t>(got);
  }
  return total;
}

std::int32_t TTlsEngine::WritePlaintext(const char* Data, std::int32_t Len) {
  if (FFailed || !FHandshakeDone || FCloseNotifySent) return -1;
  std::int32_t done = 0;
  while (done < Len) {
    std::size_t written = 0;
    ERR_clear_error();
    const int r = SSL_write_ex(FSsl, Data + done, static_cast<std::size_t>(Len - done), &written);
    if (r != 1) {
      if (!Judge(r)) return -1;
      break;
    }
    done += static_cast<std::int32_t>(written);
  }
  return done;
}

bool TTlsEngine::SendCloseNotify() {
  if (FFailed || !FHandshakeDone) return false;
  if (FCloseNotifySent) return true;
  ERR_clear_error();
  const int r = SSL_shutdown(FSsl);
  if (r < 0 && !Judge(r)) return false;
  FCloseNotifySent = true;
  return true;
}

std::size_t TTlsEngine::CiphertextPending() const { return BIO_ctrl_pending(FWrite); }

std::size_t TTlsEngine::ReadCiphertext(char* Buffer, std::size_t Size) {
  if (Size == 0) return 0;
  const int n = BIO_read(FWrite, Buffer, static_cast<int>(std::min<std::size_t>(Size, 1 << 30)));
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void TTlsEngine::ReleaseIdleBuffers() {
  if (BIO_ctrl_pending(FRead) == 0 && Capacity(FRead) > kIdleBufferLimit) {
    FRead = NewMemoryBio();
    SSL_set0_rbio(FSsl, FRead);
  }
  if (BIO_ctrl_pending(FWrite) == 0 && Capacity(FWrite) > kIdleBufferLimit) {
    FWrite = NewMemoryBio();
    SSL_set0_wbio(FSsl, FWrite);
  }
}

std::size_t TTlsEngine::BufferCapacity() const { return Capacity(FRead) + Capacity(FWrite); }

TTlsInfo TTlsEngine::Info() const {
  TTlsInfo info;
  info.Version = SSL_get_version(FSsl);
  const SSL_CIPHER* cipher = SSL_get_current_cipher(FSsl);
  if (cipher != nullptr) info.Cipher = SSL_CIPHER_get_name(cipher);
  const char* sni = SSL_get_servername(FSsl, TLSEXT_NAMETYPE_host_name);
  if (sni != nullptr) info.ServerName = sni;
  const unsigned char* alpn = nullptr;
  unsigned alpnLen = 0;
  SSL_get0_alpn_selected(FSsl, &alpn, &alpnLen);
  if (alpn != nullptr) info.Alpn.assign(reinterpret_cast<const char*>(alpn), alpnLen);
  X509* peer = SSL_get0_peer_certificate(FSsl);
  if (peer != nullptr) {
    info.PeerCertificate = true;
    info.PeerSubject = NameText(X509_get_subject_name(peer));
    info.PeerIssuer = NameText(X509_get_issuer_name(peer));
    info.VerifyResult = SSL_get_verify_result(FSsl);
    info.VerifyText = X509_verify_cert_error_string(info.VerifyResult);
  }
  info.VerifyEnforced = FVerifyEnforced;
  info.Resumed = SSL_session_reused(FSsl) == 1;
  info.IssuedFor = FIssuedFor;
  return info;
}
