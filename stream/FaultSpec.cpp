// Reading and writing fault rules (see FaultSpec.h for the grammar).
#include "stream/FaultSpec.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>

namespace {

constexpr const char* kKindNames[kFaultKindCount] = {"latency", "bandwidth", "slicer", "stall",
                                                     "limit",   "reset",     "refuse", "corrupt"};
// The largest amounts taken: a day, a pebibyte, a terabyte a second. Beyond them nothing means
// anything for a relay, and the arithmetic stays far from overflowing.
constexpr std::int64_t kMostUs = 86400LL * 1000000;
constexpr std::uint64_t kMostBytes = 1ULL << 50;
constexpr std::uint64_t kMostRate = 1000000000000ULL;

struct TUnit {
  const char* Name;
  std::uint64_t Factor;
};
constexpr TUnit kByteUnits[] = {{"", 1},         {"B", 1},          {"KB", 1000},        {"MB", 1000000},
                                {"GB", 1000000000}, {"KiB", 1ULL << 10}, {"MiB", 1ULL << 20}, {"GiB", 1ULL << 30}};
constexpr TUnit kTimeUnits[] = {{"us", 1}, {"ms", 1000}, {"s", 1000000}};

enum TAmountKind { akBytes, akTime, akRate };

struct TAmount {
  TAmountKind Kind = akBytes;
  std::uint64_t Value = 0;  // bytes, microseconds or bytes a second
};

std::string_view Trim(std::string_view S) {
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
  while (!S.empty() && (S.back() == ' ' || S.back() == '\t' || S.back() == '\r' || S.back() == '\n')) S.remove_suffix(1);
  return S;
}

std::string Quote(std::string_view S) { return "'" + std::string(S) + "'"; }

// A number with an optional fraction at the start of Text: its digits, and where it ends.
// At most 15 digits before the point and 9 after it.
bool ReadNumber(std::string_view Text, std::uint64_t& Whole, std::uint64_t& Frac, int& FracDigits, std::size_t& End) {
  std::size_t i = 0;
  Whole = Frac = 0;
  FracDigits = 0;
  int digits = 0;
  while (i < Text.size() && Text[i] >= '0' && Text[i] <= '9') {
    if (++digits > 15) return false;
    Whole = Whole * 10 + static_cast<std::uint64_t>(Text[i++] - '0');
  }
  if (i < Text.size() && Text[i] == '.') {
    ++i;
    while (i < Text.size() && Text[i] >= '0' && Text[i] <= '9') {
      if (FracDigits < 9) {
        Frac = Frac * 10 + static_cast<std::uint64_t>(Text[i] - '0');
        ++FracDigits;
      }
      ++i;
    }
    if (FracDigits == 0 && digits == 0) return false;
  } else if (digits == 0) {
    return false;
  }
  End = i;
  return true;
}

// Whole.Frac times Factor, rounded to the nearest unit; false past Most.
bool Scale(std::uint64_t Whole, std::uint64_t Frac, int FracDigits, std::uint64_t Factor, std::uint64_t Most,
           std::uint64_t& Out) {
  if (Whole > Most / Factor) return false;
  std::uint64_t pow10 = 1;
  for (int d = 0; d < FracDigits; ++d) pow10 *= 10;
  // Frac < 10^9 and Factor <= 2^30: the product fits in 64 bits.
  const unsigned __int128 part = (static_cast<unsigned __int128>(Frac) * Factor + pow10 / 2) / pow10;
  const unsigned __int128 total = static_cast<unsigned __int128>(Whole) * Factor + part;
  if (total > Most) return false;
  Out = static_cast<std::uint64_t>(total);
  return true;
}

// One amount: Part is the "name=value" item it came from, for the error; Allowed, what may stand
// there; Example, what to show when it is not one of them.
bool ReadAmount(std::string_view Part, std::string_view Value, std::initializer_list<TAmountKind> Allowed,
                TAmount& Out, std::string& Error) {
  auto allowed = [&](TAmountKind K) { return std::find(Allowed.begin(), Allowed.end(), K) != Allowed.end(); };
  auto expected = [&]() {
    std::string what;
    const bool b = allowed(akBytes), t = allowed(akTime), r = allowed(akRate);
    if (b && t) what = "a byte count or a time (e.g. 1000, 64KiB or 2s)";
    else if (b) what = "a byte count (e.g. 1000 or 64KiB)";
    else if (t) what = "a time (e.g. 100ms or 2s)";
    else if (r) what = "a rate (e.g. 1MB/s or 64KiB/s)";
    return what;
  };
  std::uint64_t whole = 0, frac = 0;
  int fracDigits = 0;
  std::size_t end = 0;
  if (!ReadNumber(Value, whole, frac, fracDigits, end)) {
    Error = Quote(Part) + ": expected " + expected() + ", got " + Quote(Value);
    return false;
  }
  std::string_view unit = Value.substr(end);
  const bool rate = unit.size() >= 2 && unit.substr(unit.size() - 2) == "/s";
  if (rate) unit.remove_suffix(2);
  TAmountKind kind = akBytes;
  std::uint64_t factor = 0;
  for (const TUnit& u : kByteUnits)
    if (unit == u.Name) factor = u.Factor;
  if (rate) kind = akRate;
  if (factor == 0 && !rate) {
    for (const TUnit& u : kTimeUnits)
      if (unit == u.Name) {
        factor = u.Factor;
        kind = akTime;
      }
  }
  if (factor == 0) {
    const std::string shown(rate ? std::string(unit) + "/s" : std::string(unit));
    Error = Quote(Part) + ": unknown unit " + Quote(shown) + " (";
    if (rate) Error += "a rate is a byte count with B, KB, MB, GB, KiB, MiB or GiB, then /s";
    else if (allowed(akTime) && !allowed(akBytes)) Error += "a time is a number with us, ms or s";
    else if (allowed(akRate)) Error += "a rate is a number with /s, e.g. 1MB/s";
    else if (allowed(akTime)) Error += "a bare number counts bytes; KB, MB, GB, KiB, MiB, GiB; us, ms, s make a time";
    else Error += "a bare number counts bytes; KB, MB, GB are powers of 1000, KiB, MiB, GiB of 1024";
    Error += ")";
    return false;
  }
  if (!allowed(kind)) {
    const char* got = kind == akBytes ? "a byte count" : kind == akTime ? "a time" : "a rate";
    Error = Quote(Part) + ": expected " + expected() + ", got " + got;
    return false;
  }
  const std::uint64_t most = kind == akTime ? static_cast<std::uint64_t>(kMostUs) : kind == akRate ? kMostRate : kMostBytes;
  if (!Scale(whole, frac, fracDigits, factor, most, Out.Value)) {
    Error = Quote(Part) + ": too large (at most " +
            (kind == akTime ? std::string("a day") : kind == akRate ? std::string("1 TB/s") : std::string("1 PiB")) + ")";
    return false;
  }
  Out.Kind = kind;
  return true;
}

// A match pattern's escapes: \r \n \t \\ \xHH.
bool Unescape(std::string_view Part, std::string_view Text, std::string& Out, std::string& Error) {
  Out.clear();
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < Text.size(); ++i) {
    if (Text[i] != '\\') {
      Out += Text[i];
      continue;
    }
    if (i + 1 >= Text.size()) {
      Error = Quote(Part) + ": a backslash at the end (write \\\\ for a backslash)";
      return false;
    }
    const char c = Text[++i];
    if (c == 'r') Out += '\r';
    else if (c == 'n') Out += '\n';
    else if (c == 't') Out += '\t';
    else if (c == '\\') Out += '\\';
    else if (c == 'x' && i + 2 < Text.size() && hex(Text[i + 1]) >= 0 && hex(Text[i + 2]) >= 0) {
      Out += static_cast<char>(hex(Text[i + 1]) * 16 + hex(Text[i + 2]));
      i += 2;
    } else {
      Error = Quote(Part) + ": unknown escape " + Quote(std::string("\\") + c) + " (\\r, \\n, \\t, \\\\ and \\xHH are known)";
      return false;
    }
  }
  return true;
}

