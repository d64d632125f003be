// Helpers for the TLS tests: a temporary folder, certificates made with OpenSSL's API (an
// authority, leaves that verify, expired ones, ones for another name, ones from an unknown
// issuer, a client certificate), the openssl program as a child process with its standard
// streams on pipes, and a pair of TLS sockets over loopback.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "SocketTestSupport.h"
#include "net/WSocket.h"
#include "tls/TlsAuthority.h"
#include "tls/TlsContext.h"
#include "tls/TlsEngine.h"
#include "tls/TlsKeyLog.h"
#include "platform/WinsockErrors.h"
#include "tls/TlsOpenSsl.h"

extern char** environ;

namespace tlstest {

using namespace testsupport;

// A folder under /tmp, removed with everything in it at the end.
struct TTempDir {
  std::string Path;
  TTempDir() {
    char name[] = "/tmp/vantrel-tls-XXXXXX";
    Path = ::mkdtemp(name);
  }
  ~TTempDir() {
    ::chmod(Path.c_str(), 0700);
    std::string command = "chmod -R u+rwx '" + Path + "' 2>/dev/null; rm -rf '" + Path + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", Path.c_str());
  }
  std::string operator/(const std::string& Name) const { return Path + "/" + Name; }
};

inline std::string ReadFile(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& Path, const std::string& Content) {
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  out << Content;
}

// ---- certificates ----

struct TCert {
  tls::TPkeyPtr Key;
  tls::TX509Ptr Cert;
};

// A certificate for CommonName with Names as subjectAltName ("DNS:..." or "IP:..."), valid from
// FromDays to ToDays (relative to now), signed by Issuer (self-signed when null).
inline TCert MakeCert(const std::string& CommonName, const std::string& Names, const TCert* Issuer, bool IsCa,
                      long FromDays = -1, long ToDays = 30, bool ClientUse = false) {
  TCert c;
  c.Key.reset(EVP_EC_gen("P-256"));
  c.Cert.reset(X509_new());
  X509* x = c.Cert.get();
  X509_set_version(x, 2);
  static long serial = 1000;
  ASN1_INTEGER_set(X509_get_serialNumber(x), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(x), FromDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(x), ToDays * 86400);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(CommonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(x, Issuer ? X509_get_subject_name(Issuer->Cert.get()) : X509_get_subject_name(x));
  X509_set_pubkey(x, c.Key.get());
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, Issuer ? Issuer->Cert.get() : x, x, nullptr, nullptr, 0);
  auto add = [&](int nid, const std::string& value) {
    X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    X509_add_ext(x, e, -1);
    X509_EXTENSION_free(e);
  };
  add(NID_basic_constraints, IsCa ? "critical,CA:TRUE" : "critical,CA:FALSE");
  if (IsCa) add(NID_key_usage, "critical,keyCertSign,cRLSign");
  if (!IsCa) add(NID_ext_key_usage, ClientUse ? "clientAuth" : "serverAuth");
  if (!Names.empty()) add(NID_subject_alt_name, Names);
  X509_sign(x, Issuer ? Issuer->Key.get() : c.Key.get(), EVP_sha256());
  return c;
}

inline void WritePem(const TCert& C, const std::string& CertPath, const std::string& KeyPath = {}) {
  FILE* f = std::fopen(CertPath.c_str(), "w");
  PEM_write_X509(f, C.Cert.get());
  std::fclose(f);
  if (KeyPath.empty()) return;
  f = std::fopen(KeyPath.c_str(), "w");
  PEM_write_PrivateKey(f, C.Key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

// The certificates of every test, made once: files in one folder.
struct TCertSet {
  TTempDir Dir;
  std::string Ca, ServerCert, ServerKey, ExpiredCert, ExpiredKey, OtherNameCert, OtherNameKey, StrangerCert,
      StrangerKey, ClientCert, ClientKey, StrangerCa;
  TCertSet() {
    TCert ca = MakeCert("Test CA", "", nullptr, true, -1, 3650);
    TCert stranger = MakeCert("Stranger CA", "", nullptr, true, -1, 3650);
    WritePem(ca, Ca = Dir / "ca.pem");
    WritePem(stranger, StrangerCa = Dir / "stranger-ca.pem");
    WritePem(MakeCert("localhost", "DNS:localhost,IP:127.0.0.1", &ca, false), ServerCert = Dir / "server.pem",
             ServerKey = Dir / "server-key.pem");
    WritePem(MakeCert("localhost", "DNS:localhost,IP:127.0.0.1", &ca, false, -30, -1), ExpiredCert = Dir / "expired.pem",
             ExpiredKey = Dir / "expired-key.pem");
    WritePem(MakeCert("elsewhere.example", "DNS:elsewhere.example", &ca, false), OtherNameCert = Dir / "other.pem",
             OtherNameKey = Dir / "other-key.pem");
    WritePem(MakeCert("localhost", "DNS:localhost,IP:127.0.0.1", &stranger, false), StrangerCert = Dir / "stranger.pem",
             StrangerKey = Dir / "stranger-key.pem");
    WritePem(MakeCert("test client", "", &ca, false, -1, 30, true), ClientCert = Dir / "client.pem",
             ClientKey = Dir / "client-key.pem");
  }
};

// Made at the first use (the test parameters use it as the tests are registered), removed at the
// program's end.
inline const TCertSet& Certs() {
  static TCertSet set;
  return set;
}

// ---- a child process ----

// A program with its standard input and output on pipes (non-blocking at our end) and its
// standard error into a string; killed, if still running, when the object goes.
struct TChild {
  pid_t Pid = -1;
  int In = -1, Out = -1, Err = -1;
  std::string Output, Errors;
  int Status = -1;

  explicit TChild(const std::vector<std::string>& Argv) {
    ::signal(SIGPIPE, SIG_IGN);  // a child that has left makes our writes fail, not end us
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const auto& a : Argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawnp(&Pid, args[0], &actions, nullptr, args.data(), environ) != 0) Pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    In = in[1];
    Out = out[0];
    Err = err[0];
    for (int fd : {In, Out, Err}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  ~TChild() {
    if (Pid > 0 && Status < 0) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
    }
    for (int fd : {In, Out, Err})
      if (fd >= 0) ::close(fd);
  }
  // Takes what the child has written so far.
  void Read() {
    char buf[65536];
    for (auto [fd, to] : {std::pair{Out, &Output}, std::pair{Err, &Errors}}) {
      ssize_t n;
      while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0) to->append(buf, static_cast<std::size_t>(n));
    }
  }
  // Writes what the pipe takes of Data from At on; true once all of it is written.
  bool Write(const std::string& Data, std::size_t& At) {
    while (At < Data.size()) {
      ssize_t n = ::write(In, Data.data() + At, std::min<std::size_t>(Data.size() - At, 65536));
      if (n <= 0) return false;
      At += static_cast<std::size_t>(n);
    }
    return true;
  }
  void CloseInput() {
    if (In >= 0) ::close(In);
    In = -1;
  }
  bool Exited() {
    if (Status >= 0) return true;
    int st = 0;
    if (::waitpid(Pid, &st, WNOHANG) == Pid) Status = st;
    return Status >= 0;
  }
  // Pumps the loop until the child has ended (its output read to the end); false in time.
  bool WaitExit(int TimeoutMs = 10000) {
    bool ok = PumpUntil([&] {
      Read();
      return Exited();
    }, TimeoutMs);
    Read();
    return ok;
  }
};

// Whether something listens on Port (TCP, IPv4 or IPv6), from the kernel's tables.
inline bool Listening(std::uint16_t Port) {
  char want[8];
  std::snprintf(want, sizeof want, ":%04X", Port);
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == want) return true;
    }
  }
  return false;
}

