// Internal to tls/: OpenSSL's error texts and the readers of PEM certificate and key files.
#include "tls/TlsOpenSsl.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tls/TlsContext.h"

namespace tls {

std::string TakeErrorText(const std::string& Fallback) {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(code);
    std::string one = reason != nullptr ? reason : "error " + std::to_string(ERR_GET_REASON(code));
    if (text.find(one) != std::string::npos) continue;
    if (!text.empty()) text += "; ";
    text += one;
  }
  return text.empty() ? Fallback : text;
}

std::string ReadFileOrThrow(const std::string& Path, const char* What) {
  auto failure = [&] { return ETlsError(std::string("cannot read the ") + What + " file " + Path + ": " + std::strerror(errno)); };
  const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw failure();
  std::string content;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ETlsError e = failure();
      ::close(fd);
      throw e;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

namespace {

// Refuses to ask for a pass phrase: an encrypted key fails to load instead of prompting.
int NoPassphrase(char*, int, int, void*) { return -1; }

TBioPtr MemoryOf(const std::string& Content) {
  return TBioPtr(BIO_new_mem_buf(Content.data(), static_cast<int>(Content.size())));
}

}  // namespace

TX509Ptr LoadCertificate(const std::string& Path) {
  const std::string content = ReadFileOrThrow(Path, "certificate");
  TBioPtr bio = MemoryOf(content);
  ERR_clear_error();
  TX509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr));
  if (!cert)
    throw ETlsError("the certificate file " + Path + " holds no PEM certificate (" +
                    TakeErrorText("nothing readable") + ")");
  return cert;
}

TPkeyPtr LoadPrivateKey(const std::string& Path) {
  std::string content = ReadFileOrThrow(Path, "key");
  struct TWipe {  // the key's text leaves no copy in freed memory
    std::string& Text;
    ~TWipe() { OPENSSL_cleanse(Text.data(), Text.size()); }
  } wipe{content};
  TBioPtr bio = MemoryOf(content);
  ERR_clear_error();
  TPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
  if (!key) {
    const bool encrypted = content.find("ENCRYPTED") != std::string::npos;
    throw ETlsError("the key file " + Path +
                    (encrypted ? " holds an encrypted key; give a key without a pass phrase"
                               : " holds no PEM private key (" + TakeErrorText("nothing readable") + ")"));
  }
  return key;
}

std::string NameText(const X509_NAME* Name) {
  if (Name == nullptr) return {};
  TBioPtr bio(BIO_new(BIO_s_mem()));
  X509_NAME_print_ex(bio.get(), Name, 0,
                     (XN_FLAG_ONELINE & ~XN_FLAG_SPC_EQ & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio.get(), &data);
  return len > 0 ? std::string(data, static_cast<std::size_t>(len)) : std::string();
}

}  // namespace tls