std::string Escape(const std::string& Bytes) {
  static const char* const kHex = "0123456789abcdef";
  std::string out;
  for (char ch : Bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\') out += "\\\\";
    else if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c < 0x20 || c >= 0x7F || c == ' ') {
      // A blank is escaped too, so that trimming the rule's text never changes the pattern.
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

std::string CanonicalBytes(std::uint64_t N) { return std::to_string(N); }

std::string CanonicalTime(std::int64_t Us) {
  if (Us % 1000000 == 0) return std::to_string(Us / 1000000) + "s";
  if (Us % 1000 == 0) return std::to_string(Us / 1000) + "ms";
  return std::to_string(Us) + "us";
}

std::string CanonicalRate(std::uint64_t R) {
  for (const TUnit& u : {TUnit{"GB", 1000000000}, TUnit{"MB", 1000000}, TUnit{"KB", 1000}, TUnit{"GiB", 1ULL << 30},
                         TUnit{"MiB", 1ULL << 20}, TUnit{"KiB", 1ULL << 10}})
    if (R % u.Factor == 0) return std::to_string(R / u.Factor) + u.Name + "/s";
  return std::to_string(R) + "/s";
}

// A fraction of a million as a short decimal: 200000 -> "0.2".
std::string Decimal(std::uint64_t Value, std::uint64_t Unit) {
  std::string s = std::to_string(Value / Unit);
  std::uint64_t rest = Value % Unit;
  if (rest == 0) return s;
  std::string frac;
  for (std::uint64_t d = Unit / 10; d > 0; d /= 10) {
    frac += static_cast<char>('0' + rest / d);
    rest %= d;
  }
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  return s + "." + frac;
}

// The names each kind takes after its value.
std::vector<std::string_view> Names(TFaultKind Kind) {
  switch (Kind) {
    case fkLatency: return {"jitter"};
    case fkBandwidth: return {"per"};
    case fkSlicer: return {"spread", "delay"};
    case fkCorrupt: return {"bit"};
    default: return {};
  }
}

std::string NamesText(TFaultKind Kind) {
  const auto names = Names(Kind);
  if (names.empty()) return std::string(kKindNames[Kind]) + " takes no other names";
  std::string s = std::string(kKindNames[Kind]) + " takes ";
  for (std::size_t i = 0; i < names.size(); ++i) s += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + std::string(names[i]);
  return s;
}

// The trigger of stall, limit and reset.
bool ReadTrigger(std::string_view Part, std::string_view Value, bool Patterns, TFaultSpec& Out, std::string& Error) {
  if (Patterns && (Value.starts_with("match:") || Value.starts_with("hex:"))) {
    Out.Trigger = ftPattern;
    if (Value.starts_with("match:")) {
      if (!Unescape(Part, Value.substr(6), Out.Pattern, Error)) return false;
    } else {
      Out.PatternHex = true;
      std::string_view h = Value.substr(4);
      if (h.size() % 2 != 0) {
        Error = Quote(Part) + ": a hex pattern has two digits a byte, got " + std::to_string(h.size()) + " digits";
        return false;
      }
      for (std::size_t i = 0; i < h.size(); i += 2) {
        int v = 0;
        for (char c : {h[i], h[i + 1]}) {
          const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
          if (d < 0) {
            Error = Quote(Part) + ": " + Quote(std::string(1, c)) + " is not a hex digit";
            return false;
          }
          v = v * 16 + d;
        }
        Out.Pattern += static_cast<char>(v);
      }
    }
    if (Out.Pattern.empty()) {
      Error = Quote(Part) + ": the pattern is empty";
      return false;
    }
    if (Out.Pattern.size() > 4096) {
      Error = Quote(Part) + ": the pattern is longer than 4096 bytes";
      return false;
    }
    return true;
  }
  TAmount a;
  if (!ReadAmount(Part, Value, {akBytes, akTime}, a, Error)) {
    if (Patterns && Error.find("expected") != std::string::npos)
      Error = Quote(Part) + ": expected a byte count, a time, match:TEXT or hex:HEX, got " + Quote(Value);
    return false;
  }
  if (a.Kind == akTime) {
    Out.Trigger = ftTime;
    Out.TimeUs = static_cast<std::int64_t>(a.Value);
  } else {
    Out.Trigger = ftBytes;
    Out.Bytes = a.Value;
  }
  return true;
}

}  // namespace

bool ParseFault(std::string_view Input, TFaultSpec& Out, std::string& Error) {
  const std::string_view text = Trim(Input);
  if (text.empty()) {
    Error = "empty fault rule (expected DIRECTION:KIND=VALUE, e.g. remote:latency=100ms)";
    return false;
  }
  TFaultSpec rule;
  std::string_view rest = text;
  const std::size_t eq = text.find('=');
  const std::size_t colon = text.find(':');
  bool directed = false;
  if (colon != std::string_view::npos && (eq == std::string_view::npos || colon < eq)) {
    const std::string_view dir = text.substr(0, colon);
    if (dir == "remote") rule.Direction = fdRemote;
    else if (dir == "local") rule.Direction = fdLocal;
    else {
      Error = "unknown direction " + Quote(dir) + " in " + Quote(text) + " (expected remote or local)";
      return false;
    }
    directed = true;
    rest = text.substr(colon + 1);
  }
  const std::size_t kindEnd = rest.find('=');
  const std::size_t comma = rest.find(',');
  const std::string_view kindName = rest.substr(0, std::min(kindEnd, comma));
  int kind = -1;
  for (int k = 0; k < kFaultKindCount; ++k)
    if (kindName == kKindNames[k]) kind = k;
  if (kind < 0) {
    Error = "unknown fault " + Quote(kindName) + " in " + Quote(text) +
            " (expected latency, bandwidth, slicer, stall, limit, reset, refuse or corrupt)";
    return false;
  }
  rule.Kind = static_cast<TFaultKind>(kind);
  if (kindEnd == std::string_view::npos || (comma != std::string_view::npos && comma < kindEnd)) {
    Error = Quote(kindName) + ": expected " + std::string(kKindNames[kind]) + "=VALUE";
    return false;
  }
  if (rule.Kind == fkRefuse && directed) {
    Error = Quote(text) + ": refuse takes no direction (write refuse=PROBABILITY)";
    return false;
  }
  if (rule.Kind != fkRefuse && !directed) {
    Error = Quote(text) + ": a direction comes first (remote:" + std::string(rest) + " or local:" + std::string(rest) + ")";
    return false;
  }
  if (rule.Kind == fkRefuse) rule.Direction = fdListener;

  // The kind's own value, then name=value pairs. A pattern takes the rest of the text.
  std::string_view values = rest.substr(kindEnd + 1);
  std::string_view first = values;
  std::vector<std::string_view> items;
  const bool pattern = rule.Kind == fkReset && (values.starts_with("match:") || values.starts_with("hex:"));
  if (!pattern) {
    std::size_t c = values.find(',');
    first = values.substr(0, c);
    while (c != std::string_view::npos) {
      values = values.substr(c + 1);
      c = values.find(',');
      items.push_back(values.substr(0, c));
    }
  }
  const std::string part = std::string(kKindNames[kind]) + "=" + std::string(first);
  if (first.empty() && !pattern) {
    Error = Quote(part) + ": no value";
    return false;
  }
  TAmount a;
  switch (rule.Kind) {
    case fkLatency:
      if (!ReadAmount(part, first, {akTime}, a, Error)) return false;
      rule.DelayUs = static_cast<std::int64_t>(a.Value);
      break;
    case fkBandwidth:
      if (!ReadAmount(part, first, {akRate}, a, Error)) return false;
      if (a.Value == 0) {
        Error = Quote(part) + ": a rate is at least 1/s (a stall stops a stream)";
        return false;
      }
      rule.Rate = a.Value;
      break;
    case fkSlicer:
    case fkCorrupt:
      if (!ReadAmount(part, first, {akBytes}, a, Error)) return false;
      if (a.Value == 0) {
        Error = Quote(part) + ": at least 1 byte";
        return false;
      }
      (rule.Kind == fkSlicer ? rule.Size : rule.Bytes) = a.Value;
      break;
    case fkStall:
    case fkLimit:
    case fkReset:
      if (!ReadTrigger(part, first, rule.Kind == fkReset, rule, Error)) return false;
      break;
    case fkRefuse: {
      std::string_view v = first;
      const bool percent = !v.empty() && v.back() == '%';
      if (percent) v.remove_suffix(1);
      std::uint64_t whole = 0, frac = 0;
      int digits = 0;
      std::size_t end = 0;
      if (!ReadNumber(v, whole, frac, digits, end) || end != v.size()) {
        Error = Quote(part) + ": expected a probability from 0 to 1 (or a percentage), got " + Quote(first);
        return false;
      }
      std::uint64_t ppm = 0;
      if (!Scale(whole, frac, digits, percent ? 10000 : 1000000, 1000000, ppm)) {
        Error = Quote(part) + ": a probability is from 0 to 1 (or 0% to 100%)";
        return false;
      }
      rule.Millionths = static_cast<std::uint32_t>(ppm);
      break;
    }
  }
  std::vector<std::string_view> seen;
  for (std::string_view item : items) {
    const std::size_t e = item.find('=');
    const std::string_view name = item.substr(0, e);
    const auto names = Names(rule.Kind);
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      Error = "unknown name " + Quote(name) + " in " + Quote(text) + " (" + NamesText(rule.Kind) + ")";
      return false;
    }
    if (e == std::string_view::npos || e + 1 == item.size()) {
      Error = Quote(item) + ": no value (expected " + std::string(name) + "=VALUE)";
      return false;
    }
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
      Error = Quote(name) + " is given twice in " + Quote(text);
      return false;
    }
    seen.push_back(name);
    const std::string_view value = item.substr(e + 1);
    if (name == "jitter" || name == "delay") {
      if (!ReadAmount(item, value, {akTime}, a, Error)) return false;
      (name == "jitter" ? rule.JitterUs : rule.DelayUs) = static_cast<std::int64_t>(a.Value);
    } else if (name == "spread") {
      if (!ReadAmount(item, value, {akBytes}, a, Error)) return false;
      if (a.Value >= rule.Size) {
        Error = Quote(item) + ": at most the size less one (" + std::to_string(rule.Size - 1) + "), so that every piece has a byte";
        return false;
      }
      rule.Spread = a.Value;
    } else if (name == "per") {
      if (value == "session") rule.PerListener = false;
      else if (value == "listener") rule.PerListener = true;
      else {
        Error = Quote(item) + ": expected per=session or per=listener";
        return false;
      }
    } else if (name == "bit") {
      if (value.size() != 1 || value[0] < '0' || value[0] > '7') {
        Error = Quote(item) + ": a bit is a number from 0 (the lowest) to 7";
        return false;
      }
      rule.Bit = value[0] - '0';
    }
  }
  Out = rule;
  return true;
}

