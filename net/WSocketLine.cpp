// TCustomLineWSocket: line mode. The component reads what waits into its line buffer, cuts it at
// LineEnd and offers each complete line, line end included, through OnDataAvailable; during that
// call RcvdCount is the unread length of the line and reads return exactly the line.
//
//   FLineBuffer:  [ taken | line being offered | bytes after it ... ][0]
//                          ^ read part ^ unread part                ^ FLineBufferCount
//                          ^ FLineBufferStart (LineData())
//
// Outside an offer the buffer holds the start of the next line and no complete LineEnd.
// Handlers can close the socket under a running loop (an echo that finds the connection gone, a
// handler that closes in place); the close releases the buffer, so every step that may run user
// code checks FLineBuffer before it touches the buffer again.
#include <algorithm>
#include <cstring>
#include <string>

#include "net/WSocket.h"
#include "platform/MessageLoop.h"

using namespace platform;

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner) {}

TCustomLineWSocket::~TCustomLineWSocket() {
  BeforeDestruction();
  ReleaseLineBuffer();
}

// Reallocates to exactly Size bytes; the held bytes and their zero byte move to the front.
void TCustomLineWSocket::GrowLineBuffer(std::int32_t Size) {
  auto bigger = std::make_unique<char[]>(static_cast<std::size_t>(Size));
  if (FLineBuffer)
    std::memcpy(bigger.get(), LineData(), static_cast<std::size_t>(FLineBufferCount) + 1);
  else
    bigger[0] = 0;
  FLineBuffer = std::move(bigger);
  FLineBufferSize = Size;
  FLineBufferStart = 0;
}

// Moves the held bytes and their zero byte to the front, once per read rather than once per line.
void TCustomLineWSocket::CompactLineBuffer() {
  if (!FLineBuffer || FLineBufferStart == 0) return;
  std::memmove(FLineBuffer.get(), LineData(), static_cast<std::size_t>(FLineBufferCount) + 1);
  FLineBufferStart = 0;
}

void TCustomLineWSocket::ReleaseLineBuffer() {
  FLineBuffer.reset();
  FLineBufferSize = 0;
  FLineBufferStart = 0;
  FLineBufferCount = 0;
  FPendingLineLength = 0;
  FLineOfferLength = 0;
}

// Takes Count bytes off the front. The bytes behind them stay where they are (the zero byte after
// them too) until the next compaction.
void TCustomLineWSocket::RemoveFromLineBuffer(std::int32_t Count) {
  Count = std::clamp(Count, 0, FLineBufferCount);
  FLineBufferStart += Count;
  FLineBufferCount -= Count;
  if (FLineBufferCount == 0) {
    FLineBufferStart = 0;
    FLineBuffer[0] = 0;
  }
}

// Ends an offer that did not run to its end: the read part of the line goes, its unread rest and
// the bytes behind it stay at the front, in that order, to be read as plain data.
void TCustomLineWSocket::EndLineOffer() {
  if (FLineOfferLength > 0 && FLineBuffer) RemoveFromLineBuffer(FLineOfferLength - FPendingLineLength);
  FPendingLineLength = 0;
  FLineOfferLength = 0;
}

// With LineMode off, bytes still in the buffer are what the next read returns (NetRecv serves them
// before the network), so they are what RcvdCount reports; this also keeps a read of them working
// after the socket itself has closed.
std::int32_t TCustomLineWSocket::RcvdCount() {
  if (FLineMode) return FPendingLineLength;
  if (FLineBufferCount > 0) return FLineBufferCount;
  return TCustomSocksWSocket::RcvdCount();
}

std::int32_t TCustomLineWSocket::NetRecv(char* Buffer, std::int32_t BufferSize, std::int32_t Flags) {
  if (FLineMode && FPendingLineLength > 0) {
    std::int32_t n = std::clamp(BufferSize, 0, FPendingLineLength);
    std::memcpy(Buffer, LineData() + (FLineOfferLength - FPendingLineLength),
                static_cast<std::size_t>(n));
    FPendingLineLength -= n;
    return n;
  }
  if (!FLineMode && FLineBufferCount > 0) {
    std::int32_t n = std::clamp(BufferSize, 0, FLineBufferCount);
    std::memcpy(Buffer, LineData(), static_cast<std::size_t>(n));
    RemoveFromLineBuffer(n);
    return n;
  }
  return TCustomSocksWSocket::NetRecv(Buffer, BufferSize, Flags);
}

