// Public. Bytes as the log view shows them: the Western code page (Windows-1252), one character per
// byte, so that a hex line keeps its 53 + n columns. Its five unassigned bytes (0x81, 0x8D, 0x8F,
// 0x90, 0x9D) show as U+FFFD, a visible stand-in. Bytes below 0x80 map to the same code point.
#pragma once

#include <QString>

#include <string>

QString AnsiText(const std::string& Bytes);
// The other way: the bytes that show as Text, appended to Out. False at the first character that
// no byte shows as (the stand-in U+FFFD included); Out then holds the bytes before it.
bool AnsiBytes(const QString& Text, std::string& Out);
// The same characters encoded in UTF-8, appended to Out: for text written to a file or a terminal.
void AppendAnsiUtf8(const std::string& Bytes, std::string& Out);