std::string FaultText(const TFaultSpec& S) {
  std::string t = S.Kind == fkRefuse ? std::string() : std::string(S.Direction == fdLocal ? "local:" : "remote:");
  t += kKindNames[S.Kind];
  t += '=';
  switch (S.Kind) {
    case fkLatency:
      t += CanonicalTime(S.DelayUs);
      if (S.JitterUs != 0) t += ",jitter=" + CanonicalTime(S.JitterUs);
      break;
    case fkBandwidth:
      t += CanonicalRate(S.Rate);
      if (S.PerListener) t += ",per=listener";
      break;
    case fkSlicer:
      t += CanonicalBytes(S.Size);
      if (S.Spread != 0) t += ",spread=" + CanonicalBytes(S.Spread);
      if (S.DelayUs != 0) t += ",delay=" + CanonicalTime(S.DelayUs);
      break;
    case fkStall:
    case fkLimit:
    case fkReset:
      if (S.Trigger == ftBytes) t += CanonicalBytes(S.Bytes);
      else if (S.Trigger == ftTime) t += CanonicalTime(S.TimeUs);
      else if (S.PatternHex) {
        t += "hex:";
        static const char* const kHex = "0123456789abcdef";
        for (char c : S.Pattern) {
          t += kHex[static_cast<unsigned char>(c) >> 4];
          t += kHex[static_cast<unsigned char>(c) & 15];
        }
      } else {
        t += "match:" + Escape(S.Pattern);
      }
      break;
    case fkCorrupt:
      t += CanonicalBytes(S.Bytes);
      if (S.Bit != 0) t += ",bit=" + std::to_string(S.Bit);
      break;
    case fkRefuse:
      t += Decimal(S.Millionths, 1000000);
      break;
  }
  return t;
}