// `openssl s_server` on 127.0.0.1 with the given options, quiet (its standard streams carry the
// data alone), for one connection; Port is set once it listens.
struct TOpenSslServer {
  std::uint16_t Port = 0;
  std::unique_ptr<TChild> Child;
  bool Start(const std::vector<std::string>& Options) {
    Port = UnusedPort();
    std::vector<std::string> argv = {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(Port), "-quiet",
                                     "-naccept", "1"};
    argv.insert(argv.end(), Options.begin(), Options.end());
    Child = std::make_unique<TChild>(argv);
    return PumpUntil([&] {
      Child->Read();
      return Listening(Port) || Child->Exited();
    }) && !Child->Exited();
  }
};

// ---- contexts and sockets ----

inline std::shared_ptr<TTlsClientContext> ClientContext(std::string CaFile = Certs().Ca, bool Verify = true,
                                                       std::vector<std::string> Alpn = {},
                                                       std::shared_ptr<TTlsKeyLog> KeyLog = nullptr) {
  TTlsClientConfig c;
  c.CaFile = std::move(CaFile);
  c.Verify = Verify;
  c.Alpn = std::move(Alpn);
  c.KeyLog = std::move(KeyLog);
  return std::make_shared<TTlsClientContext>(std::move(c));
}

inline std::shared_ptr<TTlsServerContext> ServerContext(std::string Cert = Certs().ServerCert,
                                                       std::string Key = Certs().ServerKey,
                                                       std::shared_ptr<TTlsKeyLog> KeyLog = nullptr) {
  TTlsServerConfig c;
  c.CertFile = std::move(Cert);
  c.KeyFile = std::move(Key);
  c.KeyLog = std::move(KeyLog);
  return std::make_shared<TTlsServerContext>(std::move(c));
}

