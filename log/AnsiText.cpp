// Windows-1252 decoding, by table: Qt's own codecs need ICU, which the build does not require.
#include "log/AnsiText.h"

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