std::string FaultWhere(TFaultDirection Direction) {
  return Direction == fdRemote ? "toward Remote" : Direction == fdLocal ? "toward Local" : "at accept";
}

std::string BytesText(std::uint64_t Bytes) { return std::to_string(Bytes) + (Bytes == 1 ? " byte" : " bytes"); }

std::string TimeText(std::int64_t Us) {
  if (Us >= 1000000) return Decimal(static_cast<std::uint64_t>(Us), 1000000) + " s";
  if (Us >= 1000) return Decimal(static_cast<std::uint64_t>(Us), 1000) + " ms";
  return std::to_string(Us) + " us";
}

std::string RateText(std::uint64_t R) {
  if (R >= 1000000000) return Decimal(R, 1000000000) + " GB/s";
  if (R >= 1000000) return Decimal(R, 1000000) + " MB/s";
  if (R >= 1000) return Decimal(R, 1000) + " KB/s";
  return std::to_string(R) + " bytes/s";
}

// ---- the set ----

void TFaultSet::Set(const TFaultSpec& Rule) {
  auto key = [](const TFaultSpec& S) { return S.Direction * kFaultKindCount + S.Kind; };
  auto it = std::find_if(FFaults.begin(), FFaults.end(), [&](const TFaultSpec& S) { return key(S) >= key(Rule); });
  if (it != FFaults.end() && key(*it) == key(Rule)) *it = Rule;
  else FFaults.insert(it, Rule);
}

void TFaultSet::Remove(TFaultDirection Direction, TFaultKind Kind) {
  std::erase_if(FFaults, [&](const TFaultSpec& S) { return S.Direction == Direction && S.Kind == Kind; });
}

const TFaultSpec* TFaultSet::Find(TFaultDirection Direction, TFaultKind Kind) const {
  for (const TFaultSpec& s : FFaults)
    if (s.Direction == Direction && s.Kind == Kind) return &s;
  return nullptr;
}

bool TFaultSet::Has(TFaultDirection Direction) const {
  return std::any_of(FFaults.begin(), FFaults.end(), [&](const TFaultSpec& S) { return S.Direction == Direction; });
}

bool TFaultSet::Parse(const std::vector<std::string>& Rules, std::string& Error) {
  TFaultSet set;
  for (const std::string& line : Rules) {
    const std::string_view t = Trim(line);
    if (t.empty() || t.front() == '#') continue;
    TFaultSpec rule;
    if (!ParseFault(t, rule, Error)) return false;
    set.Set(rule);
  }
  *this = std::move(set);
  return true;
}

std::string TFaultSet::Text() const {
  std::string t;
  for (const TFaultSpec& s : FFaults) t += FaultText(s) + "\n";
  return t;
}
