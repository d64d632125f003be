// TCustomWSocket: asynchronous host name lookup and reverse lookup. One lookup at a time per
// component; each start cancels the pending one.
#include <cstring>
#include <string>

#include "net/WSocket.h"
#include "net/WinsockBinding.h"
#include "platform/WinsockErrors.h"

using namespace platform;

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
  if (a != WS_INADDR_NONE) {
    // Already an address: answered before DnsLookup returns.
    FDnsResult = winsock::inet_ntoa(a);
    NotifyDnsLookupDone(0);
    return;
  }

  FEarlyAnswerSet = false;
  FLookupHandle = winsock::WSAAsyncGetHostByName(FNotifyWindow, MsgHostByNameDone, HostName.c_str(),
                                                 FLookupBuffer.data(),
                                                 static_cast<int>(FLookupBuffer.size()));
  if (FLookupHandle == 0) {
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
    const auto* host = reinterpret_cast<const THostEnt*>(FLookupBuffer.data());
    for (char** p = host->h_addr_list; p != nullptr && *p != nullptr; ++p) {
      std::uint32_t addr;
      std::memcpy(&addr, *p, sizeof addr);
      FDnsResultList.emplace_back(winsock::inet_ntoa(addr));
    }
    if (!FDnsResultList.empty()) FDnsResult = FDnsResultList.front();
  }
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
                                                 FLookupBuffer.data(),
                                                 static_cast<int>(FLookupBuffer.size()));
  if (FLookupHandle == 0)
    RaiseSocketExceptionFmt("%s: can't start DNS lookup, error #%d",
                            {HostAddr, std::to_string(winsock::WSAGetLastError())});
}

void TCustomWSocket::MsgHostByAddrDoneHandler(TMessage& Msg) {
  if (Msg.WParam != FLookupHandle) return;
  FLookupHandle = 0;
  const std::uint16_t Error = HiWord(Msg.LParam);
  if (Error == 0) {
    const auto* host = reinterpret_cast<const THostEnt*>(FLookupBuffer.data());
    FDnsResult = host->h_name != nullptr ? host->h_name : "";
    FDnsResultList.assign(1, FDnsResult);
  }
  NotifyDnsLookupDone(Error);
}

void TCustomWSocket::CancelDnsLookup() {
  if (FLookupHandle == 0) return;
  if (winsock::WSACancelAsyncRequest(FLookupHandle) != 0) {
    FLookupHandle = 0;
    ReportSocketError("WSACancelAsyncRequest");
    return;
  }
  FLookupHandle = 0;
  if (!IsDestroying()) NotifyDnsLookupDone(WSAEINTR);
}
