// The SOCKS client's reply handling. A TWSocket connects through a SOCKS server on loopback that
// answers with arbitrary bytes in arbitrary pieces: each piece is sent once the client has read
// everything before it. At the end the server closes (orderly or with a reset).
//
// What must hold, against the reference model of the negotiation below, which is fed the reads
// that the client actually made while it negotiated:
//   - no negotiation read asks for more than the reply being awaited may still hold (8 bytes for a
//     SOCKS 4 reply, 127 otherwise): nothing is read past the reply that could be the
//     application's;
//   - the events are the model's, in order: OnSocksConnected, the OnSocksAuthState steps, then
//     exactly one OnSessionConnected, with 0 or with a listed code that OnSocksError has just
//     given with its listed text, followed by OnSessionClosed with that code; a server that
//     closes before its reply is whole gives OnSessionClosed alone;
//   - once connected, the application reads exactly the bytes behind the reply (the SOCKS 5
//     surplus first), in line mode too;
//   - the requests the client sent are exactly those the model expects for the replies it got.
//
// Input, read from the front: a flag byte (bits 0-1 the level: 5, 4, 4A, 5; bit 2 user/password
// authentication; bit 3 the server ends with an orderly close instead of a reset; bit 4 the
// client is in line mode; bits 5-7 the application's read size, 0 for ReceiveText), the lengths of usercode, password and destination host, their bytes,
// two bytes of destination port, then pieces: a length byte (1 to 64) and that many reply bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "SocketTestSupport.h"

using namespace testsupport;

namespace {

class TInput {
public:
  TInput(const std::uint8_t* Data, std::size_t Size) : FData(Data), FSize(Size) {}
  std::size_t Left() const { return FSize - FAt; }
  std::uint8_t Byte() { return FAt < FSize ? FData[FAt++] : 0; }
  std::string Bytes(std::size_t N) {
    N = std::min(N, Left());
    std::string s(reinterpret_cast<const char*>(FData + FAt), N);
    FAt += N;
    return s;
  }

private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FAt = 0;
};

struct TScenario {
  std::string Level = "5";
  bool Authenticate = false;
  bool OrderlyEnd = false;
  bool LineMode = false;
  std::int32_t ReadSize = 0;  // what the application's handler reads at a time; 0: ReceiveText
  std::string Usercode, Password, Host;
  std::uint16_t Port = 0;
  std::vector<std::string> Pieces;
};

std::string HostText(const std::string& Raw) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789.-";
  std::string s;
  for (unsigned char c : Raw) s += kChars[c % (sizeof kChars - 1)];
  return s;
}

TScenario Draw(TInput& In) {
  TScenario s;
  const std::uint8_t flags = In.Byte();
  static const char* const kLevels[] = {"5", "4", "4A", "5"};
  s.Level = kLevels[flags & 3];
  s.Authenticate = flags & 4;
  s.OrderlyEnd = flags & 8;
  s.LineMode = flags & 16;
  s.ReadSize = flags >> 5;
  const std::size_t u = In.Byte() % 21, p = In.Byte() % 21, h = In.Byte() % 40 + 1;
  s.Usercode = In.Bytes(u);
  s.Password = In.Bytes(p);
  const std::string host = In.Bytes(h);
  if (s.Level == "4") {  // SOCKS 4 resolves the destination itself: a dotted address
    std::string raw = host + std::string(4, '\0');
    s.Host = std::to_string(static_cast<unsigned char>(raw[0]) % 223 + 1) + "." +
             std::to_string(static_cast<unsigned char>(raw[1])) + "." +
             std::to_string(static_cast<unsigned char>(raw[2])) + "." +
             std::to_string(static_cast<unsigned char>(raw[3]));
  } else {
    s.Host = HostText(host.empty() ? std::string("x") : host);
    // Leading and trailing dots and dashes are fine for SOCKS, but Addr trims blanks only, so
    // the text stays as it is.
  }
  s.Port = static_cast<std::uint16_t>(In.Byte() << 8);
  s.Port = static_cast<std::uint16_t>(s.Port | In.Byte());
  while (In.Left() > 0 && s.Pieces.size() < 16) s.Pieces.push_back(In.Bytes(In.Byte() % 64 + 1));
  return s;
}

