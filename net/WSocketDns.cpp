// TCustomWSocket: asynchronous host name lookup and reverse lookup. One lookup at a time per
// component; each start cancels the pending one.
//
// A name lookup lists every address of the name, IPv6 and IPv4, in the resolver's order, in
// DnsResultList. DnsResult is the first IPv4 address of that list, and the first address only for
// a name that has no IPv4 address: a caller that connects to DnsResult (as the relay does) reaches
// the IPv4 address, even where the resolver puts ::1 before 127.0.0.1 for "localhost" and the
// server listens on 127.0.0.1 alone, while a name with IPv6 addresses alone resolves too. A caller that wants to try the others walks DnsResultList.
#include <cstring>
#include <string>

#include "net/WSocket.h"
#include "net/WinsockBinding.h"
#include "platform/WinsockErrors.h"

using namespace platform;

char* TCustomWSocket::LookupBuffer() {
  if (FLookupBuffer == nullptr) FLookupBuffer = std::make_unique<TLookupBuffer>();
  return FLookupBuffer->Bytes.data();
}

void TCustomWSocket::ReleaseLookupBuffer() {
  if (FLookupHandle == 0) FLookupBuffer.reset();
}

void TCustomWSocket::DnsLookup(const std::string& HostName) {
  if (HostName.empty()) {
    RaiseSocketException("DNS lookup: invalid host name.");
    NotifyDnsLookupDone(WSAEINVAL);  // reached only when OnError took the report
    return;
  }
  if (FLookupHandle != 0) {
    winsock::WSACancelAsyncRequest(FLookupHandle);  // the cancelled lookup raises no event
    FLookupHandle = 0;
  }
  FDnsResult.clear();
  FDnsResultList.clear();

  std::uint32_t a = winsock::inet_addr(HostName.c_str());
  TSockAddrIn6 a6;
  if (a != WS_INADDR_NONE) {
    // Already an address: answered before DnsLookup returns.
    FDnsResult = winsock::inet_ntoa(a);
    NotifyDnsLookupDone(0);
    return;
  }
  if (ParseIPv6Literal(HostName, a6)) {
    // The same for an IPv6 address, in its compressed form, brackets dropped, zone as an index.
    FDnsResult = SockAddrText(ToSockAddrStorage(a6));
    NotifyDnsLookupDone(0);
    return;
  }

  FEarlyAnswerSet = false;
  FLookupHandle = winsock::WSAAsyncGetHostAddresses(FNotifyWindow, MsgHostByNameDone,
                                                    HostName.c_str(), LookupBuffer(),
                                                    static_cast<int>(sizeof(TLookupBuffer::Bytes)));
  if (FLookupHandle == 0) {
    ReleaseLookupBuffer();
    RaiseSocketExceptionFmt("%s: can't start DNS lookup, error #%d",
                            {HostName, std::to_string(winsock::WSAGetLastError())});
    return;
  }
  if (FEarlyAnswerSet) {
    // The answer came while the start call was still running, before its handle was known.
    FEarlyAnswerSet = false;
    TMessage early = FEarlyAnswer;
    MsgHostByNameDoneHandler(early);
  }
}

void TCustomWSocket::MsgHostByNameDoneHandler(TMessage& Msg) {
  if (FLookupHandle == 0) {
    FEarlyAnswer = Msg;
    FEarlyAnswerSet = true;
    return;
  }
  if (Msg.WParam != FLookupHandle) return;  // a cancelled or replaced lookup
  FLookupHandle = 0;
  const std::uint16_t Error = HiWord(Msg.LParam);
  if (Error == 0) {
    THostAddressList list;
    std::memcpy(&list, FLookupBuffer->Bytes.data(), sizeof list);
    const std::string* firstIPv4 = nullptr;
    for (std::int32_t i = 0; i < list.Count; ++i) {
      THostAddress addr;
      std::memcpy(&addr, list.Addresses + i, sizeof addr);
      TSockAddrStorage record;
      if (addr.Family == WS_AF_INET6) {
        TSockAddrIn6 in6;
        in6.sin6_family = WS_AF_INET6;
        std::memcpy(in6.sin6_addr, addr.Bytes, sizeof in6.sin6_addr);
        in6.sin6_scope_id = addr.ScopeId;
        record = ToSockAddrStorage(in6);
      } else {
        TSockAddrIn in;
        in.sin_family = WS_AF_INET;
        std::memcpy(&in.sin_addr, addr.Bytes, sizeof in.sin_addr);
        record = ToSockAddrStorage(in);
      }
      FDnsResultList.push_back(SockAddrText(record));
    }
    for (const std::string& text : FDnsResultList) {
      if (text.find(':') == std::string::npos) {
        firstIPv4 = &text;
        break;
      }
    }
    if (firstIPv4 != nullptr)
      FDnsResult = *firstIPv4;
    else if (!FDnsResultList.empty())
      FDnsResult = FDnsResultList.front();
  }
  ReleaseLookupBuffer();  // before the handler, which may start the next lookup
  NotifyDnsLookupDone(Error);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
  if (HostAddr.empty() || HostAddr.size() > 256) {
    RaiseSocketException("ReverseDnsLookup: Invalid host name.");
    NotifyDnsLookupDone(WSAEINVAL);
    return;
  }
  if (FLookupHandle != 0) winsock::WSACancelAsyncRequest(FLookupHandle);
  FDnsResult.clear();
  FDnsResultList.clear();
  std::uint32_t a = winsock::inet_addr(HostAddr.c_str());
  FLookupHandle = winsock::WSAAsyncGetHostByAddr(FNotifyWindow, MsgHostByAddrDone,
                                                 reinterpret_cast<const char*>(&a), 4, WS_AF_INET,
                                                 LookupBuffer(),
                                                 static_cast<int>(sizeof(TLookupBuffer::Bytes)));
  if (FLookupHandle == 0) {
    ReleaseLookupBuffer();
    RaiseSocketExceptionFmt("%s: can't start DNS lookup, error #%d",
                            {HostAddr, std::to_string(winsock::WSAGetLastError())});
  }
}

void TCustomWSocket::MsgHostByAddrDoneHandler(TMessage& Msg) {
  if (Msg.WParam != FLookupHandle) return;
  FLookupHandle = 0;
  const std::uint16_t Error = HiWord(Msg.LParam);
  if (Error == 0) {
    const auto* host = reinterpret_cast<const THostEnt*>(FLookupBuffer->Bytes.data());
    FDnsResult = host->h_name != nullptr ? host->h_name : "";
    FDnsResultList.assign(1, FDnsResult);
  }
  ReleaseLookupBuffer();
  NotifyDnsLookupDone(Error);
}

void TCustomWSocket::CancelDnsLookup() {
  if (FLookupHandle == 0) return;
  if (winsock::WSACancelAsyncRequest(FLookupHandle) != 0) {
    FLookupHandle = 0;
    ReleaseLookupBuffer();  // the request is over: nothing writes into it any more
    ReportSocketError("WSACancelAsyncRequest");
    return;
  }
  FLookupHandle = 0;
  ReleaseLookupBuffer();
  if (!IsDestroying()) NotifyDnsLookupDone(WSAEINTR);
}
