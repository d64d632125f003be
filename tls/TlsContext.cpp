// The client and server contexts: loading and checking their files, and the callbacks that the
// server's connections run (the leaf for the name asked for, the ALPN choice) and that both sides
// run for the key log.
#include "tls/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "tls/TlsAuthority.h"
#include "tls/TlsEngine.h"
#include "tls/TlsKeyLog.h"
#include "tls/TlsOpenSsl.h"

using namespace tls;

namespace {

void KeyLogLine(const SSL* Ssl, const char* Line) {
  auto* log = static_cast<TTlsKeyLog*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(Ssl)));
  if (log != nullptr) log->Write(Line);
}

SSL_CTX* NewContext(const SSL_METHOD* Method, const std::shared_ptr<TTlsKeyLog>& KeyLog) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(Method);
  if (ctx == nullptr) throw ETlsError("cannot make a TLS context: " + TakeErrorText("SSL_CTX_new failed"));
  // An idle connection gives its record buffers back.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  if (KeyLog) {
    SSL_CTX_set_app_data(ctx, KeyLog.get());
    SSL_CTX_set_keylog_callback(ctx, KeyLogLine);
  }
  return ctx;
}

// The certificate (and the chain behind it in the same file) and the key, checked against each
// other. Both files are read first so that each fault names its file.
void UseCertificateAndKey(SSL_CTX* Ctx, const std::string& CertFile, const std::string& KeyFile) {
  if (CertFile.empty() != KeyFile.empty())
    throw ETlsError(CertFile.empty() ? "a key file (" + KeyFile + ") needs its certificate file"
                                     : "a certificate file (" + CertFile + ") needs its key file");
  if (CertFile.empty()) return;
  LoadCertificate(CertFile);  // a clear error for a missing, unreadable or empty file
  TPkeyPtr key = LoadPrivateKey(KeyFile);
  ERR_clear_error();
  if (SSL_CTX_use_certificate_chain_file(Ctx, CertFile.c_str()) != 1)
    throw ETlsError("cannot use the certificate file " + CertFile + ": " + TakeErrorText("refused"));
  if (SSL_CTX_use_PrivateKey(Ctx, key.get()) != 1 || SSL_CTX_check_private_key(Ctx) != 1) {
    ERR_clear_error();
    throw ETlsError("the key in " + KeyFile + " does not match the certificate in " + CertFile);
  }
}

// The leaf for the name the client asks for (the fallback name when it asks for none, or for
// one that no certificate can carry), issued by the authority.
int IssueLeaf(SSL* Ssl, void* Arg) {
  const auto* context = static_cast<const TTlsServerContext*>(Arg);
  TTlsEngine* engine = TTlsEngine::Of(Ssl);
  const char* asked = SSL_get_servername(Ssl, TLSEXT_NAMETYPE_host_name);
  std::string name = asked != nullptr ? asked : "";
  if (!TCertificateAuthority::UsableName(name)) name = context->Config().FallbackName;
  if (!TCertificateAuthority::UsableName(name)) name = "localhost";
  try {
    std::shared_ptr<const TIssuedCertificate> leaf = context->Config().Authority->Leaf(name);
    if (SSL_use_certificate(Ssl, leaf->Certificate()) != 1 || SSL_use_PrivateKey(Ssl, leaf->Key()) != 1) {
      if (engine != nullptr) engine->NoteFailure("cannot use the certificate issued for " + name);
      return 0;
    }
    if (engine != nullptr) engine->SetIssuedFor(leaf->Name());
    return 1;
  } catch (Exception& E) {
    if (engine != nullptr) engine->NoteFailure(E.Message());
    return 0;
  }
}

// The first of the engine's choices that the client offers; none (and no ALPN) otherwise.
int SelectAlpn(SSL* Ssl, const unsigned char** Out, unsigned char* OutLen, const unsigned char* In,
               unsigned InLen, void*) {
  TTlsEngine* engine = TTlsEngine::Of(Ssl);
  if (engine == nullptr) return SSL_TLSEXT_ERR_NOACK;
  for (const std::string& choice : engine->AlpnChoices()) {
    for (unsigned at = 0; at < InLen;) {
      const unsigned len = In[at];
      if (at + 1 + len > InLen) break;
      if (len == choice.size() && choice.compare(0, len, reinterpret_cast<const char*>(In + at + 1), len) == 0) {
        *Out = In + at + 1;
        *OutLen = static_cast<unsigned char>(len);
        return SSL_TLSEXT_ERR_OK;
      }
      at += 1 + len;
    }
  }
  return SSL_TLSEXT_ERR_NOACK;
}

}  // namespace

std::string AlpnWire(const std::vector<std::string>& Protocols) {
  std::string wire;
  for (const std::string& p : Protocols) {
    if (p.empty() || p.size() > 255) continue;
    wire += static_cast<char>(p.size());
    wire += p;
  }
  return wire;
}

TTlsClientContext::TTlsClientContext(TTlsClientConfig Config) : FConfig(std::move(Config)) {
  FCtx = NewContext(TLS_client_method(), FConfig.KeyLog);
  try {
    ERR_clear_error();
    if (!FConfig.CaFile.empty()) {
      ReadFileOrThrow(FConfig.CaFile, "CA certificate");
      if (SSL_CTX_load_verify_file(FCtx, FConfig.CaFile.c_str()) != 1)
        throw ETlsError("the CA file " + FConfig.CaFile + " holds no usable certificate (" +
                        TakeErrorText("refused") + ")");
    } else if (SSL_CTX_set_default_verify_paths(FCtx) != 1) {
      throw ETlsError("cannot load the system's trusted certificates: " + TakeErrorText("refused"));
    }
    // Verification runs either way, so that its result can be told; Verify makes it decide.
    SSL_CTX_set_verify(FCtx, FConfig.Verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    UseCertificateAndKey(FCtx, FConfig.CertFile, FConfig.KeyFile);
    if (!FConfig.Alpn.empty()) {
      const std::string wire = AlpnWire(FConfig.Alpn);
      SSL_CTX_set_alpn_protos(FCtx, reinterpret_cast<const unsigned char*>(wire.data()),
                              static_cast<unsigned>(wire.size()));
    }
  } catch (...) {
    SSL_CTX_free(FCtx);
    throw;
  }
}

TTlsClientContext::~TTlsClientContext() { SSL_CTX_free(FCtx); }

TTlsServerContext::TTlsServerContext(TTlsServerConfig Config) : FConfig(std::move(Config)) {
  FCtx = NewContext(TLS_server_method(), FConfig.KeyLog);
  try {
    if (!FConfig.CertFile.empty() || !FConfig.KeyFile.empty()) {
      UseCertificateAndKey(FCtx, FConfig.CertFile, FConfig.KeyFile);
    } else if (FConfig.Authority) {
      SSL_CTX_set_cert_cb(FCtx, IssueLeaf, this);
    } else {
      throw ETlsError("no certificate for the TLS server side: give a certificate and its key, or the built-in authority");
    }
    SSL_CTX_set_alpn_select_cb(FCtx, SelectAlpn, nullptr);
  } catch (...) {
    SSL_CTX_free(FCtx);
    throw;
  }
}

TTlsServerContext::~TTlsServerContext() { SSL_CTX_free(FCtx); }