// Records a socket's TLS handshake outcome and its ends.
struct TTlsEvents {
  int Handshakes = 0;
  std::uint16_t HandshakeError = 0xFFFF;
  int PeerShutdowns = 0;
  int Closes = 0;
  std::uint16_t CloseError = 0xFFFF;
  TTlsPeerEnd EndSeen = tpeOpen;  // TlsPeerEnd() when the end was notified
  std::string ErrorText;
  void Attach(TWSocket& S) {
    S.OnTlsHandshake = [this, &S](TComponent*, std::uint16_t e) {
      ++Handshakes;
      HandshakeError = e;
      ErrorText = S.TlsErrorText();
    };
    S.OnPeerShutdown = [this, &S](TComponent*, std::uint16_t) {
      ++PeerShutdowns;
      EndSeen = S.TlsPeerEnd();
    };
    S.OnSessionClosed = [this, &S](TComponent*, std::uint16_t e) {
      ++Closes;
      CloseError = e;
      if (EndSeen == tpeOpen) EndSeen = S.TlsPeerEnd();
      if (ErrorText.empty()) ErrorText = S.TlsErrorText();
    };
  }
};

// Two TWSockets over loopback with TLS on both: Client in the client role, Server in the
// server role; Open pumps until both handshakes have ended.
struct TTlsPair : ComponentPair {
  TTlsEvents ClientEvents, ServerEvents;
  bool Open(std::shared_ptr<TTlsClientContext> C = ClientContext(), std::shared_ptr<TTlsServerContext> S = ServerContext(),
            const std::string& Name = "localhost") {
    if (!ComponentPair::Open()) return false;
    ClientEvents.Attach(Client);
    ServerEvents.Attach(Server);
    Server.StartTls(std::make_unique<TTlsEngine>(S));
    Client.StartTls(std::make_unique<TTlsEngine>(C, Name));
    return PumpUntil([&] { return ClientEvents.Handshakes > 0 && ServerEvents.Handshakes > 0; });
  }
};

// Reads everything a socket offers into Got.
inline void Collect(TWSocket& S, std::string& Got, std::size_t Chunk = 65536) {
  S.OnDataAvailable = [&S, &Got, Chunk](TComponent*, std::uint16_t) {
    std::string buf(Chunk, '\0');
    std::int32_t n = S.Receive(buf.data(), static_cast<std::int32_t>(buf.size()));
    if (n > 0) Got.append(buf.data(), static_cast<std::size_t>(n));
  };
}

}  // namespace tlstest
