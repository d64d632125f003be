// The arithmetic layout of the log view (picture in uLogLayout.h).
#include "log/uLogLayout.h"

#include <algorithm>

#include "record/LogFormat.h"

namespace {

constexpr std::uint64_t kUnknownTitle = ~std::uint64_t{0};

std::uint64_t CeilDiv(std::uint64_t A, std::uint64_t B) { return A / B + (A % B != 0); }

bool EndsEmpty(const TRecordEntry& E) { return E.Mode == emText && E.BodyLength == 0; }

}  // namespace

TLogLayout::TLogLayout(const TTrafficRecord& Record) : FRecord(Record), FGeneration(Record.Generation()) {}

std::uint64_t TLogLayout::BodyLines(const TRecordEntry& E) const noexcept {
  if (E.Mode == emHex) return CeilDiv(E.BodyLength, kHexBytesPerLine);
  if (FWrap == 0 || E.BodyLength == 0) return 1;
  return CeilDiv(E.BodyLength, FWrap);
}

std::pair<std::uint64_t, std::uint64_t> TLogLayout::BodyLineBytes(const TRecordEntry& E,
                                                                  std::uint64_t Line) const noexcept {
  const std::uint64_t per = E.Mode == emHex ? kHexBytesPerLine : (FWrap == 0 ? E.BodyLength : FWrap);
  const std::uint64_t first = std::min(E.BodyLength, Line * per);
  return {first, std::min(per, E.BodyLength - first)};
}

std::uint64_t TLogLayout::TitleLength(std::uint32_t Title) {
  if (Title >= FTitleLengths.size()) FTitleLengths.resize(std::size_t{Title} + 1, kUnknownTitle);
  if (FTitleLengths[Title] == kUnknownTitle) FTitleLengths[Title] = FRecord.TitleText(Title).size();
  return FTitleLengths[Title];
}

void TLogLayout::Push(std::uint64_t Index, const TRecordEntry& E) {
  const std::uint64_t separator = FLastEndsEmpty ? 0 : 1;
  FStart.push_back(FStart.back() + separator + 1 + BodyLines(E));
  if (FFiltered) FEntries.push_back(Index);
  FLastEndsEmpty = EndsEmpty(E);
  FLongestFixed = std::max(FLongestFixed, FDateTimeWidth + 1 + TitleLength(E.Title));
  if (E.Mode == emHex) {
    if (E.BodyLength > 0) FLongestFixed = std::max(FLongestFixed, kHexTextColumn + std::min(E.BodyLength, kHexBytesPerLine));
  } else if (E.BodyLength > 0) {
    FLongestText = std::max({FLongestText, E.BodyLength, kNotKeptHexWidth});
  }
}

bool TLogLayout::CatchUp() {
  if (FRecord.Generation() != FGeneration) {
    const bool had = LineCount() > 0;
    Reset();
    FGeneration = FRecord.Generation();
    if (had && FRecord.Count() == 0) return true;
  }
  if (FFiltered) return false;
  const std::uint64_t count = FRecord.Count();
  const std::uint64_t before = LineCount();
  TRecordEntry e;
  for (; FTaken < count && FRecord.Entry(FTaken, e); ++FTaken) Push(FTaken, e);
  return LineCount() != before;
}

void TLogLayout::Reset() {
  // A cleared record gives its memory back; so does its index.
  std::vector<std::uint64_t>{0}.swap(FStart);
  std::vector<std::uint64_t>{}.swap(FEntries);
  FFiltered = false;
  FTaken = 0;
  FLastEndsEmpty = true;
  FLongestFixed = 0;
  FLongestText = 0;
  FTitleLengths.clear();  // the title table starts again after a Clear
  FGeneration = FRecord.Generation();
}

void TLogLayout::Rebuild() {
  std::vector<std::uint64_t> entries;
  if (FFiltered) entries.swap(FEntries);
  const bool filtered = FFiltered;
  const std::uint64_t taken = FTaken;
  FStart.assign(1, 0);
  FLastEndsEmpty = true;
  FLongestFixed = 0;
  FLongestText = 0;
  TRecordEntry e;
  if (filtered) {
    for (std::uint64_t index : entries)
      if (FRecord.Entry(index, e)) Push(index, e);
  } else {
    for (std::uint64_t index = 0; index < taken && FRecord.Entry(index, e); ++index) Push(index, e);
  }
}

void TLogLayout::SetWrapColumns(std::uint64_t Columns) {
  if (Columns == FWrap) return;
  FWrap = Columns;
  Rebuild();
}

void TLogLayout::SetVisibleEntries(std::optional<std::vector<std::uint64_t>> Entries) {
  if (FRecord.Generation() != FGeneration) Reset();
  if (!Entries) {
    FFiltered = false;
    FEntries.clear();
    FTaken = std::min(FTaken, FRecord.Count());
    Rebuild();
    CatchUp();
    return;
  }
  // Dropping what is out of order or out of range keeps FEntries ascending, which VisibleOf and
  // AppendVisibleEntries rely on.
  const std::uint64_t count = FRecord.Count();
  std::vector<std::uint64_t> list;
  list.reserve(Entries->size());
  for (std::uint64_t index : *Entries)
    if (index < count && (list.empty() || index > list.back())) list.push_back(index);
  FFiltered = true;
  FEntries.swap(list);
  Rebuild();
}

void TLogLayout::AppendVisibleEntries(const std::vector<std::uint64_t>& Entries) {
  if (!FFiltered) return;
  const std::uint64_t count = FRecord.Count();
  TRecordEntry e;
  for (std::uint64_t index : Entries) {
    if (index >= count || (!FEntries.empty() && index <= FEntries.back())) continue;
    if (FRecord.Entry(index, e)) Push(index, e);
  }
}

std::uint64_t TLogLayout::VisibleOf(std::uint64_t Index) const {
  if (!FFiltered) return std::min(Index, VisibleCount());
  return static_cast<std::uint64_t>(std::lower_bound(FEntries.begin(), FEntries.end(), Index) - FEntries.begin());
}

std::uint64_t TLogLayout::HeaderLine(std::uint64_t Visible) const {
  // The separator is the only line before the header: the lines of the entry less its body.
  TRecordEntry e;
  if (!FRecord.Entry(EntryAt(Visible), e)) return FStart[Visible];
  return FStart[Visible + 1] - 1 - BodyLines(e);
}

TLinePlace TLogLayout::Place(std::uint64_t Line) const {
  TLinePlace place;
  const auto next = std::upper_bound(FStart.begin(), FStart.end(), Line);
  place.Visible = static_cast<std::uint64_t>(next - FStart.begin()) - 1;
  place.Entry = EntryAt(place.Visible);
  TRecordEntry e;
  if (!FRecord.Entry(place.Entry, e)) return place;  // cleared under us: the caller catches up next
  const std::uint64_t header = FStart[place.Visible + 1] - 1 - BodyLines(e);
  if (Line < header) {
    place.Kind = lkSeparator;
  } else if (Line == header) {
    place.Kind = lkHeader;
  } else {
    place.Kind = lkBody;
    place.BodyLine = Line - header - 1;
  }
  return place;
}

std::uint64_t TLogLayout::LongestLine() const noexcept {
  return std::max(FLongestFixed, FWrap == 0 ? FLongestText : std::min(FLongestText, std::max(FWrap, kNotKeptHexWidth)));
}

void TLogLayout::SetDateTimeWidth(std::uint64_t Width) {
  if (Width == FDateTimeWidth) return;
  FDateTimeWidth = Width;
  Rebuild();
}