bool TCustomLineWSocket::NotifyDataAvailable(std::uint16_t Error) {
  // While a SOCKS negotiation runs, the bytes that arrive are its replies, not lines.
  if (!FLineMode || FLineEnd.empty() || FSocksPhase != spRelaying)
    return TCustomSocksWSocket::NotifyDataAvailable(Error);

  std::int32_t n = TCustomSocksWSocket::RcvdCount();
  if (n < 0) return true;
  if (n == 0) n = 255;
  CompactLineBuffer();
  if (FLineBufferSize < FLineBufferCount + n + 1) GrowLineBuffer(FLineBufferCount + n + 1);
  std::int32_t got = Receive(LineData() + FLineBufferCount, n);
  if (got <= 0 || !FLineBuffer) return true;
  LineData()[FLineBufferCount + got] = 0;

  if (FLineEdit) {
    ApplyLineEdit(got);
  } else if (FLineEcho) {
    Send(LineData() + FLineBufferCount, got);
  }
  if (!FLineBuffer) return true;  // an echo found the connection gone

  std::int32_t searchStart = std::max<std::int32_t>(0, FLineBufferCount - static_cast<std::int32_t>(FLineEnd.size()));
  FLineBufferCount += got;
  OfferBufferedLines(searchStart);
  return true;
}

bool TCustomLineWSocket::MoreLinesBuffered() const {
  if (!FLineMode || !FLineBuffer || FLineEnd.empty()) return false;
  const char* begin = LineData() + FLineOfferLength;
  const char* end = LineData() + FLineBufferCount;
  return begin < end && std::search(begin, end, FLineEnd.begin(), FLineEnd.end()) != end;
}

std::string TCustomLineWSocket::TakePartialLine() {
  if (!FLineBuffer || FLineOfferLength > 0 || FLineBufferCount == 0) return std::string();
  // The longest start of LineEnd that ends the buffer (no whole LineEnd is left outside an offer).
  std::int32_t keep = std::min(static_cast<std::int32_t>(FLineEnd.size()) - 1, FLineBufferCount);
  while (keep > 0 && std::memcmp(LineData() + FLineBufferCount - keep, FLineEnd.data(), static_cast<std::size_t>(keep)) != 0)
    --keep;
  const std::int32_t n = FLineBufferCount - std::max(keep, 0);
  std::string taken(LineData(), static_cast<std::size_t>(n));
  RemoveFromLineBuffer(n);
  return taken;
}

// Offers every complete line in the buffer, looking for LineEnd from SearchStart on, then applies
// the line limit to what is left.
void TCustomLineWSocket::OfferBufferedLines(std::int32_t SearchStart) {
  while (FLineMode && FLineBuffer && !FLineEnd.empty()) {
    const auto endLen = static_cast<std::int32_t>(FLineEnd.size());
    const char* begin = LineData();
    const char* found = std::search(begin + SearchStart, begin + FLineBufferCount, FLineEnd.begin(),
                                    FLineEnd.end());
    if (found == begin + FLineBufferCount) break;
    const auto i = static_cast<std::int32_t>(found - begin);

    FLineOfferLength = i + endLen;
    FPendingLineLength = FLineOfferLength;
    while (FLineMode && FPendingLineLength > 0) {
      if (!TCustomSocksWSocket::NotifyDataAvailable(0)) FPendingLineLength = 0;  // nobody reads: dropped
      if (!FLineBuffer) return;  // closed in place; the close offered and released the rest
    }
    if (FPendingLineLength == 0) {
      RemoveFromLineBuffer(FLineOfferLength);
      FLineOfferLength = 0;
    } else {
      EndLineOffer();  // LineMode went off before the line was read whole
    }
    SearchStart = 0;
  }
  if (!FLineMode || !FLineBuffer) return;

  if (FLineLimit > 0 && FLineBufferCount > FLineLimit) {
    FLimitClearFlag = true;
    NotifyLineLimitExceeded(FLineBufferCount, FLimitClearFlag);
    if (!FLineBuffer) {
      FLimitClearFlag = false;
      return;
    }
    if (FLimitClearFlag) {
      FPendingLineLength = 0;
      FLineBufferCount = 0;
      LineData()[0] = 0;
      FLimitClearFlag = false;
    }
  }
}

void TCustomLineWSocket::StartTls(std::unique_ptr<TTlsEngine> Engine, std::string_view Initial) {
  // Bytes read into the buffer behind the line on offer (all of them outside an offer) came after
  // the switch: they are the first ciphertext, behind what the caller gives.
  if (!Engine || !TlsStartRefusal().empty() || !FLineBuffer || FLineBufferCount <= FLineOfferLength) {
    TCustomSocksWSocket::StartTls(std::move(Engine), Initial);
    return;
  }
  std::string early(Initial);
  early.append(LineData() + FLineOfferLength, static_cast<std::size_t>(FLineBufferCount - FLineOfferLength));
  FLineBufferCount = FLineOfferLength;
  LineData()[FLineBufferCount] = 0;
  TCustomSocksWSocket::StartTls(std::move(Engine), early);
}

void TCustomLineWSocket::NotifyLineLimitExceeded(std::int32_t RcvdLength, bool& ClearData) {
  THandlerScope running(*this);
  if (OnLineLimitExceeded) OnLineLimitExceeded(this, RcvdLength, ClearData);
}

void TCustomLineWSocket::SetLineMode(bool Value) {
  if (Value == FLineMode) return;
  FLineMode = Value;
  if (FLineBufferCount > 0 || FPendingLineLength > 0)
    PostMessage(FNotifyWindow, MsgLineModeData, 0, 0);
}

