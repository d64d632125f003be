// The log's text, as copied and as saved.
#include "record/LogText.h"

#include <QDateTime>

#include "record/AnsiText.h"
#include "record/DateTimeText.h"
#include "record/LogFormat.h"

namespace {


void AppendHexLabel(std::uint64_t First, std::string& Out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const std::uint64_t label = First & 0xFFFF;
  for (int digit = 3; digit >= 0; --digit) Out += kDigits[(label >> (4 * digit)) & 0xF];
}

}  // namespace

void TLogText::Reset() {
  FAny = false;
  FLastEndsEmpty = true;
}

void TLogText::Append(const TRecordEntry& E, std::string_view Title, const std::string* Body, std::string& Out) {
  if (FAny) Out += '\n';
  if (!FLastEndsEmpty) Out += '\n';  // the empty line between entries
  // The date text changes once a second; building it for every entry would cost more than the
  // entry itself when many small ones are written.
  const std::int64_t second = E.TimeUs >= 0 ? E.TimeUs / 1000000 : (E.TimeUs - 999999) / 1000000;
  if (second != FDateSecond) {
    FDateSecond = second;
    FDateText = DateTimeText(QDateTime::fromMSecsSinceEpoch(second * 1000)).toStdString();
  }
  Out += FDateText;
  Out += ' ';
  // The title goes through PrintableText too: a line break in it would split the header line.
  AppendAnsiUtf8(PrintableText(std::string(Title)), Out);
  const bool kept = Body != nullptr && Body->size() == E.BodyLength;
  if (E.Mode == emText) {
    Out += '\n';
    if (kept) {
      FLines.clear();
      AppendPrintableText(*Body, FLines);
      AppendAnsiUtf8(FLines, Out);
    } else if (E.BodyLength > 0) {
      Out += kNotKeptText;
    }
  } else if (kept) {
    FLines.clear();
    AppendHexDump(*Body, FLines);
    if (!FLines.empty()) {
      FLines.pop_back();  // the dump's last line end: the next entry puts its own
      Out += '\n';
      AppendAnsiUtf8(FLines, Out);
    }
  } else {
    for (std::uint64_t first = 0; first < E.BodyLength; first += kHexBytesPerLine) {
      Out += '\n';
      AppendHexLabel(first, Out);
      Out += ' ';
      Out += kNotKeptText;
    }
  }
  FAny = true;
  FLastEndsEmpty = E.Mode == emText && E.BodyLength == 0;
}

void TLogText::AppendLine(const TRecordEntry& E, std::string_view Title, const std::string* Body, std::string& Out) {
  FAny = false;  // the line end that joins it to the entry before went out with that entry
  Append(E, Title, Body, Out);
  Out += '\n';
}

std::string RecordText(const TTrafficRecord& Record) {
  TLogText text;
  std::string out, body;
  TRecordEntry e;
  for (std::uint64_t i = 0; Record.Entry(i, e); ++i) {
    body.clear();
    const bool kept = e.BodyKept && Record.ReadBody(i, 0, e.BodyLength, body) && body.size() == e.BodyLength;
    text.Append(e, Record.TitleText(e.Title), kept ? &body : nullptr, out);
  }
  return out;
}
