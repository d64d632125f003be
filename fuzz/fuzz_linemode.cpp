// Line mode through a real pair of components over loopback: a sender (accepted from a listening
// TWSocket) sends an arbitrary byte stream in arbitrary chunks, waiting for each to be read before
// the next, to a receiver in line mode whose LineEnd, LineEdit, LineEcho and LineLimit, whose
// handler's read sizes and whose answers to OnLineLimitExceeded all come from the input. Then the
// sender closes its side (orderly or with a reset), which makes the receiver offer its last,
// unterminated line.
//
// What must hold, against the reference model of the line rules below:
//   - the lines offered are exactly the model's, in order, and each line holds LineEnd only at its
//     end (the last one at close not at all);
//   - what stays buffered before the close is as long as the model's partial line;
//   - the limit events come with the model's lengths;
//   - the sender gets back exactly the model's echo;
//   - with an empty LineEnd nothing is cut or edited: the handler reads the stream unchanged.
// The model is fed the reads that the receiver actually made from the network (the loop decides
// how the bytes arrive; editing and tab stops depend on it), recorded by a subclass that only
// watches NetRecv.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "SocketTestSupport.h"

using testsupport::PumpUntil;

namespace {

// ---- the scenario, drawn from the input ----

struct TScenario {
  bool Edit = false;
  bool Echo = false;
  std::string LineEnd = "\r\n";
  std::int32_t LineLimit = 65536;
  std::uint32_t ClearPattern = 0;    // bit k % 32: the k-th limit event leaves ClearData True
  std::vector<std::uint8_t> Reads;   // the handler's read sizes in turn; 0: ReceiveText
  std::vector<std::string> Chunks;   // what the sender sends, one chunk at a time
  bool Reset = true;                 // the sender ends with a reset, else with an orderly close
};

TScenario Draw(FuzzedDataProvider& In) {
  TScenario s;
  const auto flags = In.ConsumeIntegral<std::uint8_t>();
  s.Edit = flags & 1;
  s.Echo = flags & 2;
  const bool smallAlphabet = flags & 4;
  switch ((flags >> 3) & 3) {
    case 0: s.LineEnd = "\r\n"; break;
    case 1: s.LineEnd = "\n"; break;
    case 2: s.LineEnd = In.ConsumeBytesAsString(In.ConsumeIntegralInRange<std::size_t>(1, 3)); break;
    default: s.LineEnd = In.ConsumeBytesAsString(In.ConsumeIntegralInRange<std::size_t>(0, 2)); break;
  }
  switch (flags >> 5) {
    case 0: s.LineLimit = 65536; break;
    case 1: s.LineLimit = 0; break;
    case 2: s.LineLimit = -In.ConsumeIntegralInRange<std::int32_t>(1, 100); break;
    default: s.LineLimit = In.ConsumeIntegralInRange<std::int32_t>(1, 64); break;
  }
  s.ClearPattern = In.ConsumeIntegral<std::uint32_t>();
  // An orderly close leaves the sender's side in TIME-WAIT; resets keep a long run from piling up
  // thousands of them.
  s.Reset = In.ConsumeIntegral<std::uint8_t>() % 4 != 0;
  const auto reads = In.ConsumeIntegralInRange<std::size_t>(1, 4);
  for (std::size_t k = 0; k < reads; ++k) s.Reads.push_back(In.ConsumeIntegralInRange<std::uint8_t>(0, 9));

  // Bytes that matter to the rules, and the line end's own bytes, so that they are common.
  std::string alphabet = "ab\r\n\b\t";
  alphabet += s.LineEnd.empty() ? 'c' : s.LineEnd.front();
  alphabet += s.LineEnd.empty() ? '\0' : s.LineEnd.back();
  while (In.remaining_bytes() > 0 && s.Chunks.size() < 40) {
    std::string chunk = In.ConsumeBytesAsString(In.ConsumeIntegralInRange<std::size_t>(1, 48));
    if (chunk.empty()) break;
    if (smallAlphabet)
      for (char& c : chunk) c = alphabet[static_cast<unsigned char>(c) % alphabet.size()];
    s.Chunks.push_back(chunk);
  }
  return s;
}

// ---- the reference: the line rules, applied read by read to a plain string ----

struct TModel {
  const TScenario& S;
  std::string Partial;  // the buffered start of the next line
  std::vector<std::string> Lines;
  std::vector<std::int32_t> LimitEvents;
  std::string Echo;

  explicit TModel(const TScenario& Scenario) : S(Scenario) {}

  // Backspace takes back one byte of the partial line (echoed as back, blank, back when there
  // was one); a tab becomes blanks up to the next multiple of 8 counted from the buffer's start;
  // every other byte is kept and echoed as it is.
  void Edit(const std::string& Read) {
    for (char c : Read) {
      if (c == '\b') {
        if (Partial.empty()) continue;
        if (S.Echo) Echo += "\b \b";
        Partial.pop_back();
      } else if (c == '\t') {
        const std::size_t blanks = 8 - Partial.size() % 8;
        Partial.append(blanks, ' ');
        if (S.Echo) Echo.append(blanks, ' ');
      } else {
        Partial += c;
        if (S.Echo) Echo += c;
      }
    }
  }