// ---- the reference: the negotiation as its rules and the table of codes describe it ----

struct TModel {
  enum TPhase { Method, Auth, Connect, Connected, Failed };
  const TScenario& S;
  TPhase Phase = Method;
  std::string Held;            // the bytes of the reply being awaited
  std::size_t StreamAt = 0;    // stream offset of the next byte the client reads
  std::size_t ReplyEnd = 0;    // once connected: where the application's bytes start
  std::vector<std::string> Events;
  std::string Requests;        // what the client must have sent
  std::string Fault;

  explicit TModel(const TScenario& Scenario) : S(Scenario) {
    Events.push_back("SocksConnected 0");
    if (S.Level[0] == '4') {
      ConnectRequest();
    } else {
      Requests += std::string("\x05\x01", 2) + static_cast<char>(S.Authenticate ? 2 : 0);
    }
  }

  static std::string PortBytes(std::uint16_t Port) {
    return std::string(1, static_cast<char>(Port >> 8)) + static_cast<char>(Port & 0xFF);
  }

  void ConnectRequest() {
    Phase = Connect;
    if (S.Level == "5") {
      Requests += std::string("\x05\x01\x00\x03", 4) + static_cast<char>(S.Host.size()) + S.Host +
                  PortBytes(S.Port);
      return;
    }
    std::string address;
    if (S.Level == "4") {
      unsigned a = 0, b = 0, c = 0, d = 0;
      std::sscanf(S.Host.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
      for (unsigned v : {a, b, c, d}) address += static_cast<char>(v);
    } else {
      address = std::string("\x00\x00\x00\x01", 4);
    }
    Requests += std::string("\x04\x01", 2) + PortBytes(S.Port) + address + S.Usercode + '\0';
    if (S.Level == "4A") Requests += S.Host + '\0';
  }

  void Fail(int Code, const std::string& Text) {
    Phase = Failed;
    Events.push_back("SocksError " + std::to_string(Code) + " " + Text);
    Events.push_back("Connected " + std::to_string(Code));
    Events.push_back("Closed " + std::to_string(Code));
  }

  void Grant(std::size_t ReplyLength) {
    Phase = Connected;
    ReplyEnd = StreamAt - Held.size() + ReplyLength;
    Events.push_back("Connected 0");
  }

  static std::pair<int, std::string> Socks5Code(unsigned V) {
    static const char* const kTexts[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                                         "network unreachable",          "host unreachable",
                                         "connection refused",           "time to live expired",
                                         "command not supported",        "address type not supported"};
    if (V >= 1 && V <= 8) return {20003 + static_cast<int>(V), kTexts[V - 1]};
    return {20012, "unassigned error #" + std::to_string(V)};
  }

  static std::pair<int, std::string> Socks4Code(unsigned V) {
    if (V == 91) return {20016, "request rejected or failed"};
    if (V == 92) return {20008, "connection refused"};
    if (V == 93) return {20015, "authentification failed"};
    return {20012, "unassigned error #" + std::to_string(V)};
  }

  // One read the client made while negotiating.
  void Read(const std::string& Bytes) {
    if (Phase == Connected || Phase == Failed) {
      Fault = "a negotiation read after the outcome";
      return;
    }
    const std::size_t room = (Phase == Connect && S.Level[0] == '4' ? 8 : 127) - Held.size();
    if (Bytes.size() > room) {
      Fault = "a read of " + std::to_string(Bytes.size()) + " bytes with room for " + std::to_string(room);
      return;
    }
    Held += Bytes;
    StreamAt += Bytes.size();
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(Held[k]); };

    if (Phase == Method) {
      if (Held.size() < 2) return;
      const unsigned version = at(0), method = at(1);
      Held.clear();  // whatever came behind the two bytes is not kept
      if (version != 5) return Fail(20002, "socks version error");
      if (method == 0) {
        if (S.Authenticate) Events.push_back("Auth 3");
        return ConnectRequest();
      }
      if (method == 2) {
        Phase = Auth;
        Events.push_back("Auth 0");
        Requests += std::string(1, '\x01') + static_cast<char>(S.Usercode.size()) + S.Usercode +
                    static_cast<char>(S.Password.size()) + S.Password;
        return;
      }
      return Fail(20003, "authentification method not acceptable");
    }
    if (Phase == Auth) {
      if (Held.size() >= 1 && at(0) != 1) return Fail(20002, "socks version error");
      if (Held.size() > 2) return Fail(20001, "too much data availaible");
      if (Held.size() < 2) return;
      if (at(1) != 0) return Fail(20015, "socks authentication failed");
      Held.clear();
      Events.push_back("Auth 1");
      return ConnectRequest();
    }
    if (S.Level[0] == '4') {
      if (Held.size() < 8) return;
      if (at(0) != 0) return Fail(20002, "socks version error");
      if (at(1) == 90) return Grant(8);
      const auto [code, text] = Socks4Code(at(1));
      return Fail(code, text);
    }
    if (Held.size() >= 1 && at(0) != 5) return Fail(20002, "socks version error");
    if (Held.size() >= 2 && at(1) != 0) {
      const auto [code, text] = Socks5Code(at(1));
      return Fail(code, text);
    }
    if (Held.size() < 5) return;
    const unsigned type = at(3);
    const std::size_t length = type == 1 ? 10 : type == 3 ? at(4) + 7u : type == 4 ? 22 : 5;
    // A bound name that cannot fit the 127 bytes held is refused rather than waited for forever.
    if (length > 127) return Fail(20011, "bound address too long");
    if (Held.size() < length) return;
    if (type != 1 && type != 3 && type != 4) return Fail(20011, "address type not supported");
    Grant(length);
  }

