// TCustomSocksWSocket: the replies of the negotiation. While a phase awaits a reply, every
// data-available notification is taken here: the bytes are collected in ReplyBuffer until the
// reply is complete, a wrong byte fails at once, and a granted request hands the socket to the
// application.
//
//   ReplyBuffer after a SOCKS 5 connect reply that came with data:
//   [ 5 | 0 | 0 | type | bound address and port | data ... ][ free ]
//     ^ 0                                         ^ Position  ^ Position + Count
//                                                  \_ the surplus, read before the network
#include <string>

#include "net/WSocket.h"

namespace {

constexpr std::int32_t kReplyLimit = TCustomSocksWSocket::kSocksBufferSize - 1;

struct TReplyFailure {
  std::int32_t Code;
  std::string Text;
};

TReplyFailure Socks5ReplyFailure(std::uint8_t ReplyCode) {
  switch (ReplyCode) {
    case 1: return {20004, "general SOCKS server failure"};
    case 2: return {20005, "connection not allowed by ruleset"};
    case 3: return {20006, "network unreachable"};
    case 4: return {20007, "host unreachable"};
    case 5: return {20008, "connection refused"};
    case 6: return {20009, "time to live expired"};
    case 7: return {20010, "command not supported"};
    case 8: return {20011, "address type not supported"};
    default: return {20012, "unassigned error #" + std::to_string(ReplyCode)};
  }
}

TReplyFailure Socks4ReplyFailure(std::uint8_t Result) {
  switch (Result) {
    case 91: return {20016, "request rejected or failed"};
    case 92: return {20008, "connection refused"};
    case 93: return {20015, "authentification failed"};
    default: return {20012, "unassigned error #" + std::to_string(Result)};
  }
}

}  // namespace

// The result tells the receive loop whether the data was taken.
bool TCustomSocksWSocket::NotifyDataAvailable(std::uint16_t Error) {
  if (FSocksPhase == spRelaying) return OfferToApplication(Error);
  if (Error != 0) {
    SocksFailure(Error, "data receive error");
    return false;
  }
  switch (FSocksPhase) {
    case spAwaitMethod:
      ReceiveMethodReply();
      return true;
    case spAwaitAuth:
      ReceiveAuthReply();
      return true;
    case spAwaitConnect:
      return SocksState().Level == "5" ? ReceiveSocks5Reply() : ReceiveSocks4Reply();
    default:
      SocksFailure(20013, "internal error");
      return false;
  }
}

// The surplus lies here, not in the network, so no notification comes for what a handler leaves
// of it: it is offered again for as long as the handler keeps taking some. Each round takes at
// least one byte, so this ends.
bool TCustomSocksWSocket::OfferToApplication(std::uint16_t Error) {
  std::int32_t Before = FSocksSurplus.Count;
  bool Taken = TCustomWSocket::NotifyDataAvailable(Error);
  while (Taken && FSocksSurplus.Count > 0 && FSocksSurplus.Count < Before) {
    Before = FSocksSurplus.Count;
    Taken = TCustomWSocket::NotifyDataAvailable(0);
  }
  return Taken;
}

// Reads what waits, at most up to Limit bytes held; false when the read failed (nothing waiting,
// or an error that the receive loop finds in LastError) and the step ends.
bool TCustomSocksWSocket::ReadReply(std::int32_t Limit) {
  const std::int32_t n = Receive(Socks().ReplyBuffer.data() + FReplyCount, Limit - FReplyCount);
  if (n < 0) return false;
  FReplyCount += n;
  return true;
}

void TCustomSocksWSocket::ReceiveMethodReply() {
  if (!ReadReply(kReplyLimit)) return;
  if (SocksState().Level != "5") {
    SocksFailure(20001, "TWSocket logic error");
    return;
  }
  if (FReplyCount < 2) return;
  FReplyCount = 0;
  if (Socks().ReplyBuffer[0] != 5) {
    SocksFailure(20002, "socks version error");
    return;
  }
  switch (Socks().ReplyBuffer[1]) {
    case 0:
      if (FOfferedAuthMethod != 0) {
        NotifySocksAuthState(sasNotNeeded);
        if (SessionEnded(spAwaitMethod)) return;
      }
      SendConnectRequest();
      return;
    case 2:
      SendAuthRequest();  // even when only method 0 was offered
      return;
    default:
      SocksFailure(20003, "authentification method not acceptable");
      return;
  }
}