  void Read(const std::string& Bytes) {
    if (S.Edit) {
      Edit(Bytes);
    } else {
      Partial += Bytes;
      if (S.Echo) Echo += Bytes;
    }
    for (std::size_t at; (at = Partial.find(S.LineEnd)) != std::string::npos;) {
      Lines.push_back(Partial.substr(0, at + S.LineEnd.size()));
      Partial.erase(0, at + S.LineEnd.size());
    }
    if (S.LineLimit > 0 && Partial.size() > static_cast<std::size_t>(S.LineLimit)) {
      const std::size_t k = LimitEvents.size();
      LimitEvents.push_back(static_cast<std::int32_t>(Partial.size()));
      if ((S.ClearPattern >> (k % 32)) & 1) Partial.clear();
    }
  }

  void Close() {
    if (!Partial.empty()) Lines.push_back(Partial);
    Partial.clear();
  }
};

// ---- the components ----

// A TWSocket that records every read it makes from the network; reads served from the line
// buffer are not recorded.
class TWatchedSocket : public TWSocket {
public:
  using TWSocket::TWSocket;
  ~TWatchedSocket() override { BeforeDestruction(); }

  std::vector<std::string> NetworkReads;
  std::size_t NetworkBytes = 0;

  std::int32_t NetRecv(char* Buffer, std::int32_t BufferSize, std::int32_t Flags) override {
    const bool fromBuffer = LineMode() ? PendingLineLength() > 0 : LineBufferCount() > 0;
    const std::int32_t got = TWSocket::NetRecv(Buffer, BufferSize, Flags);
    if (!fromBuffer && got > 0) {
      NetworkReads.emplace_back(Buffer, static_cast<std::size_t>(got));
      NetworkBytes += static_cast<std::size_t>(got);
    }
    return got;
  }
};

std::string Visible(const std::string& Bytes) {
  std::string out;
  for (unsigned char c : Bytes) {
    char hex[8];
    if (c >= 0x21 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string VisibleList(const std::vector<std::string>& List) {
  std::string out;
  for (const auto& x : List) out += "[" + Visible(x) + "] ";
  return out;
}

[[noreturn]] void Fail(const TScenario& S, const std::string& What, const std::string& Detail) {
  std::fprintf(stderr,
               "fuzz_linemode: %s\n  LineEnd [%s] LineEdit %d LineEcho %d LineLimit %d chunks %zu\n"
               "  %s\n",
               What.c_str(), Visible(S.LineEnd).c_str(), S.Edit, S.Echo, S.LineLimit,
               S.Chunks.size(), Detail.c_str());
  std::abort();
}

TWSocket& Listener() {
  static TWSocket* listener = [] {
    auto* l = new TWSocket(nullptr);
    l->SetAddr("127.0.0.1");
    l->SetPort("0");
    l->Listen();
    return l;
  }();
  return *listener;
}

// What the receiver's handlers saw.
struct TSeen {
  std::vector<std::string> Lines;
  std::string Current;  // the line being read, while it is offered
  std::string Plain;    // everything read with line cutting off
  std::vector<std::int32_t> LimitEvents;
  std::string Echo;     // what the sender got back
  std::size_t ReadTurn = 0;
  bool Closed = false;
  std::string Fault;    // a rule broken inside a handler, reported after the run
};

void Run(const TScenario& S) {
  TWSocket& listener = Listener();
  auto sender = std::make_unique<TWSocket>(nullptr);
  auto receiver = std::make_unique<TWatchedSocket>(nullptr);
  TSeen seen;
  const bool cutting = !S.LineEnd.empty();

  listener.OnSessionAvailable = [&](TComponent*, std::uint16_t) { sender->Dup(listener.Accept()); };
  sender->OnDataAvailable = [&](TComponent*, std::uint16_t) { seen.Echo += sender->ReceiveText(); };

  TWatchedSocket& r = *receiver;
  r.SetLineMode(true);
  r.SetLineEnd(S.LineEnd);
  r.SetLineEdit(S.Edit);
  r.SetLineEcho(S.Echo);
  r.SetLineLimit(S.LineLimit);
  r.OnSessionClosed = [&](TComponent*, std::uint16_t) { seen.Closed = true; };
  r.OnLineLimitExceeded = [&](TComponent*, std::int32_t Length, bool& ClearData) {
    ClearData = (S.ClearPattern >> (seen.LimitEvents.size() % 32)) & 1;
    seen.LimitEvents.push_back(Length);
  };
  r.OnDataAvailable = [&](TComponent*, std::uint16_t) {
    const std::uint8_t size = S.Reads[seen.ReadTurn++ % S.Reads.size()];
    const std::int32_t pending = r.RcvdCount();
    if (cutting && pending <= 0 && seen.Fault.empty()) seen.Fault = "OnDataAvailable outside a line's offer";
    std::string got;
    if (size == 0) {
      got = r.ReceiveText();
    } else {
      got.resize(size);
      const std::int32_t n = r.Receive(got.data(), size);
      got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    if (!cutting) {
      seen.Plain += got;
      return;
    }
    if (got.empty() && seen.Fault.empty()) seen.Fault = "a read inside a line's offer returned nothing";
    if (got.size() > static_cast<std::size_t>(std::max(pending, 0)) && seen.Fault.empty())
      seen.Fault = "a read returned more than RcvdCount";
    seen.Current += got;
    if (r.RcvdCount() == 0) {
      seen.Lines.push_back(seen.Current);
      seen.Current.clear();
    }
  };

  r.SetAddr("127.0.0.1");
  r.SetPort(listener.GetBoundPort());
  r.Connect();
  if (!PumpUntil([&] { return r.State() == wsConnected && sender->State() == wsConnected; }))
    Fail(S, "the pair did not connect", "");

  std::size_t sent = 0;
  for (const auto& chunk : S.Chunks) {
    sender->Send(chunk.data(), static_cast<std::int32_t>(chunk.size()));
    sent += chunk.size();
    if (!PumpUntil([&] { return r.NetworkBytes >= sent; }))
      Fail(S, "a chunk was not read", std::to_string(r.NetworkBytes) + " of " + std::to_string(sent));
  }

  std::string stream;
  for (const auto& chunk : S.Chunks) stream += chunk;
  std::string reads;
  for (const auto& x : r.NetworkReads) reads += x;
  if (reads != stream) Fail(S, "the network reads are not the stream", Visible(reads));

  TModel model(S);
  if (cutting)
    for (const auto& x : r.NetworkReads) model.Read(x);
  if (!PumpUntil([&] { return seen.Echo.size() >= model.Echo.size(); }))
    Fail(S, "echo missing", "got " + Visible(seen.Echo) + " want " + Visible(model.Echo));

  if (!seen.Fault.empty()) Fail(S, seen.Fault, VisibleList(seen.Lines));
  if (seen.Lines != model.Lines)
    Fail(S, "lines differ", "got " + VisibleList(seen.Lines) + "\n  want " + VisibleList(model.Lines));
  if (r.LineBufferCount() != static_cast<std::int32_t>(model.Partial.size()))
    Fail(S, "buffered count differs", std::to_string(r.LineBufferCount()) + " want " +
                                          std::to_string(model.Partial.size()) + " [" + Visible(model.Partial) + "]");
  if (seen.LimitEvents != model.LimitEvents) Fail(S, "limit events differ", "");
  if (seen.Echo != model.Echo) Fail(S, "echo differs", "got " + Visible(seen.Echo) + " want " + Visible(model.Echo));
  for (const auto& line : seen.Lines) {
    const std::size_t at = line.find(S.LineEnd);
    if (at + S.LineEnd.size() != line.size()) Fail(S, "a line holds LineEnd before its end", Visible(line));
  }
  if (!cutting) {
    if (!seen.Lines.empty() || r.LineBufferCount() != 0) Fail(S, "lines cut with an empty LineEnd", "");
    if (seen.Plain != stream) Fail(S, "plain reads are not the stream", Visible(seen.Plain));
  }

  // The close: the partial line, if any, comes as a last line of its own.
  const std::size_t before = seen.Lines.size();
  if (S.Reset)
    sender->CloseAndNotify(false, 0);  // linger on with time 0, as Dup set it: a reset
  else
    sender->Shutdown(1);
  if (!PumpUntil([&] { return seen.Closed; })) Fail(S, "the receiver did not see the close", "");
  model.Close();
  if (!seen.Fault.empty()) Fail(S, seen.Fault, VisibleList(seen.Lines));
  if (seen.Lines != model.Lines)
    Fail(S, "lines after the close differ", "got " + VisibleList(seen.Lines) + "\n  want " + VisibleList(model.Lines));
  for (std::size_t k = before; k < seen.Lines.size(); ++k)
    if (seen.Lines[k].find(S.LineEnd) != std::string::npos && cutting)
      Fail(S, "the last line holds LineEnd", Visible(seen.Lines[k]));
  if (!seen.Current.empty()) Fail(S, "a line was left half read", Visible(seen.Current));
  if (!cutting && seen.Plain != stream) Fail(S, "plain reads after the close differ", Visible(seen.Plain));

  listener.OnSessionAvailable = nullptr;
  receiver.reset();
  sender.reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  FuzzedDataProvider in(Data, Size);
  const TScenario scenario = Draw(in);
  Run(scenario);
  return 0;
}