  // The server closed with the reply still incomplete.
  void ClosedByServer() {
    if (Phase == Auth) Events.push_back("Auth 2");
    if (Phase != Failed) Events.push_back("Closed *");
  }
};

// ---- the client and the server ----

class TWatchedSocket : public TWSocket {
public:
  using TWSocket::TWSocket;
  ~TWatchedSocket() override { BeforeDestruction(); }

  std::vector<std::string> NegotiationReads;
  std::size_t NetworkBytes = 0;

  std::int32_t NetRecv(char* Buffer, std::int32_t BufferSize, std::int32_t Flags) override {
    const bool negotiating = SocksPhase() != spRelaying;
    const bool fromBuffer = (LineMode() ? PendingLineLength() > 0 : LineBufferCount() > 0) ||
                            FSocksSurplus.Count > 0;
    const std::int32_t got = TWSocket::NetRecv(Buffer, BufferSize, Flags);
    if (got > 0 && !fromBuffer) NetworkBytes += static_cast<std::size_t>(got);
    if (got > 0 && negotiating) NegotiationReads.emplace_back(Buffer, static_cast<std::size_t>(got));
    return got;
  }
};

RawListener& Server() {
  static auto* listener = new RawListener;
  return *listener;
}

std::string Visible(const std::string& Bytes) {
  std::string out;
  char hex[4];
  for (unsigned char c : Bytes) {
    std::snprintf(hex, sizeof hex, "%02X ", c);
    out += hex;
  }
  return out;
}

std::string VisibleList(const std::vector<std::string>& List) {
  std::string out;
  for (const auto& x : List) out += "[" + x + "] ";
  return out;
}

[[noreturn]] void Fail(const TScenario& S, const std::string& What, const std::string& Detail) {
  std::fprintf(stderr, "fuzz_socks_reply: %s\n  level %s authenticate %d line mode %d pieces %zu\n  %s\n",
               What.c_str(), S.Level.c_str(), S.Authenticate, S.LineMode, S.Pieces.size(), Detail.c_str());
  std::abort();
}

