// TCertificateAuthority: creating and loading the authority's files, and issuing leaves.
#include "tls/TlsAuthority.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "tls/TlsContext.h"
#include "tls/TlsOpenSsl.h"

using namespace tls;

namespace {

constexpr long kDay = 24 * 60 * 60;
constexpr long kCaDays = 10 * 365;
constexpr long kLeafDays = 365;

std::string SystemError(const std::string& What) { return What + ": " + std::strerror(errno); }

// Makes Path and its missing parents, each new one with mode 0700.
void MakeFolders(const std::string& Path) {
  std::string done;
  std::size_t at = 0;
  while (at != std::string::npos) {
    at = Path.find('/', at + 1);
    done = Path.substr(0, at);
    if (done.empty()) continue;
    if (::mkdir(done.c_str(), 0700) != 0 && errno != EEXIST)
      throw ETlsError(SystemError("cannot create the folder " + done));
  }
  struct stat st {};
  if (::stat(Path.c_str(), &st) != 0) throw ETlsError(SystemError("cannot use the folder " + Path));
  if (!S_ISDIR(st.st_mode)) throw ETlsError("cannot use the folder " + Path + ": it is not a folder");
}

// Writes Content to Path through a new file of mode Mode that is renamed over Path once whole:
// the file never exists with other permissions, nor half written.
void WriteNewFile(const std::string& Path, const std::string& Content, mode_t Mode) {
  const std::string temporary = Path + ".new";
  ::unlink(temporary.c_str());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, Mode);
  if (fd < 0) throw ETlsError(SystemError("cannot write " + temporary));
  bool ok = ::fchmod(fd, Mode) == 0;  // the umask may have taken bits the owner needs
  for (std::size_t done = 0; ok && done < Content.size();) {
    ssize_t n = ::write(fd, Content.data() + done, Content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  const int failure = errno;
  ::close(fd);
  if (!ok || ::rename(temporary.c_str(), Path.c_str()) != 0) {
    if (ok) errno = failure;
    std::string text = SystemError("cannot write " + Path);
    ::unlink(temporary.c_str());
    throw ETlsError(text);
  }
}

std::string PemOf(X509* Certificate) {
  TBioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), Certificate);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(len));
}

std::string KeyPemOf(EVP_PKEY* Key) {
  TBioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), Key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio.get(), &data);
  std::string pem(data, static_cast<std::size_t>(len));
  OPENSSL_cleanse(data, static_cast<std::size_t>(len));
  return pem;
}

TPkeyPtr NewKey() {
  TPkeyPtr key(EVP_EC_gen("P-256"));
  if (!key) throw ETlsError("cannot make a key: " + TakeErrorText("key generation failed"));
  return key;
}

void AddExtension(X509* Certificate, X509V3_CTX& Context, int Nid, const char* Value) {
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &Context, Nid, Value);
  if (ext == nullptr || X509_add_ext(Certificate, ext, -1) != 1) {
    X509_EXTENSION_free(ext);
    throw ETlsError("cannot make a certificate: " + TakeErrorText("extension refused"));
  }
  X509_EXTENSION_free(ext);
}

// A certificate with a random positive 127-bit serial, the validity from a day ago for Days days
// (cut at NotAfterLimit when given), Subject as its subject and the public half of Key.
TX509Ptr NewCertificate(EVP_PKEY* Key, const std::string& CommonName, long Days, const ASN1_TIME* NotAfterLimit) {
  TX509Ptr cert(X509_new());
  X509_set_version(cert.get(), 2);
  BIGNUM* serial = BN_new();
  BN_rand(serial, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
  BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get()));
  BN_free(serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kDay);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), Days * kDay);
  if (NotAfterLimit != nullptr && ASN1_TIME_compare(X509_get0_notAfter(cert.get()), NotAfterLimit) > 0)
    X509_set1_notAfter(cert.get(), NotAfterLimit);
  X509_NAME* name = X509_get_subject_name(cert.get());
  if (!CommonName.empty() && CommonName.size() <= 64)
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(CommonName.data()),
                               static_cast<int>(CommonName.size()), -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Vantrel"), -1, -1, 0);
  X509_set_pubkey(cert.get(), Key);
  return cert;
}

