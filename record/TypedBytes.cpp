// Typed bytes: the escapes of the text form, both ways, and the hex form written out.
#include "record/TypedBytes.h"

namespace {

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

std::string Column(std::size_t Index) { return "column " + std::to_string(Index + 1) + ": "; }

// A character of an error message: printable as itself, anything else as \xNN.
std::string Shown(char C) {
  const unsigned char u = static_cast<unsigned char>(C);
  if (u >= 0x20 && u < 0x7F) return std::string(1, C);
  const char* digits = "0123456789ABCDEF";
  return std::string("\\x") + digits[u >> 4] + digits[u & 15];
}

}  // namespace

bool ParseEscapedText(std::string_view Text, std::string& Out, std::string& Error) {
  std::string bytes;
  bytes.reserve(Text.size());
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    if (c != '\\') {
      bytes += c;
      continue;
    }
    if (i + 1 == Text.size()) {
      Error = Column(i) + "a backslash at the end escapes nothing (write \\\\ for a backslash)";
      return false;
    }
    const char e = Text[++i];
    switch (e) {
      case 'r': bytes += '\r'; break;
      case 'n': bytes += '\n'; break;
      case 't': bytes += '\t'; break;
      case '\\': bytes += '\\'; break;
      case 'x': {
        const int high = i + 1 < Text.size() ? HexValue(Text[i + 1]) : -1;
        const int low = i + 2 < Text.size() ? HexValue(Text[i + 2]) : -1;
        if (high < 0 || low < 0) {
          Error = Column(i - 1) + "\\x takes two hex digits, as in \\x0D";
          return false;
        }
        bytes += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default:
        Error = Column(i - 1) + "unknown escape \\" + Shown(e) + " (write \\\\ for a backslash)";
        return false;
    }
  }
  Out = std::move(bytes);
  return true;
}

std::string EscapedText(std::string_view Bytes) {
  const char* digits = "0123456789ABCDEF";
  std::string text;
  text.reserve(Bytes.size());
  for (char c : Bytes) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\r') text += "\\r";
    else if (c == '\n') text += "\\n";
    else if (c == '\t') text += "\\t";
    else if (c == '\\') text += "\\\\";
    else if (u >= 0x20 && u < 0x7F) text += c;
    else text += std::string("\\x") + digits[u >> 4] + digits[u & 15];
  }
  return text;
}

std::string HexText(std::string_view Bytes) {
  const char* digits = "0123456789ABCDEF";
  std::string text;
  text.reserve(Bytes.size() * 3);
  for (std::size_t i = 0; i < Bytes.size(); ++i) {
    if (i > 0) text += ' ';
    const unsigned char u = static_cast<unsigned char>(Bytes[i]);
    text += digits[u >> 4];
    text += digits[u & 15];
  }
  return text;
}