void Run(const TScenario& S) {
  RawListener& server = Server();
  auto client = std::make_unique<TWatchedSocket>(nullptr);
  TWatchedSocket& c = *client;
  std::vector<std::string> events;
  std::string appData;
  bool closed = false;

  c.OnSocksConnected = [&](TComponent*, std::uint16_t e) { events.push_back("SocksConnected " + std::to_string(e)); };
  c.OnSocksAuthState = [&](TComponent*, TSocksAuthState a) { events.push_back("Auth " + std::to_string(a)); };
  c.OnSocksError = [&](TComponent*, std::int32_t code, const std::string& text) {
    events.push_back("SocksError " + std::to_string(code) + " " + text);
  };
  c.OnSessionConnected = [&](TComponent*, std::uint16_t e) { events.push_back("Connected " + std::to_string(e)); };
  c.OnSessionClosed = [&](TComponent*, std::uint16_t e) {
    events.push_back("Closed " + std::to_string(e));
    closed = true;
  };
  c.OnDataAvailable = [&](TComponent*, std::uint16_t) {
    if (S.ReadSize == 0) {
      appData += c.ReceiveText();
      return;
    }
    char buf[8];
    const std::int32_t n = c.Receive(buf, S.ReadSize);
    if (n > 0) appData.append(buf, static_cast<std::size_t>(n));
  };

  c.SetLineMode(S.LineMode);
  c.SetSocksServer("127.0.0.1");
  c.SetSocksPort(std::to_string(server.Port));
  c.SetSocksLevel(S.Level);
  c.SetSocksAuthentication(S.Authenticate ? socksAuthenticateUsercode : socksNoAuthentication);
  c.SetSocksUsercode(S.Usercode);
  c.SetSocksPassword(S.Password);
  c.SetAddr(S.Host);
  c.SetPort(std::to_string(S.Port));
  c.Connect();

  int fd = -1;
  std::string requests;
  auto drain = [&] {
    if (fd < 0) fd = ::accept4(server.Fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    char buf[512];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) requests.append(buf, static_cast<std::size_t>(n));
  };
  if (!PumpUntil([&] {
        drain();
        return fd >= 0 && !events.empty();
      }))
    Fail(S, "no connection to the SOCKS server", VisibleList(events));

  std::size_t sent = 0;
  for (const auto& piece : S.Pieces) {
    if (closed) break;
    if (::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(piece.size()))
      break;  // the client has gone and reset the connection
    sent += piece.size();
    if (!PumpUntil([&] {
          drain();
          return closed || c.NetworkBytes >= sent;
        }))
      Fail(S, "a piece was neither read nor ended the session", VisibleList(events));
  }
  if (!closed) {
    if (S.OrderlyEnd) {
      ::shutdown(fd, SHUT_WR);
    } else {
      drain();
      RawReset(fd);
      fd = -1;
    }
    if (!PumpUntil([&] {
          drain();
          return closed;
        }))
      Fail(S, "the client did not see the server's close", VisibleList(events));
  }
  drain();
  if (fd >= 0) RawReset(fd);

  TModel model(S);
  for (const auto& r : c.NegotiationReads) model.Read(r);
  if (!model.Fault.empty()) Fail(S, model.Fault, VisibleList(events));
  const bool endedByServer = model.Phase != TModel::Failed;
  model.ClosedByServer();

  // The server's close carries whatever code the platform gives it; the rest must match.
  std::vector<std::string> seen = events;
  if (endedByServer && !seen.empty() && seen.back().rfind("Closed ", 0) == 0) seen.back() = "Closed *";
  if (seen != model.Events)
    Fail(S, "events differ", "got  " + VisibleList(events) + "\n  want " + VisibleList(model.Events));

  std::string stream;
  for (const auto& piece : S.Pieces) stream += piece;
  stream.resize(sent);
  const std::string want = model.Phase == TModel::Connected ? stream.substr(model.ReplyEnd) : "";
  if (appData != want) Fail(S, "application data differs", "got  " + Visible(appData) + "\n  want " + Visible(want));
  if (requests != model.Requests)
    Fail(S, "requests differ", "got  " + Visible(requests) + "\n  want " + Visible(model.Requests));
  client.reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  TInput in(Data, Size);
  const TScenario scenario = Draw(in);
  Run(scenario);
  return 0;
}