void Sign(X509* Certificate, EVP_PKEY* IssuerKey) {
  if (X509_sign(Certificate, IssuerKey, EVP_sha256()) <= 0)
    throw ETlsError("cannot sign a certificate: " + TakeErrorText("signing failed"));
}

// Holds an exclusive lock on the folder's lock file for its lifetime.
class TFolderLock {
public:
  explicit TFolderLock(const std::string& Folder) {
    const std::string path = Folder + "/ca.lock";
    FFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (FFd < 0) throw ETlsError(SystemError("cannot write in the folder " + Folder));
    while (::flock(FFd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~TFolderLock() { ::close(FFd); }
  TFolderLock(const TFolderLock&) = delete;
  TFolderLock& operator=(const TFolderLock&) = delete;

private:
  int FFd = -1;
};

bool Exists(const std::string& Path) {
  struct stat st {};
  return ::lstat(Path.c_str(), &st) == 0;
}

std::string Lower(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return Text;
}

}  // namespace

// ---- TIssuedCertificate ----

TIssuedCertificate::TIssuedCertificate(X509* Certificate, EVP_PKEY* Key, std::string Name)
    : FCertificate(Certificate), FKey(Key), FName(std::move(Name)) {
  EVP_PKEY_up_ref(FKey);
}

TIssuedCertificate::~TIssuedCertificate() {
  X509_free(FCertificate);
  EVP_PKEY_free(FKey);
}

std::string TIssuedCertificate::CertificatePem() const { return PemOf(FCertificate); }

// ---- TCertificateAuthority ----

std::string TCertificateAuthority::DefaultFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/vantrel";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0')
    throw ETlsError("no folder for the certificate authority: neither XDG_DATA_HOME nor HOME is set");
  return std::string(home) + "/.local/share/vantrel";
}

TCertificateAuthority::TCertificateAuthority(const std::string& Folder) : FFolder(Folder) {
  while (FFolder.size() > 1 && FFolder.back() == '/') FFolder.pop_back();
  try {
    MakeFolders(FFolder);
    TFolderLock lock(FFolder);
    const bool haveCert = Exists(CertificateFile()), haveKey = Exists(KeyFile());
    if (haveCert && haveKey)
      Load();
    else if (!haveCert && !haveKey)
      Create();
    else
      throw ETlsError("the certificate authority in " + FFolder + " is incomplete: " +
                      (haveKey ? CertificateFile() : KeyFile()) +
                      " is missing; remove ca-cert.pem and ca-key.pem there to make a new authority");
    FLeafKey = NewKey().release();
  } catch (...) {
    X509_free(FCertificate);
    EVP_PKEY_free(FKey);
    throw;
  }
}

TCertificateAuthority::~TCertificateAuthority() {
  FCache.clear();
  X509_free(FCertificate);
  EVP_PKEY_free(FKey);
  EVP_PKEY_free(FLeafKey);
}

void TCertificateAuthority::Create() {
  TPkeyPtr key = NewKey();
  TX509Ptr cert = NewCertificate(key.get(), "Vantrel local authority", kCaDays, nullptr);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert.get(), cert.get(), nullptr, nullptr, 0);
  AddExtension(cert.get(), context, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
  AddExtension(cert.get(), context, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(cert.get(), context, NID_subject_key_identifier, "hash");
  Sign(cert.get(), key.get());
  // The key first: a certificate on disk always has its key beside it.
  std::string keyPem = KeyPemOf(key.get());
  try {
    WriteNewFile(KeyFile(), keyPem, 0600);
  } catch (...) {
    OPENSSL_cleanse(keyPem.data(), keyPem.size());
    throw;
  }
  OPENSSL_cleanse(keyPem.data(), keyPem.size());
  WriteNewFile(CertificateFile(), PemOf(cert.get()), 0644);
  FCertificate = cert.release();
  FKey = key.release();
  FCreatedNow = true;
}

void TCertificateAuthority::Load() {
  struct stat st {};
  if (::stat(KeyFile().c_str(), &st) != 0) throw ETlsError(SystemError("cannot read " + KeyFile()));
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw ETlsError("the authority's key file " + KeyFile() + " can be read by other users (mode " + mode +
                    "); make it readable only by you: chmod 600 " + KeyFile());
  }
  TX509Ptr cert = LoadCertificate(CertificateFile());
  TPkeyPtr key = LoadPrivateKey(KeyFile());
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    ERR_clear_error();
    throw ETlsError("the authority's key " + KeyFile() + " does not match its certificate " + CertificateFile());
  }
  FCertificate = cert.release();
  FKey = key.release();
}