void TCustomLineWSocket::ApplyLineEdit(std::int32_t& Count) {
  const std::int32_t start = FLineBufferCount;
  std::int32_t dst = start;
  std::int32_t low = start;
  std::string copy;  // the edited line, made at the first backspace or tab
  bool editing = false;

  for (std::int32_t k = 0; k < Count; ++k) {
    const char c = LineData()[start + k];
    if ((c == '\b' || c == '\t') && !editing) {
      copy.assign(LineData(), static_cast<std::size_t>(dst));
      editing = true;
    }
    if (c == '\b') {
      if (FLineEcho && dst > 0) SendText(std::string("\b \b", 3));
      if (dst > 0) {
        --dst;
        low = std::min(low, dst);
        copy.resize(static_cast<std::size_t>(dst));
      }
    } else if (c == '\t') {
      std::int32_t blanks = 8 - dst % 8;
      for (std::int32_t b = 0; b < blanks && FLineBuffer; ++b) {
        if (FLineEcho) SendText(" ");
        copy.push_back(' ');
        ++dst;
      }
    } else {
      if (FLineEcho) Send(&c, 1);
      if (editing) copy.push_back(c);
      ++dst;
    }
    if (!FLineBuffer) {  // an echo found the connection gone
      Count = 0;
      return;
    }
  }
  if (!editing) return;
  CompactLineBuffer();
  if (FLineBufferSize <= dst) GrowLineBuffer(dst + 1);
  std::memcpy(LineData(), copy.data(), static_cast<std::size_t>(dst));
  LineData()[dst] = 0;
  FLineBufferCount = low;
  Count = dst - low;
}

void TCustomLineWSocket::NotifySessionClosed(std::uint16_t Error) {
  OfferRestAtEnd();
  TCustomSocksWSocket::NotifySessionClosed(Error);
}

// The peer's end of stream on a half-open session: nothing more will arrive, so the rest is
// offered now, as at a close.
void TCustomLineWSocket::NotifyPeerShutdown(std::uint16_t Error) {
  OfferRestAtEnd();
  TCustomSocksWSocket::NotifyPeerShutdown(Error);
}

// Offers what the line buffer still holds when no more data can come, then releases the buffer.
void TCustomLineWSocket::OfferRestAtEnd() {
  if (FLineBuffer) {
    // A close inside a running offer: only what the handler has not read yet is offered again.
    if (FLineOfferLength > 0) EndLineOffer();
    if (FLineMode && FLineBufferCount > 0 && !FLimitClearFlag) {
      // The last, unterminated line is offered as a line of its own, without a line end.
      FLineOfferLength = FLineBufferCount;
      FPendingLineLength = FLineBufferCount;
      while (FLineMode && FPendingLineLength > 0 && FLineBuffer) {
        if (!TCustomSocksWSocket::NotifyDataAvailable(0)) FPendingLineLength = 0;
      }
      if (FLineBuffer) EndLineOffer();
    }
    if (!FLineMode && !FLimitClearFlag) OfferPlainBufferedData();
    ReleaseLineBuffer();
  }
}

// Bytes left in the buffer while LineMode is off are handed to a handler that still reads them,
// rather than released unseen.
void TCustomLineWSocket::OfferPlainBufferedData() {
  for (int rounds = 0; FLineBuffer && FLineBufferCount > 0 && rounds < 1 << 20; ++rounds) {
    std::int32_t before = FLineBufferCount;
    if (!TCustomSocksWSocket::NotifyDataAvailable(0)) return;
    if (!FLineBuffer || FLineBufferCount == before) return;  // the handler stopped reading
  }
}

void TCustomLineWSocket::HandleNotifyMessage(TMessage& Msg) {
  if (Msg.Msg != MsgLineModeData) {
    TCustomSocksWSocket::HandleNotifyMessage(Msg);
    return;
  }
  try {
    MsgLineModeDataHandler();
  } catch (Exception& E) {
    OfferBackgroundException(E);
  }
}

// LineMode was switched while bytes were buffered. Switched on: the complete lines already
// buffered are offered at once; a partial line waits for more data. Switched off: the buffered
// bytes are offered as plain data while a handler reads them; with no handler they are dropped.
void TCustomLineWSocket::MsgLineModeDataHandler() {
  if (FLineMode) {
    if (FLineBuffer && FLineBufferCount > 0 && FPendingLineLength == 0) OfferBufferedLines(0);
    return;
  }
  if (FLineOfferLength > 0) EndLineOffer();
  while (FLineBuffer && FLineBufferCount > 0 && !FLineMode) {
    std::int32_t before = FLineBufferCount;
    if (!TCustomSocksWSocket::NotifyDataAvailable(0)) {
      FLineBufferCount = 0;
      LineData()[0] = 0;
      return;
    }
    if (!FLineBuffer || FLineBufferCount == before) return;  // the rest waits for the next read
  }
  if (FLineMode && FLineBuffer && FLineBufferCount > 0) OfferBufferedLines(0);
}
