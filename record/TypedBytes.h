// Public. Bytes as a user types them to send into a session or to edit a held chunk: text with
// escapes, or hex. The checks give one line that says where and what is wrong, so that a field
// can show it and send nothing. No toolkit here.
#pragma once

#include <string>
#include <string_view>

#include "record/RecordSearch.h"

// Text: every character stands for its own bytes (UTF-8, as typed), except the escapes
//   \r  \n  \t  carriage return, line feed, tab
//   \xNN        the byte NN (exactly two hex digits, either case)
//   \\          a backslash
// Any other backslash, or one at the end, is an error, such as
//   column 7: unknown escape \q (write \\ for a backslash)
// Columns count bytes of Text from 1.
bool ParseEscapedText(std::string_view Text, std::string& Out, std::string& Error);

// Hex: ParseHexBytes of the search (RecordSearch.h), which reads "0d0a47" and "0d 0a 47" alike.

// The inverse, for an editor that shows bytes: text with the same escapes (printable ASCII as it
// is; \r \n \t; \\ for a backslash; \xNN for anything else), and hex as pairs separated by spaces.
// Each parses back to exactly Bytes.
std::string EscapedText(std::string_view Bytes);
std::string HexText(std::string_view Bytes);
