// Internal to platform/: the WSAAsyncSelect emulation behind the socket calls of WinsockCalls.cpp.
// Not for use outside the platform's socket files.
//
// One record per descriptor (a flat table indexed by the descriptor number). A record is created
// fresh by socket() and accept(), and lazily for a descriptor that reached us otherwise; it is
// cleared by closesocket. While a socket is selected with a non-zero mask, its descriptor is
// watched edge-triggered (EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET) and every readiness report
// is judged from the record's flags and the descriptor's current state, never from "what changed":
//
//   flag           set by                                      cleared by
//   readEnabled    select, recv/recvfrom (any outcome)         posting FD_READ
//   writeEnabled   select (connected), connect completing,     posting FD_WRITE
//                  send failing with would-block or taking
//                  only part of the span
//   acceptEnabled  select, accept (any outcome)                posting FD_ACCEPT
//   closePosted    posting FD_CLOSE                            select
//   resetPosted    posting the FD_CLOSE of a reset that        select
//                  followed an orderly FD_CLOSE
//
// FD_CLOSE comes once per selection, as on Windows, with one addition: a socket kept open after
// the peer's orderly end (a half-open connection) that is then reset, or fails otherwise, while
// its own send side is still open gets a second FD_CLOSE with the error (10054 for a reset).
// Windows would tell of it only at the next send; a half-open socket that only waits would never
// learn of it.
//
// Every notification is posted with the selection's loop token, so closesocket and a new
// WSAAsyncSelect drop what is still queued (RevokeToken) while plain PostMessage traffic of the
// components stays. The hooks below are called by the socket calls after their POSIX call; each
// costs nothing for a socket that is not selected, and at most one extra system call otherwise.
#pragma once

#include <cstdint>

#include "platform/Winsock.h"
#include "platform/WinsockErrors.h"

namespace platform::sockets {

// A SOCKET value as a descriptor; false for values that cannot be one (INVALID_SOCKET included).
inline bool ToFd(SOCKET S, int& Fd) {
  if (S > 0x7FFFFFFFu) return false;
  Fd = static_cast<int>(S);
  return true;
}
// Sets the last error and returns SOCKET_ERROR, the failure value of most calls.
inline int Fail(int WsaCode) {
  WSASetLastError(WsaCode);
  return SOCKET_ERROR;
}

// The fields go by size, the widest first, so that a record of every descriptor stays small.
struct SocketRecord {
  // the selection
  HWND wnd = 0;
  long mask = 0;
  std::uint64_t token = 0;  // 0: not selected
  UINT msg = 0;

  // what the socket is
  int type = 0;         // SOCK_STREAM or SOCK_DGRAM; 0 until known
  int closeError = -1;  // the FD_CLOSE error word once known (-1: not yet)
  bool live = false;    // false: no record (never created, or forgotten at closesocket)
  bool known = false;   // created by socket()/accept(), so type/listening/connected are ours
  bool listening = false;
  bool everConnected = false;   // a stream connection was established at some time
  bool connectPending = false;  // a non-blocking connect is under way, outcome not yet seen
  bool connectFailed = false;   // its outcome was an error: nothing more is posted
  bool nonBlocking = false;
  bool shutSend = false;   // shutdown(SD_SEND or SD_BOTH) succeeded: EPIPE on send is 10058
  bool shutRecv = false;   // shutdown(SD_RECEIVE or SD_BOTH) succeeded: RDHUP is not the peer's
  bool resetSeen = false;  // a call failed with ECONNRESET, so a later FD_CLOSE carries 10054
  bool eofRead = false;    // a stream read returned the end of stream: no byte can come any more

  // the state of the selection
  bool watched = false;
  bool readEnabled = false;
  bool writeEnabled = false;
  bool acceptEnabled = false;
  bool closePosted = false;
  bool resetPosted = false;
};

// The record of Fd, or null when there is none (never created, or cleared by closesocket).
SocketRecord* Find(int Fd);
// The record of Fd, created empty when there is none.
SocketRecord& Get(int Fd);

// A new descriptor from socket() or accept(): any stale record is cleared first.
void Created(int Fd, int Type, bool Connected, bool NonBlocking);
// Before ::close(Fd): revoke the selection's token (drops its queued notifications), stop
// watching, forget the record.
void Forget(int Fd);

// WSAAsyncSelect proper (validated arguments: Fd is a socket).
int Select(int Fd, HWND Wnd, UINT Msg, long Mask);

// After recv/recvfrom: Result is the POSIX result (Err its errno when negative), Len the buffer
// size, PosixFlags the flags passed (MSG_PEEK keeps the data).
void AfterRecv(int Fd, long Result, int Err, int Len, int PosixFlags);
// After send/sendto returned fewer bytes than offered, or failed with Err.
void AfterShortSend(int Fd, long Result, int Len, int Err);
// After accept (successful or not): re-enables FD_ACCEPT and posts it when more are pending.
void AfterAccept(int ListenFd);
// After connect(): Err is 0 on success, else the errno. Returns the code to report: 0 for
// success, or a Windows Sockets code (10035 while in progress, also for an immediate network
// failure of a socket selected for FD_CONNECT, whose outcome is then queued as FD_CONNECT).
int AfterConnect(int Fd, int Err);

}  // namespace platform::sockets
