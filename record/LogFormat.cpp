// Text and hex-dump formatting of entry bodies (layout in LogFormat.h).
#include "record/LogFormat.h"

#include <algorithm>
#include <array>

namespace {

// The longest line is 53 + 16 = 69 characters; one buffer of this size serves every line of a dump.
using TLineBuffer = std::array<char, kHexTextColumn + kHexBytesPerLine + 1>;

constexpr char kHexDigits[] = "0123456789ABCDEF";

char Printable(char Byte) { return static_cast<unsigned char>(Byte) < 0x20 ? '.' : Byte; }

std::size_t BytesAt(const std::string& Data, std::size_t Offset, std::size_t Remaining) {
  if (Offset >= Data.size()) return 0;
  return std::min({Remaining, kHexBytesPerLine, Data.size() - Offset});
}

// Writes the line of Count (at most 16) bytes at Offset into Line; returns its length.
std::size_t FormatInto(TLineBuffer& Line, const std::string& Data, std::size_t Offset, std::size_t Count) {
  std::fill(Line.begin(), Line.begin() + kHexTextColumn, ' ');
  const std::size_t label = Offset & 0xFFFF;
  for (int digit = 0; digit < 4; ++digit) Line[static_cast<std::size_t>(3 - digit)] = kHexDigits[(label >> (4 * digit)) & 0xF];
  for (std::size_t j = 0; j < Count; ++j) {
    const auto byte = static_cast<unsigned char>(Data[Offset + j]);
    Line[5 + 3 * j] = kHexDigits[byte >> 4];
    Line[6 + 3 * j] = kHexDigits[byte & 0xF];
    if (j == 7) Line[7 + 3 * j] = '-';
    Line[kHexTextColumn + j] = Printable(Data[Offset + j]);
  }
  return kHexTextColumn + Count;
}

}  // namespace

std::string PrintableText(const std::string& Data) {
  std::string text;
  AppendPrintableText(Data, text);
  return text;
}

void AppendPrintableText(const std::string& Data, std::string& Out) {
  const std::size_t at = Out.size();
  Out.append(Data);
  std::transform(Out.begin() + static_cast<std::ptrdiff_t>(at), Out.end(), Out.begin() + static_cast<std::ptrdiff_t>(at),
                 Printable);
}

THexLine FormatHexLine(const std::string& Data, std::size_t Offset, std::size_t Remaining) {
  TLineBuffer line;
  const std::size_t count = BytesAt(Data, Offset, Remaining);
  const std::size_t length = FormatInto(line, Data, Offset, count);
  return {std::string(line.data(), length), count};
}

std::vector<std::string> HexDumpLines(const std::string& Data) {
  std::vector<std::string> lines;
  lines.reserve((Data.size() + kHexBytesPerLine - 1) / kHexBytesPerLine);
  TLineBuffer line;
  for (std::size_t offset = 0; offset < Data.size();) {
    const std::size_t count = BytesAt(Data, offset, Data.size() - offset);
    lines.emplace_back(line.data(), FormatInto(line, Data, offset, count));
    offset += count;
  }
  return lines;
}

void AppendHexDump(const std::string& Data, std::string& Out) {
  Out.reserve(Out.size() + (Data.size() + kHexBytesPerLine - 1) / kHexBytesPerLine * (kHexTextColumn + kHexBytesPerLine + 1));
  TLineBuffer line;
  for (std::size_t offset = 0; offset < Data.size();) {
    const std::size_t count = BytesAt(Data, offset, Data.size() - offset);
    const std::size_t length = FormatInto(line, Data, offset, count);
    line[length] = '\n';
    Out.append(line.data(), length + 1);
    offset += count;
  }
}
