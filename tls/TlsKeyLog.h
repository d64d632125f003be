// Public. TTlsKeyLog: the session keys of TLS connections, written as the key log lines that
// SSLKEYLOGFILE-aware tools read (the NSS key log format: "CLIENT_RANDOM ...",
// "CLIENT_HANDSHAKE_TRAFFIC_SECRET ...", one line per secret), so that a capture of the encrypted
// wire taken elsewhere can be decrypted. One log serves both sides of the relay: every context
// given it writes the keys of each of its connections.
//
// The file is opened for appending (created readable by the user only: it holds keys) and every
// line goes to it with one write as soon as OpenSSL derives the secret, so that a tool reading
// the file while the session runs finds the keys of the handshake it has just seen.
#pragma once

#include <cstdint>
#include <string>

class TTlsKeyLog {
public:
  // Throws ETlsError when the file cannot be opened or created.
  explicit TTlsKeyLog(const std::string& Path);
  ~TTlsKeyLog();
  TTlsKeyLog(const TTlsKeyLog&) = delete;
  TTlsKeyLog& operator=(const TTlsKeyLog&) = delete;

  // Appends Line and a line end. A failed write is counted, not raised: a key log must never end
  // a session.
  void Write(const char* Line);

  const std::string& Path() const { return FPath; }
  std::uint64_t LinesWritten() const { return FLines; }
  std::uint64_t WriteFailures() const { return FFailures; }

private:
  std::string FPath;
  int FFd = -1;
  std::uint64_t FLines = 0;
  std::uint64_t FFailures = 0;
};