std::string TCertificateAuthority::CertificatePem() const { return PemOf(FCertificate); }

void TCertificateAuthority::ExportCertificate(const std::string& Path) const {
  WriteNewFile(Path, CertificatePem(), 0644);
}

bool TCertificateAuthority::UsableName(const std::string& Name) {
  if (Name.empty() || Name.size() > 253) return false;
  ASN1_OCTET_STRING* ip = a2i_IPADDRESS(Name.c_str());
  if (ip != nullptr) {
    ASN1_OCTET_STRING_free(ip);
    return true;
  }
  ERR_clear_error();
  std::string name = Name;
  if (name.back() == '.') name.pop_back();
  std::size_t label = 0;
  for (char c : name) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    if (++label > 63) return false;
  }
  return label > 0;
}

std::shared_ptr<const TIssuedCertificate> TCertificateAuthority::Leaf(const std::string& Name) {
  if (!UsableName(Name)) throw ETlsError("no certificate can be issued for the name \"" + Name + "\"");
  ASN1_OCTET_STRING* ip = a2i_IPADDRESS(Name.c_str());
  ERR_clear_error();
  std::string name = ip != nullptr ? Name : Lower(Name);
  if (ip == nullptr && name.back() == '.') name.pop_back();
  auto found = FCache.find(name);
  if (found != FCache.end()) {
    ASN1_OCTET_STRING_free(ip);
    return found->second;
  }

  TX509Ptr cert;
  try {
    cert = NewCertificate(FLeafKey, name, kLeafDays, X509_get0_notAfter(FCertificate));
    X509_set_issuer_name(cert.get(), X509_get_subject_name(FCertificate));
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, FCertificate, cert.get(), nullptr, nullptr, 0);
    AddExtension(cert.get(), context, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), context, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    AddExtension(cert.get(), context, NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), context, NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), context, NID_authority_key_identifier, "keyid:always");
  } catch (...) {
    ASN1_OCTET_STRING_free(ip);
    throw;
  }
  // subjectAltName built as a structure, never parsed from text: the name is the client's.
  GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
  GENERAL_NAME* entry = GENERAL_NAME_new();
  if (ip != nullptr) {
    GENERAL_NAME_set0_value(entry, GEN_IPADD, ip);
  } else {
    ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
    ASN1_STRING_set(dns, name.data(), static_cast<int>(name.size()));
    GENERAL_NAME_set0_value(entry, GEN_DNS, dns);
  }
  sk_GENERAL_NAME_push(names, entry);
  const int added = X509_add1_ext_i2d(cert.get(), NID_subject_alt_name, names, 0, X509V3_ADD_DEFAULT);
  GENERAL_NAMES_free(names);
  if (added != 1) throw ETlsError("cannot make a certificate for " + name + ": " + TakeErrorText("subjectAltName refused"));
  Sign(cert.get(), FKey);

  auto leaf = std::make_shared<const TIssuedCertificate>(cert.release(), FLeafKey, name);
  if (FCache.size() >= kCacheLimit) {
    FCache.erase(FCacheOrder.front());
    FCacheOrder.pop_front();
  }
  FCache.emplace(name, leaf);
  FCacheOrder.push_back(name);
  return leaf;
}
