// The log's body formatting: PrintableText, FormatHexLine and HexDumpLines. For arbitrary bytes,
// offsets and remaining counts it checks the lengths and every column of the layout, and reads the
// bytes back from the hex columns: a dump is only useful if it gives back exactly the block.
//
// Input: eight bytes of offset, eight of remaining count, one repeat count, then the block. The
// block is repeated up to 255 times behind itself, so that dumps past 65536 bytes (where the
// offset labels wrap) come up without huge inputs.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "record/LogFormat.h"

namespace {

constexpr std::size_t kTextColumn = 53;

[[noreturn]] void Fail(const char* What, std::size_t Where, const std::string& Line) {
  std::fprintf(stderr, "fuzz_hexdump: %s (at %zu) in line \"%s\"\n", What, Where, Line.c_str());
  std::abort();
}

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;  // lower case is not a hex digit of the dump
}

char Shown(char C) { return static_cast<unsigned char>(C) < 0x20 ? '.' : C; }

// Checks one hex line that claims to cover Data[Offset, Offset + Count) and returns the bytes
// read back from its hex columns.
std::string CheckHexLine(const std::string& Line, const std::string& Data, std::size_t Offset,
                         std::size_t Count) {
  if (Count > 16) Fail("covers more than 16 bytes", Count, Line);
  if (Line.size() != kTextColumn + Count) Fail("length is not 53 + n", Line.size(), Line);

  std::size_t label = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const int v = HexValue(Line[k]);
    if (v < 0) Fail("offset label is not upper-case hex", k, Line);
    label = label * 16 + static_cast<std::size_t>(v);
  }
  if (label != (Offset & 0xFFFF)) Fail("offset label is not the offset modulo 65536", 0, Line);
  if (Line[4] != ' ') Fail("no blank after the label", 4, Line);

  std::string bytes;
  for (std::size_t j = 0; j < Count; ++j) {
    const int hi = HexValue(Line[5 + 3 * j]);
    const int lo = HexValue(Line[6 + 3 * j]);
    if (hi < 0 || lo < 0) Fail("byte column is not upper-case hex", 5 + 3 * j, Line);
    bytes += static_cast<char>(hi * 16 + lo);
    const char separator = Line[7 + 3 * j];
    if (separator != (j == 7 ? '-' : ' ')) Fail("wrong separator after a byte", 7 + 3 * j, Line);
  }
  for (std::size_t c = 5 + 3 * Count; c < kTextColumn; ++c)
    if (Line[c] != ' ') Fail("no blank between the last byte and the text", c, Line);
  for (std::size_t j = 0; j < Count; ++j)
    if (Line[kTextColumn + j] != Shown(Data[Offset + j])) Fail("text column differs", kTextColumn + j, Line);
  if (Count > 0 && bytes != Data.substr(Offset, Count)) Fail("hex columns do not give back the bytes", Offset, Line);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  FuzzedDataProvider in(Data, Size);
  const auto offset = in.ConsumeIntegral<std::size_t>();
  const auto remaining = in.ConsumeIntegral<std::size_t>();
  const auto repeat = in.ConsumeIntegral<std::uint8_t>();
  const std::string unit = in.ConsumeRemainingBytesAsString();
  std::string block = unit;
  for (unsigned r = 0; r < repeat && !unit.empty() && block.size() < (1u << 20); ++r) block += unit;

  // PrintableText: the same length, control bytes as dots, everything else (0x7F and 0x80 up too)
  // unchanged, and so never a line break.
  const std::string text = PrintableText(block);
  if (text.size() != block.size()) Fail("PrintableText changes the length", text.size(), "");
  for (std::size_t k = 0; k < block.size(); ++k)
    if (text[k] != Shown(block[k])) Fail("PrintableText byte differs", k, "");

  // HexDumpLines: ceil(n / 16) lines, each the line of its 16-byte slice, together the block.
  const std::vector<std::string> lines = HexDumpLines(block);
  if (lines.size() != (block.size() + 15) / 16) Fail("wrong number of hex lines", lines.size(), "");
  std::string back;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const std::size_t at = 16 * k;
    const std::size_t count = std::min<std::size_t>(16, block.size() - at);
    back += CheckHexLine(lines[k], block, at, count);
    if (lines[k] != FormatHexLine(block, at, block.size() - at).Text)
      Fail("HexDumpLines and FormatHexLine disagree", at, lines[k]);
  }
  if (back != block) Fail("the dump does not give back the block", back.size(), "");

  // FormatHexLine at any offset and remaining count covers n = min(remaining, 16, what is left):
  // never a byte past the end, whatever the caller asks for. Offsets near the block's end and
  // far past it (up to the largest size_t) both come up.
  for (const std::size_t at : {block.empty() ? offset % 4 : offset % (block.size() + 20), offset}) {
    const std::size_t left = at < block.size() ? block.size() - at : 0;
    const std::size_t want = std::min<std::size_t>({remaining, 16, left});
    const THexLine line = FormatHexLine(block, at, remaining);
    if (line.Count != want) Fail("FormatHexLine covers the wrong count", line.Count, line.Text);
    CheckHexLine(line.Text, block, at, line.Count);
  }
  return 0;
}
