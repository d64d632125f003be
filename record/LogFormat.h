// Public. The byte-level layout of a log entry's body: one line of printable text, or a hex dump of
// sixteen bytes a line. Pure functions on byte strings; AnsiText turns the result into view text.
//
// A hex line, columns counted from 0, for n = 1..16 bytes at block position `offset`:
//
//   0000 48 65 6C 6C 6F 2C 20 72-65 6C 61 79 20 6F 6E 65 Hello, relay one
//   |    |                      |                       |
//   0    5 + 3j: byte j         28: "-" after byte 7    53 + j: byte j as PrintableText
//
//   columns 0-3 the offset modulo 65536 in upper-case hex; a blank after every byte but the eighth;
//   blanks from 5 + 3n up to 52; the line ends after its last printable character (53 + n long).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The dump's shape, for everything that writes, lays out or draws one.
inline constexpr std::size_t kHexBytesPerLine = 16;
inline constexpr std::size_t kHexTextColumn = 53;  // where a line's bytes as text begin
// What a body line shows when the record could not keep the body; a hex line puts its offset label
// before it: "0000 (not kept)".
inline constexpr std::string_view kNotKeptText = "(not kept)";
inline constexpr std::size_t kNotKeptHexWidth = 5 + kNotKeptText.size();

// The same bytes with every byte below 0x20 replaced by "."; 0x7F and 0x80-0xFF stay as they are.
// The result never holds a line break.
std::string PrintableText(const std::string& Data);
// The same, appended to Out.
void AppendPrintableText(const std::string& Data, std::string& Out);

struct THexLine {
  std::string Text;
  std::size_t Count = 0;  // bytes of the block that the line covers
};

// The hex line of the n = min(Remaining, 16) bytes at Offset. Never reads past the end of Data:
// Remaining is cut to what Data holds from Offset on (a line of no bytes when nothing is left).
THexLine FormatHexLine(const std::string& Data, std::size_t Offset, std::size_t Remaining);

// The hex lines of the whole block, in order; none for an empty block.
std::vector<std::string> HexDumpLines(const std::string& Data);
// The same lines appended to Out, each followed by a line feed, without a string for each line:
// for writing dumps of many megabytes.
void AppendHexDump(const std::string& Data, std::string& Out);
