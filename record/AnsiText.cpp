// Windows-1252 decoding, by table: Qt's own codecs need ICU, which the build does not require.
#include "record/AnsiText.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace {

constexpr char16_t kStandIn = u'\uFFFD';

// 0x80-0x9F; 0xA0-0xFF are the Latin-1 code points of the same value.
constexpr char16_t kHighControls[32] = {
    u'\u20AC', kStandIn,  u'\u201A', u'\u0192', u'\u201E', u'\u2026', u'\u2020', u'\u2021',
    u'\u02C6', u'\u2030', u'\u0160', u'\u2039', u'\u0152', kStandIn,  u'\u017D', kStandIn,
    kStandIn,  u'\u2018', u'\u2019', u'\u201C', u'\u201D', u'\u2022', u'\u2013', u'\u2014',
    u'\u02DC', u'\u2122', u'\u0161', u'\u203A', u'\u0153', kStandIn,  u'\u017E', u'\u0178',
};

}  // namespace

QString AnsiText(const std::string& Bytes) {
  QString text(static_cast<qsizetype>(Bytes.size()), Qt::Uninitialized);
  QChar* out = text.data();
  for (char c : Bytes) {
    const auto byte = static_cast<unsigned char>(c);
    *out++ = (byte >= 0x80 && byte < 0xA0) ? QChar(kHighControls[byte - 0x80]) : QChar(byte);
  }
  return text;
}

bool AnsiBytes(const QString& Text, std::string& Out) {
  for (const QChar c : Text) {
    const char16_t u = c.unicode();
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
      Out += static_cast<char>(u);
      continue;
    }
    const auto* at = std::find(std::begin(kHighControls), std::end(kHighControls), u);
    if (u == kStandIn || at == std::end(kHighControls)) return false;
    Out += static_cast<char>(0x80 + (at - std::begin(kHighControls)));
  }
  return true;
}

namespace {

// The UTF-8 form of each byte's character, built once.
struct TUtf8Table {
  std::array<std::array<char, 4>, 256> Bytes{};
  std::array<std::uint8_t, 256> Length{};
  TUtf8Table() {
    for (int b = 0; b < 256; ++b) {
      const char16_t c = (b >= 0x80 && b < 0xA0) ? kHighControls[b - 0x80] : static_cast<char16_t>(b);
      auto& out = Bytes[static_cast<std::size_t>(b)];
      std::uint8_t n = 0;
      if (c < 0x80) {
        out[n++] = static_cast<char>(c);
      } else if (c < 0x800) {
        out[n++] = static_cast<char>(0xC0 | (c >> 6));
        out[n++] = static_cast<char>(0x80 | (c & 0x3F));
      } else {
        out[n++] = static_cast<char>(0xE0 | (c >> 12));
        out[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[n++] = static_cast<char>(0x80 | (c & 0x3F));
      }
      Length[static_cast<std::size_t>(b)] = n;
    }
  }
};

}  // namespace

void AppendAnsiUtf8(const std::string& Bytes, std::string& Out) {
  static const TUtf8Table table;
  for (char c : Bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      Out += c;
    } else {
      Out.append(table.Bytes[b].data(), table.Length[b]);
    }
  }
}
