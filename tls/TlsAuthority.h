// Public. TCertificateAuthority: the built-in certificate authority that issues, on the fly, a
// leaf certificate for the name a client asks for, so that the relay can terminate the client's
// TLS. A user who adds the authority's certificate to a client's trust store (curl --cacert,
// openssl -CAfile, a browser's store) gets leaves that verify.
//
// Files, in the folder given to it (DefaultFolder(): $XDG_DATA_HOME/vantrel, else
// ~/.local/share/vantrel), created on first use:
//   ca-cert.pem  the authority's certificate, mode 0644: print it, export it, trust it
//   ca-key.pem   its private key, mode 0600 from its creation on (never world-readable, not even
//                for a moment); nothing here ever writes it anywhere else, a log or standard
//                output included, and an existing key readable by others is refused
// The folder is made with mode 0700. Creating and loading hold a lock on the folder's ca.lock,
// so that two programs starting at once agree on one authority.
//
// Leaves: an EC P-256 key shared by every leaf of this run (it lives in memory only), the name
// as subjectAltName (a DNS name, or an IP address for an address literal) and as the subject's
// common name, serverAuth usage, valid from a day ago for a year (never past the authority's end).
// They are cached by name (case-insensitive for DNS names) for the life of the object.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include <openssl/types.h>

// One issued leaf: its certificate and key, owned here, and the name it was issued for.
class TIssuedCertificate {
public:
  TIssuedCertificate(X509* Certificate, EVP_PKEY* Key, std::string Name);
  ~TIssuedCertificate();
  TIssuedCertificate(const TIssuedCertificate&) = delete;
  TIssuedCertificate& operator=(const TIssuedCertificate&) = delete;

  X509* Certificate() const { return FCertificate; }
  EVP_PKEY* Key() const { return FKey; }
  const std::string& Name() const { return FName; }
  std::string CertificatePem() const;

private:
  X509* FCertificate;
  EVP_PKEY* FKey;
  std::string FName;
};

class TCertificateAuthority {
public:
  // $XDG_DATA_HOME/vantrel when XDG_DATA_HOME is an absolute path, else $HOME/.local/share/vantrel.
  // Throws ETlsError when neither variable gives a folder.
  static std::string DefaultFolder();

  // Loads the authority of Folder, creating the folder and the authority when there is none.
  // Throws ETlsError with the folder and the reason: a folder that cannot be made or written, an
  // unreadable or broken file, a key that does not match the certificate or that others can read.
  explicit TCertificateAuthority(const std::string& Folder);
  ~TCertificateAuthority();
  TCertificateAuthority(const TCertificateAuthority&) = delete;
  TCertificateAuthority& operator=(const TCertificateAuthority&) = delete;

  bool CreatedNow() const { return FCreatedNow; }  // this object made the files
  const std::string& Folder() const { return FFolder; }
  std::string CertificateFile() const { return FFolder + "/ca-cert.pem"; }
  std::string KeyFile() const { return FFolder + "/ca-key.pem"; }
  X509* Certificate() const { return FCertificate; }

  // The authority's certificate in PEM, and the same written to Path (throws ETlsError).
  std::string CertificatePem() const;
  void ExportCertificate(const std::string& Path) const;

  // The leaf for Name, issued at the first request and cached. Throws ETlsError for a name that
  // cannot be a certificate's (see UsableName).
  std::shared_ptr<const TIssuedCertificate> Leaf(const std::string& Name);
  std::size_t CachedLeaves() const { return FCache.size(); }
  // How many leaves the cache keeps; the oldest goes first.
  static constexpr std::size_t kCacheLimit = 4096;

  // A name a leaf can be issued for: an IPv4 or IPv6 literal, or a host name of at most 253
  // characters in labels of 1 to 63 letters, digits, '-' and '_' (a final dot is allowed).
  static bool UsableName(const std::string& Name);

private:
  void Create();
  void Load();

  std::string FFolder;
  bool FCreatedNow = false;
  X509* FCertificate = nullptr;
  EVP_PKEY* FKey = nullptr;
  EVP_PKEY* FLeafKey = nullptr;
  std::map<std::string, std::shared_ptr<const TIssuedCertificate>> FCache;
  std::deque<std::string> FCacheOrder;
};
