// The recogniser of a TLS ClientHello: the records are walked as far as the bytes go, the
// handshake bytes joined, and the hello parsed once whole (see TlsClientHello.h).
#include "tls/TlsClientHello.h"

#include <algorithm>

namespace {

constexpr std::size_t kRecordHeader = 5;
constexpr std::size_t kMaxRecord = 16384;
constexpr std::size_t kHandshakeHeader = 4;
constexpr std::size_t kMinHello = 2 + 32 + 1 + 2 + 2 + 1 + 1;  // version .. one suite, one method

std::uint8_t At(std::string_view B, std::size_t I) { return static_cast<std::uint8_t>(B[I]); }

// The handshake bytes of the records found in Bytes, up to Want of them. Result: hvNotTls for a
// record header that no ClientHello can have, hvNeedMore when Bytes end before Want handshake
// bytes, hvClientHello when they are there (with WholeRecords, only once the record holding the
// last of them is whole too; End is then its end).
struct TJoined {
  THelloVerdict Verdict = hvNeedMore;
  std::string Handshake;
  std::size_t End = 0;
  std::size_t Records = 0;
};

TJoined NotTls() {
  TJoined j;
  j.Verdict = hvNotTls;
  return j;
}

TJoined Join(std::string_view Bytes, std::size_t Want, bool WholeRecords) {
  TJoined j;
  std::size_t at = 0;
  while (j.Handshake.size() < Want) {
    // A header may be checked byte by byte, so that a prefix is refused as early as can be.
    const std::size_t have = Bytes.size() - std::min(at, Bytes.size());
    if (have >= 1 && At(Bytes, at) != 22) return NotTls();
    if (have >= 2 && At(Bytes, at + 1) != 3) return NotTls();
    if (have >= 3 && At(Bytes, at + 2) > 4) return NotTls();
    if (have < kRecordHeader) return j;
    const std::size_t length = static_cast<std::size_t>(At(Bytes, at + 3)) << 8 | At(Bytes, at + 4);
    if (length == 0 || length > kMaxRecord) return NotTls();
    const std::size_t body = at + kRecordHeader;
    const std::size_t take = std::min({length, Want - j.Handshake.size(), Bytes.size() - body});
    j.Handshake.append(Bytes.substr(body, take));
    // The handshake header decides as soon as its bytes are in.
    if (!j.Handshake.empty() && At(j.Handshake, 0) != 1) return NotTls();
    if (j.Handshake.size() >= kHandshakeHeader) {
      const std::size_t hello = static_cast<std::size_t>(At(j.Handshake, 1)) << 16 |
                                static_cast<std::size_t>(At(j.Handshake, 2)) << 8 | At(j.Handshake, 3);
      if (hello < kMinHello || hello > kMaxClientHello) return NotTls();
    }
    if (Bytes.size() < body + length) {  // this record is not whole yet
      if (!WholeRecords && j.Handshake.size() >= Want) j.Verdict = hvClientHello;
      return j;
    }
    at = body + length;
    ++j.Records;
    j.End = at;
  }
  j.Verdict = hvClientHello;
  return j;
}

// A cursor over the hello's body that fails (and stays failed) on any read past its end.
class TReader {
public:
  explicit TReader(std::string_view B) : FB(B) {}
  bool Ok() const { return FOk; }
  bool Empty() const { return FAt == FB.size(); }
  std::size_t Left() const { return FB.size() - FAt; }
  std::size_t Number(std::size_t Bytes) {
    if (!FOk || Left() < Bytes) return Fail();
    std::size_t v = 0;
    for (std::size_t i = 0; i < Bytes; ++i) v = v << 8 | At(FB, FAt++);
    return v;
  }
  std::string_view Take(std::size_t N) {
    if (!FOk || Left() < N) {
      Fail();
      return {};
    }
    std::string_view s = FB.substr(FAt, N);
    FAt += N;
    return s;
  }
  // A field behind a length of LengthBytes bytes.
  std::string_view Vector(std::size_t LengthBytes) { return Take(Number(LengthBytes)); }

private:
  std::size_t Fail() {
    FOk = false;
    return 0;
  }
  std::string_view FB;
  std::size_t FAt = 0;
  bool FOk = true;
};

bool ParseServerName(std::string_view Data, TClientHello& H) {
  TReader r(Data);
  TReader list(r.Vector(2));
  if (!r.Ok() || !r.Empty() || list.Empty()) return false;
  while (!list.Empty()) {
    const std::size_t type = list.Number(1);
    std::string_view name = list.Vector(2);
    if (!list.Ok() || name.empty()) return false;
    if (type == 0 && !H.HasServerName) {
      H.HasServerName = true;
      H.ServerName.assign(name);
    }
  }
  return true;
}

bool ParseAlpn(std::string_view Data, TClientHello& H) {
  TReader r(Data);
  TReader list(r.Vector(2));
  if (!r.Ok() || !r.Empty() || list.Empty()) return false;
  H.HasAlpn = true;
  while (!list.Empty()) {
    std::string_view name = list.Vector(1);
    if (!list.Ok() || name.empty()) return false;
    H.Alpn.emplace_back(name);
  }
  return true;
}

bool ParseHello(std::string_view Body, TClientHello& H) {
  TReader r(Body);
  H.ClientVersion = static_cast<std::uint16_t>(r.Number(2));
  r.Take(32);
  std::string_view session = r.Vector(1);
  std::string_view suites = r.Vector(2);
  std::string_view methods = r.Vector(1);
  if (!r.Ok() || (H.ClientVersion >> 8) != 3 || session.size() > 32 || suites.empty() || suites.size() % 2 != 0 ||
      methods.empty())
    return false;
  if (r.Empty()) return true;
  TReader extensions(r.Vector(2));
  if (!r.Ok() || !r.Empty()) return false;
  while (!extensions.Empty()) {
    const auto type = static_cast<std::uint16_t>(extensions.Number(2));
    std::string_view data = extensions.Vector(2);
    if (!extensions.Ok()) return false;
    if (std::find(H.Extensions.begin(), H.Extensions.end(), type) != H.Extensions.end()) return false;
    H.Extensions.push_back(type);
    if (type == 0 && !ParseServerName(data, H)) return false;
    if (type == 16 && !ParseAlpn(data, H)) return false;
  }
  return true;
}

}  // namespace

THelloVerdict ScanClientHelloStart(std::string_view Bytes) {
  return Join(Bytes, kHandshakeHeader, false).Verdict;
}

THelloVerdict ScanClientHello(std::string_view Bytes, TClientHello* Hello) {
  TJoined header = Join(Bytes, kHandshakeHeader, false);
  if (header.Verdict != hvClientHello) return header.Verdict;
  const std::size_t length = static_cast<std::size_t>(At(header.Handshake, 1)) << 16 |
                             static_cast<std::size_t>(At(header.Handshake, 2)) << 8 | At(header.Handshake, 3);
  TJoined whole = Join(Bytes, kHandshakeHeader + length, true);
  if (whole.Verdict != hvClientHello) return whole.Verdict;
  TClientHello h;
  if (!ParseHello(std::string_view(whole.Handshake).substr(kHandshakeHeader), h)) return hvNotTls;
  h.Length = whole.End;
  h.Records = whole.Records;
  h.RecordVersion = static_cast<std::uint16_t>(At(Bytes, 1) << 8 | At(Bytes, 2));
  if (Hello != nullptr) *Hello = std::move(h);
  return hvClientHello;
}