void TCustomSocksWSocket::ReceiveAuthReply() {
  if (!ReadReply(kReplyLimit)) return;
  if (FReplyCount >= 1 && Socks().ReplyBuffer[0] != 1) {
    SocksFailure(20002, "socks version error");
    return;
  }
  if (FReplyCount > 2) {
    SocksFailure(20001, "too much data availaible");
    return;
  }
  if (FReplyCount < 2) return;
  if (Socks().ReplyBuffer[1] != 0) {
    SocksFailure(20015, "socks authentication failed");
    return;
  }
  FReplyCount = 0;
  NotifySocksAuthState(sasAccepted);
  if (SessionEnded(spAwaitAuth)) return;
  SendConnectRequest();
}

// Reads no more than the 8-byte reply: what follows it stays in the network for the application.
bool TCustomSocksWSocket::ReceiveSocks4Reply() {
  if (!ReadReply(8) || FReplyCount < 8) return true;
  FReplyCount = 0;
  if (Socks().ReplyBuffer[0] != 0) {
    SocksFailure(20002, "socks version error");
    return true;
  }
  if (Socks().ReplyBuffer[1] == 90) {
    FSocksPhase = spRelaying;
    return OfferAfterGrant();
  }
  const TReplyFailure Failure = Socks4ReplyFailure(Socks().ReplyBuffer[1]);
  SocksFailure(Failure.Code, Failure.Text);
  return true;
}

bool TCustomSocksWSocket::ReceiveSocks5Reply() {
  if (!ReadReply(kReplyLimit)) return true;
  if (FReplyCount >= 1 && Socks().ReplyBuffer[0] != 5) {
    SocksFailure(20002, "socks version error");
    return true;
  }
  if (FReplyCount >= 2 && Socks().ReplyBuffer[1] != 0) {
    const TReplyFailure Failure = Socks5ReplyFailure(Socks().ReplyBuffer[1]);
    SocksFailure(Failure.Code, Failure.Text);
    return true;
  }
  if (FReplyCount < 5) return true;
  const std::uint8_t AddressType = Socks().ReplyBuffer[3];
  // Bound address: IPv4 (type 1, 4 bytes), a name (type 3, a length byte and the name) or IPv6
  // (type 4, 16 bytes, what a server answers to an IPv6 destination).
  const std::int32_t Length = AddressType == 1   ? 10
                              : AddressType == 3 ? Socks().ReplyBuffer[4] + 7
                              : AddressType == 4 ? 22
                                                 : 5;
  // A bound name too long for ReplyBuffer could never be held whole: waiting for it would read
  // nothing while its bytes wait, again and again.
  if (Length > kReplyLimit) {
    SocksFailure(20011, "bound address too long");
    return true;
  }
  if (FReplyCount < Length) return true;
  if (AddressType != 1 && AddressType != 3 && AddressType != 4) {
    SocksFailure(20011, "address type not supported");
    return true;
  }
  // The surplus is in place before OnSessionConnected, so that a handler that reads there
  // already gets these bytes first.
  FSocksSurplus = TSocksSurplus{FReplyCount - Length, Length};
  FReplyCount = 0;
  FSocksPhase = spRelaying;
  return OfferAfterGrant();
}

// The destination is reached: OnSessionConnected(0), then the data-available notification again
// from the top of the class chain (the line level included), which from then on this level
// passes on.
bool TCustomSocksWSocket::OfferAfterGrant() {
  NotifySessionConnected(0);
  if (FState != wsConnected) return true;  // the handler closed the socket
  return NotifyDataAvailable(0);
}

void TCustomSocksWSocket::SocksFailure(std::int32_t Code, const std::string& Text) {
  const auto Error = static_cast<std::uint16_t>(Code);
  NotifySocksError(Code, Text);
  if (FState != wsConnected) return;  // the handler closed the socket: that close has reported
  FSocksPhase = spRelaying;
  NotifySessionConnected(Error);
  if (FState != wsConnected) return;
  CloseAndNotify(true, Error);
}
