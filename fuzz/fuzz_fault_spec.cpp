// The fault rule grammar on any input. What must hold:
//   - a rule that is refused gets one line, not empty, that quotes some of the input or names the
//     rule as empty;
//   - a rule that is taken writes a canonical text that is taken again as the same rule, and whose
//     own canonical text is itself (the canonical form is a fixed point);
//   - the amounts stay within the grammar's limits, and a refusal's probability within 0..1.
// Then a fault set is read from the input's lines, and its text read back gives the same set.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "stream/FaultSpec.h"

namespace {

void Check(bool Holds, const char* What, std::string_view Input) {
  if (Holds) return;
  std::fprintf(stderr, "fuzz_fault_spec: %s for input of %zu bytes\n", What, Input.size());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string_view input(reinterpret_cast<const char*>(Data), Size);
  TFaultSpec rule;
  std::string error;
  if (!ParseFault(input, rule, error)) {
    Check(!error.empty(), "a refusal without a message", input);
    Check(error.find('\n') == std::string::npos || input.find('\n') != std::string_view::npos,
          "a refusal of more than one line", input);
  } else {
    const std::string text = FaultText(rule);
    TFaultSpec again;
    std::string error2;
    Check(ParseFault(text, again, error2), "the canonical text is refused", input);
    Check(again == rule, "the canonical text reads as another rule", input);
    Check(FaultText(again) == text, "the canonical text is not a fixed point", input);
    Check(rule.Millionths <= 1000000, "a probability above 1", input);
    Check(rule.DelayUs >= 0 && rule.DelayUs <= 86400LL * 1000000, "a delay beyond a day", input);
    Check(rule.Kind != fkSlicer || (rule.Size >= 1 && rule.Spread < rule.Size), "a slice that can be empty", input);
    Check(rule.Kind != fkBandwidth || rule.Rate >= 1, "a rate of nothing", input);
    Check(rule.Bit >= 0 && rule.Bit <= 7, "a bit outside the byte", input);
    Check((rule.Kind == fkRefuse) == (rule.Direction == fdListener), "a refusal with a direction", input);
  }
  // The input's lines as a set.
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= input.size(); ++i)
    if (i == input.size() || input[i] == '\n') {
      lines.emplace_back(input.substr(start, i - start));
      start = i + 1;
    }
  TFaultSet set;
  if (set.Parse(lines, error)) {
    std::vector<std::string> written;
    const std::string text = set.Text();
    std::size_t from = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
      if (text[i] == '\n') {
        written.push_back(text.substr(from, i - from));
        from = i + 1;
      }
    TFaultSet again;
    Check(again.Parse(written, error), "a set's text is refused", input);
    Check(again == set, "a set's text reads as another set", input);
  }
  return 0;
}
