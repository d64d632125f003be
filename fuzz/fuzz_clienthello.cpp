// The recogniser of a TLS ClientHello (tls/TlsClientHello.h) on arbitrary bytes, as it meets
// them in the middle of a stream. The first input byte chooses how the rest is used:
//
//   even: the bytes as they are. ScanClientHello must agree with the reference recogniser below
//         (the verdict, and for a hello its length, record count, versions, SNI, ALPN and
//         extension list); along every prefix the verdicts must be consistent (need-more until
//         the verdict, then the same verdict; a hello's fields the same from its last byte on);
//         and ScanClientHelloStart must never contradict ScanClientHello.
//   odd:  a hello built from the rest (the SNI name bytes, the ALPN names, other extensions,
//         the session id, the cipher suites), cut into records of the sizes the input gives,
//         with arbitrary bytes behind it: well formed, it must be recognised, with exactly the
//         name, protocols and length that were built, and need more when cut short; given one
//         of the defects below (an empty name, a length one off, a repeated extension...), it
//         must not be TLS.
//
// A broken property aborts, which libFuzzer reports with the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tls/TlsClientHello.h"

namespace {

[[noreturn]] void Broken(const char* What, std::size_t At = 0) {
  std::fprintf(stderr, "fuzz_clienthello: %s (at %zu)\n", What, At);
  std::abort();
}

// ---- the reference: the rules of the header, written again, plainly ----

struct TRef {
  THelloVerdict Verdict = hvNeedMore;
  TClientHello Hello;
};

std::size_t Get(std::string_view B, std::size_t At, std::size_t N) {
  std::size_t v = 0;
  for (std::size_t i = 0; i < N; ++i) v = v * 256 + static_cast<unsigned char>(B[At + i]);
  return v;
}

// True when the body (from legacy_version on) is well formed; fills H's fields.
bool RefBody(std::string_view Body, TClientHello& H) {
  std::size_t n = Body.size(), at = 0;
  if (n < 2 + 32 + 1) return false;
  H.ClientVersion = static_cast<std::uint16_t>(Get(Body, 0, 2));
  if (Body[0] != 3) return false;
  at = 34;
  std::size_t sid = Get(Body, at, 1);
  if (sid > 32 || at + 1 + sid + 2 > n) return false;
  at += 1 + sid;
  std::size_t suites = Get(Body, at, 2);
  if (suites == 0 || suites % 2 == 1 || at + 2 + suites + 1 > n) return false;
  at += 2 + suites;
  std::size_t methods = Get(Body, at, 1);
  if (methods == 0 || at + 1 + methods > n) return false;
  at += 1 + methods;
  if (at == n) return true;
  if (at + 2 > n || at + 2 + Get(Body, at, 2) != n) return false;
  at += 2;
  while (at < n) {
    if (at + 4 > n) return false;
    const auto type = static_cast<std::uint16_t>(Get(Body, at, 2));
    const std::size_t len = Get(Body, at + 2, 2);
    if (at + 4 + len > n) return false;
    for (std::uint16_t seen : H.Extensions)
      if (seen == type) return false;
    H.Extensions.push_back(type);
    std::string_view d = Body.substr(at + 4, len);
    at += 4 + len;
    if (type == 0) {
      if (d.size() < 2 || Get(d, 0, 2) != d.size() - 2 || d.size() == 2) return false;
      for (std::size_t p = 2; p < d.size();) {
        if (p + 3 > d.size()) return false;
        std::size_t nameLen = Get(d, p + 1, 2);
        if (nameLen == 0 || p + 3 + nameLen > d.size()) return false;
        if (d[p] == 0 && !H.HasServerName) {
          H.HasServerName = true;
          H.ServerName = std::string(d.substr(p + 3, nameLen));
        }
        p += 3 + nameLen;
      }
    } else if (type == 16) {
      if (d.size() < 2 || Get(d, 0, 2) != d.size() - 2 || d.size() == 2) return false;
      H.HasAlpn = true;
      for (std::size_t p = 2; p < d.size();) {
        std::size_t nameLen = Get(d, p, 1);
        if (nameLen == 0 || p + 1 + nameLen > d.size()) return false;
        H.Alpn.emplace_back(d.substr(p + 1, nameLen));
        p += 1 + nameLen;
      }
    }
  }
  return true;
}

TRef Reference(std::string_view B) {
  TRef r;
  std::string hs;
  std::size_t at = 0, records = 0, need = 0;  // need: the handshake bytes of the whole hello, once known
  for (;;) {
    const std::size_t left = B.size() - at;
    if (left >= 1 && B[at] != 0x16) return {hvNotTls, {}};
    if (left >= 2 && B[at + 1] != 3) return {hvNotTls, {}};
    if (left >= 3 && static_cast<unsigned char>(B[at + 2]) > 4) return {hvNotTls, {}};
    if (left < 5) return r;
    const std::size_t len = Get(B, at + 3, 2);
    if (len == 0 || len > 16384) return {hvNotTls, {}};
    const std::size_t avail = std::min(len, left - 5);
    hs += std::string(B.substr(at + 5, avail));
    if (!hs.empty() && hs[0] != 1) return {hvNotTls, {}};
    if (hs.size() >= 4) {
      const std::size_t body = Get(hs, 1, 3);
      if (body < 41 || body > kMaxClientHello) return {hvNotTls, {}};  // the fixed fields, a suite, a method
      need = 4 + body;
    }
    if (avail < len) return r;  // the record is not whole
    at += 5 + len;
    ++records;
    if (need != 0 && hs.size() >= need) break;
  }
  TClientHello h;
  if (!RefBody(std::string_view(hs).substr(4, need - 4), h)) return {hvNotTls, {}};
  h.Length = at;
  h.Records = records;
  h.RecordVersion = static_cast<std::uint16_t>(Get(B, 1, 2));
  r.Verdict = hvClientHello;
  r.Hello = h;
  return r;
}

bool Same(const TClientHello& A, const TClientHello& B) {
  return A.Length == B.Length && A.Records == B.Records && A.RecordVersion == B.RecordVersion &&
         A.ClientVersion == B.ClientVersion && A.HasServerName == B.HasServerName && A.ServerName == B.ServerName &&
         A.HasAlpn == B.HasAlpn && A.Alpn == B.Alpn && A.Extensions == B.Extensions;
}

// ---- the properties ----

void CheckPrefixes(std::string_view B, THelloVerdict Whole, const TClientHello& Hello) {
  // The cuts that matter: the first bytes (the headers), around every record boundary, around
  // the hello's end, and a few spread over the rest.
  std::vector<std::size_t> cuts;
  for (std::size_t n = 0; n <= std::min<std::size_t>(B.size(), 12); ++n) cuts.push_back(n);
  for (std::size_t at = 0; at + 5 <= B.size() && cuts.size() < 96;) {
    for (std::size_t d : {4u, 5u, 6u, 9u}) cuts.push_back(std::min(B.size(), at + d));
    const std::size_t len = Get(B, at + 3, 2);
    at += 5 + len;
    for (std::size_t d : {0u, 1u}) {
      cuts.push_back(std::min(B.size(), at + d));
      if (at >= 1) cuts.push_back(std::min(B.size(), at - 1));
    }
    if (B[0] != 0x16 || len == 0) break;
  }
  for (std::size_t k = 0; k <= 8; ++k) cuts.push_back(B.size() * k / 8);
  if (Whole == hvClientHello)
    for (std::size_t d = 0; d < 3; ++d) cuts.push_back(std::min(B.size(), Hello.Length - d));
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  THelloVerdict last = hvNeedMore;
  THelloVerdict lastStart = hvNeedMore;
  for (std::size_t n : cuts) {
    std::string_view prefix = B.substr(0, n);
    TClientHello h;
    const THelloVerdict v = ScanClientHello(prefix, &h);
    const THelloVerdict s = ScanClientHelloStart(prefix);
    if (last != hvNeedMore && v != last) Broken("a verdict changed along the stream", n);
    if (v != hvNeedMore && v != Whole) Broken("a prefix's verdict differs from the whole's", n);
    if (v == hvClientHello && !Same(h, Hello)) Broken("a prefix's hello differs from the whole's", n);
    if (Whole == hvClientHello && (n < Hello.Length) != (v == hvNeedMore)) Broken("a hello was decided at the wrong byte", n);
    if (lastStart != hvNeedMore && s != lastStart) Broken("the start's verdict changed along the stream", n);
    if (s == hvNotTls && v != hvNotTls) Broken("the start says not TLS, the whole scan does not", n);
    if (v == hvClientHello && s != hvClientHello) Broken("a whole hello whose start is not one", n);
    if (Reference(prefix).Verdict != v) Broken("the reference disagrees on a prefix", n);
    last = v;
    lastStart = s;
  }
}

void RawBytes(std::string_view B) {
  TClientHello h;
  const THelloVerdict v = ScanClientHello(B, &h);
  const TRef ref = Reference(B);
  if (v != ref.Verdict) Broken("the verdict differs from the reference's");
  if (v == hvClientHello && !Same(h, ref.Hello)) Broken("the hello differs from the reference's");
  CheckPrefixes(B, v, h);
}

std::string U16(std::size_t V) { return {static_cast<char>(V >> 8 & 0xFF), static_cast<char>(V & 0xFF)}; }

// The defects a built hello may be given, each of which makes it not TLS.
enum TDefect : int {
  dfNone,
  dfEmptyAlpnName,
  dfEmptyServerName,
  dfDuplicateExtension,
  dfServerNameListShort,
  dfAlpnListLong,
  dfExtensionsShort,
  dfOddSuites,
  dfLongSessionId,
  dfNoMethods,
  dfTrailingBodyByte,
  dfCount
};

void Built(FuzzedDataProvider& In) {
  const auto defect = static_cast<TDefect>(In.ConsumeIntegralInRange<int>(0, dfCount - 1));
  TClientHello want;
  std::string extensions;
  auto add = [&](std::uint16_t Type, const std::string& Data) {
    extensions += U16(Type) + U16(Data.size()) + Data;
    want.Extensions.push_back(Type);
  };
  const int others = In.ConsumeIntegralInRange(0, 6);
  const bool sniFirst = In.ConsumeBool();
  std::vector<std::uint16_t> used;
  auto other = [&] {
    std::uint16_t type = In.ConsumeIntegral<std::uint16_t>();
    while (type == 0 || type == 16 || std::find(used.begin(), used.end(), type) != used.end()) ++type;
    used.push_back(type);
    add(type, In.ConsumeRandomLengthString(300));
  };
  for (int i = 0; i < others / 2; ++i) other();
  auto sni = [&] {
    std::string name = In.ConsumeRandomLengthString(255);
    if (name.empty()) name = "x";
    if (defect == dfEmptyServerName) name.clear();
    std::string list = std::string(1, '\0') + U16(name.size()) + name;
    if (In.ConsumeBool()) list += std::string(1, '\x07') + U16(3) + "abc";  // an entry of another type
    add(0, U16(list.size() + (defect == dfServerNameListShort ? 1 : 0)) + list);
    want.HasServerName = true;
    want.ServerName = name;
  };
  auto alpn = [&] {
    std::string list;
    const int names = In.ConsumeIntegralInRange(1, 5);
    for (int i = 0; i < names; ++i) {
      std::string p = In.ConsumeRandomLengthString(40);
      if (p.empty()) p = "h2";
      if (defect == dfEmptyAlpnName && i == names - 1) p.clear();
      list += static_cast<char>(p.size()) + p;
      want.Alpn.push_back(p);
    }
    add(16, U16(list.size() - (defect == dfAlpnListLong ? 1 : 0)) + list);
    want.HasAlpn = true;
  };
  const bool withSni = In.ConsumeBool(), withAlpn = In.ConsumeBool();
  if (sniFirst) {
    if (withSni) sni();
    if (withAlpn) alpn();
  } else {
    if (withAlpn) alpn();
    if (withSni) sni();
  }
  for (int i = others / 2; i < others; ++i) other();
  if (defect == dfDuplicateExtension) {
    if (want.Extensions.empty()) add(77, "a");
    add(want.Extensions.front(), "dup");
  }
  // A defect in an extension that is not there leaves the hello sound.
  bool defective = defect != dfNone;
  if ((defect == dfEmptyServerName || defect == dfServerNameListShort) && !withSni) defective = false;
  if ((defect == dfEmptyAlpnName || defect == dfAlpnListLong) && !withAlpn) defective = false;

  want.ClientVersion = static_cast<std::uint16_t>(0x0300 | In.ConsumeIntegral<std::uint8_t>());
  std::string body = U16(want.ClientVersion) + std::string(32, 'R');
  std::string session = In.ConsumeBytesAsString(In.ConsumeIntegralInRange<std::size_t>(0, 32));
  if (defect == dfLongSessionId) session.resize(33, 's');
  body += static_cast<char>(session.size()) + session;
  const std::size_t suites = In.ConsumeIntegralInRange<std::size_t>(1, 40);
  const std::size_t suiteBytes = 2 * suites + (defect == dfOddSuites ? 1 : 0);
  body += U16(suiteBytes) + std::string(suiteBytes, '\x13');
  body += defect == dfNoMethods ? std::string(1, '\0') : std::string("\x01\x00", 2);
  const bool noBlock = extensions.empty() && In.ConsumeBool();
  if (!noBlock) body += U16(extensions.size() - (defect == dfExtensionsShort && !extensions.empty() ? 1 : 0)) + extensions;
  if (defect == dfExtensionsShort && extensions.empty()) defective = false;
  if (defect == dfTrailingBodyByte) body += noBlock ? std::string("\x00", 1) : std::string("z");
  const std::string handshake = std::string(1, '\x01') + static_cast<char>(body.size() >> 16) + U16(body.size()) + body;

  want.RecordVersion = static_cast<std::uint16_t>(0x0300 | In.ConsumeIntegralInRange(0, 4));
  std::string stream;
  for (std::size_t at = 0; at < handshake.size();) {
    const std::size_t size = std::min<std::size_t>(handshake.size() - at, In.ConsumeIntegralInRange<std::size_t>(1, 16384));
    const std::uint16_t version = want.Records == 0 ? want.RecordVersion : static_cast<std::uint16_t>(0x0300 | In.ConsumeIntegralInRange(0, 4));
    stream += std::string(1, '\x16') + U16(version) + U16(size) + handshake.substr(at, size);
    at += size;
    ++want.Records;
  }
  want.Length = stream.size();
  stream += In.ConsumeRemainingBytesAsString();

  TClientHello got;
  if (defective) {
    if (ScanClientHello(stream, &got) != hvNotTls) Broken("a defective hello was recognised");
    RawBytes(stream);
    return;
  }
  if (ScanClientHello(stream, &got) != hvClientHello) Broken("a well-formed hello was not recognised");
  if (!Same(got, want)) Broken("the hello's fields are not the ones built");
  if (ScanClientHello(std::string_view(stream).substr(0, want.Length - 1)) != hvNeedMore) Broken("a cut hello was decided");
  if (ScanClientHelloStart(std::string_view(stream).substr(0, 9)) != hvClientHello && want.Records == 1)
    Broken("the start of a hello was not recognised");
  RawBytes(stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size == 0) return 0;
  if ((Data[0] & 1) == 0) {
    RawBytes(std::string_view(reinterpret_cast<const char*>(Data + 1), Size - 1));
  } else {
    FuzzedDataProvider in(Data + 1, Size - 1);
    Built(in);
  }
  return 0;
}
