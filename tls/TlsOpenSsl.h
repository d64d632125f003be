// Internal to tls/: owning handles for OpenSSL's objects, the texts of its error queue, and
// reading PEM files with errors that name the file and what was wrong with it.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace tls {

struct TSslCtxFree { void operator()(SSL_CTX* P) const { SSL_CTX_free(P); } };
struct TSslFree { void operator()(SSL* P) const { SSL_free(P); } };
struct TX509Free { void operator()(X509* P) const { X509_free(P); } };
struct TPkeyFree { void operator()(EVP_PKEY* P) const { EVP_PKEY_free(P); } };
struct TBioFree { void operator()(BIO* P) const { BIO_free_all(P); } };

using TSslCtxPtr = std::unique_ptr<SSL_CTX, TSslCtxFree>;
using TSslPtr = std::unique_ptr<SSL, TSslFree>;
using TX509Ptr = std::unique_ptr<X509, TX509Free>;
using TPkeyPtr = std::unique_ptr<EVP_PKEY, TPkeyFree>;
using TBioPtr = std::unique_ptr<BIO, TBioFree>;

// The reasons that OpenSSL's error queue holds, oldest first, joined with "; ", and the queue
// emptied; Fallback when the queue is empty.
std::string TakeErrorText(const std::string& Fallback);

// The whole content of a file, or an exception naming the file and the system's reason.
std::string ReadFileOrThrow(const std::string& Path, const char* What);

// The first certificate in the PEM file at Path, and the key. Both throw ETlsError with a text
// that names the file: missing or unreadable, no certificate or key in it, an encrypted key (no
// pass phrase is ever asked for on the terminal).
TX509Ptr LoadCertificate(const std::string& Path);
TPkeyPtr LoadPrivateKey(const std::string& Path);

// The one-line text of a certificate name ("CN=example.com, O=Example").
std::string NameText(const X509_NAME* Name);

}  // namespace tls
