// WSAAsyncSelect over the event loop's edge-triggered epoll: the per-descriptor records, the
// readiness judgement and the re-arming hooks of the socket calls (see WinsockSelect.h).
#include "platform/WinsockSelect.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#undef htons
#undef ntohs

#include <cerrno>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/Shrink.h"

namespace platform {
namespace sockets {
namespace {

static_assert(POLLIN == EPOLLIN && POLLOUT == EPOLLOUT && POLLERR == EPOLLERR &&
                  POLLHUP == EPOLLHUP && POLLRDHUP == EPOLLRDHUP,
              "poll() and epoll report readiness with the same bits");

constexpr std::uint32_t kWatchEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
constexpr std::uint32_t kGone = EPOLLRDHUP | EPOLLHUP | EPOLLERR;

// Indexed by descriptor. Never destroyed: sockets closed by static destructors still find it.
std::vector<SocketRecord>& Table() {
  static auto* table = new std::vector<SocketRecord>();
  return *table;
}

// The descriptor's readiness now, in epoll bits.
std::uint32_t Probe(int Fd) {
  pollfd p{Fd, POLLIN | POLLOUT | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) != 1) return 0;
  return static_cast<std::uint32_t>(p.revents);
}

bool Readable(int Fd) { return (Probe(Fd) & EPOLLIN) != 0; }

int BytesWaiting(int Fd) {
  int n = 0;
  return ::ioctl(Fd, FIONREAD, &n) == 0 ? n : 0;
}

int PendingError(int Fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

void Post(int Fd, SocketRecord& R, long Bit, int Error) {
  if (R.token == 0 || (R.mask & Bit) == 0) return;
  loop::PostTokenMessage(R.wnd, R.msg, static_cast<WPARAM>(Fd),
                         MakeLong(static_cast<std::uint16_t>(Bit), static_cast<std::uint16_t>(Error)),
                         R.token);
}

// Linux reports our own shutdown(SD_RECEIVE) as read hang-up too; only the TCP state tells
// whether the peer has closed its side.
bool PeerClosed(int Fd, const SocketRecord& R, std::uint32_t Events) {
  if ((Events & kGone) == 0) return false;
  if ((Events & EPOLLERR) != 0 || !R.shutRecv) return true;
  tcp_info info{};
  socklen_t len = sizeof info;
  if (::getsockopt(Fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return true;
  switch (info.tcpi_state) {
    case TCP_CLOSE_WAIT:
    case TCP_LAST_ACK:
    case TCP_CLOSING:
    case TCP_TIME_WAIT:
    case TCP_CLOSE:
      return true;
    default:
      return false;
  }
}

// The FD_CLOSE error word: 0 for an orderly close, 10054 for a reset, 10053 for any other failure
// (keep-alive or retransmission timeout), as Windows reports them.
int CloseError(int Fd, SocketRecord& R, std::uint32_t Events) {
  if (R.closeError >= 0) return R.closeError;
  int err = (Events & EPOLLERR) != 0 ? PendingError(Fd) : 0;
  if (err == 0 && R.resetSeen) err = ECONNRESET;
  R.closeError = err == 0 ? 0 : err == ECONNRESET ? WSAECONNRESET : err == ENETDOWN ? WSAENETDOWN : WSAECONNABORTED;
  return R.closeError;
}

// A connection attempt under way: FD_CONNECT once it has been made or has failed. False while the
// attempt goes on or after it failed: nothing else is due.
bool EvaluateConnect(int Fd, SocketRecord& R, std::uint32_t Events) {
  if ((Events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return false;  // still in progress
  int err = PendingError(Fd);
  R.connectPending = false;
  // A connection that was made and reset before this look leaves the reset's error, where an
  // attempt that failed leaves its own (a reset answering the SYN is ECONNREFUSED): reading it
  // took it, so the reset is remembered for FD_CLOSE. Windows reports such a connection as
  // made, then the data that came before the reset, then the reset.
  if (err == ECONNRESET || err == EPIPE) {
    R.resetSeen = true;
    err = 0;
  }
  if (err != 0) {
    R.connectFailed = true;
    Post(Fd, R, FD_CONNECT, WSAErrorFromErrno(err));
    return false;
  }
  R.everConnected = true;
  R.writeEnabled = true;
  Post(Fd, R, FD_CONNECT, 0);
  return true;
}

void EvaluateDatagram(int Fd, SocketRecord& R, std::uint32_t Events) {
  if ((Events & EPOLLOUT) != 0 && R.writeEnabled && (R.mask & FD_WRITE) != 0) {
    R.writeEnabled = false;
    Post(Fd, R, FD_WRITE, 0);
  }
  if ((Events & EPOLLIN) != 0 && R.readEnabled && (R.mask & FD_READ) != 0) {
    R.readEnabled = false;
    Post(Fd, R, FD_READ, 0);
  }
}

// A connected stream socket: FD_WRITE, FD_READ, then FD_CLOSE for the peer's end and, after it,
// a second FD_CLOSE for a reset.
void EvaluateStream(int Fd, SocketRecord& R, std::uint32_t Events) {
  if ((Events & EPOLLOUT) != 0 && (Events & (EPOLLERR | EPOLLHUP)) == 0 && R.writeEnabled &&
      (R.mask & FD_WRITE) != 0) {
    R.writeEnabled = false;
    Post(Fd, R, FD_WRITE, 0);
  }
  // After a hang-up EPOLLIN stays set for the end of file; only a byte count tells of data.
  if ((Events & EPOLLIN) != 0 && R.readEnabled && (R.mask & FD_READ) != 0 &&
      ((Events & kGone) == 0 || BytesWaiting(Fd) > 0)) {
    R.readEnabled = false;
    Post(Fd, R, FD_READ, 0);
  }
  if (!R.closePosted && (R.mask & FD_CLOSE) != 0 && PeerClosed(Fd, R, Events)) {
    R.closePosted = true;
    Post(Fd, R, FD_CLOSE, CloseError(Fd, R, Events));
  } else if (R.closePosted && R.closeError == 0 && !R.resetPosted && (R.mask & FD_CLOSE) != 0 &&
             ((Events & EPOLLERR) != 0 || ((Events & EPOLLHUP) != 0 && !R.shutSend))) {
    // After the peer's end, a hang-up that our own shutdown did not cause is a reset (or a
    // timeout). Linux reports a reset that hits a socket in CLOSE_WAIT as EPIPE.
    R.resetPosted = true;
    int err = PendingError(Fd);
    if (err == 0 && R.resetSeen) err = ECONNRESET;
    Post(Fd, R, FD_CLOSE, err == 0 || err == EPIPE || err == ECONNRESET ? WSAECONNRESET
                          : err == ENETDOWN                            ? WSAENETDOWN
                                                                       : WSAECONNABORTED);
  }
}

// Turns the current readiness of a selected socket into notifications, in the order FD_CONNECT,
// FD_WRITE, FD_READ, FD_ACCEPT, FD_CLOSE. Events is the state now (epoll re-polls an
// edge-triggered descriptor before reporting it), so the flags decide what is due.
void Evaluate(int Fd, SocketRecord& R, std::uint32_t Events) {
  if (R.token == 0) return;
  if (R.connectPending && !EvaluateConnect(Fd, R, Events)) return;
  if (R.listening) {
    if ((Events & EPOLLIN) != 0 && R.acceptEnabled && (R.mask & FD_ACCEPT) != 0) {
      R.acceptEnabled = false;
      Post(Fd, R, FD_ACCEPT, 0);
    }
    return;
  }
  if (R.connectFailed) return;
  if (R.type == SOCK_DGRAM) {
    EvaluateDatagram(Fd, R, Events);
    return;
  }
  if (!R.everConnected) return;  // a fresh stream socket reports HUP|OUT: nothing is due yet
  EvaluateStream(Fd, R, Events);
}

void OnReady(int Fd, std::uint32_t Events) {
  SocketRecord* r = Find(Fd);
  if (r != nullptr) Evaluate(Fd, *r, Events);
}

// Facts about a descriptor that did not come from socket() or accept().
int Learn(int Fd, SocketRecord& R) {
  int type = 0;
  socklen_t len = sizeof type;
  if (::getsockopt(Fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return WSAErrorFromErrno(errno);
  int accepting = 0;
  len = sizeof accepting;
  ::getsockopt(Fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len);
  R.type = type;
  R.listening = accepting != 0;
  if (type == SOCK_STREAM && !R.listening) {
    sockaddr_in peer{};
    socklen_t plen = sizeof peer;
    R.everConnected = ::getpeername(Fd, reinterpret_cast<sockaddr*>(&peer), &plen) == 0;
  }
  int flags = ::fcntl(Fd, F_GETFL);
  R.nonBlocking = flags >= 0 && (flags & O_NONBLOCK) != 0;
  R.known = true;
  return 0;
}

bool IsNetworkOutcome(int Err) {
  switch (Err) {
    case ECONNREFUSED:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
    case ECONNRESET:
    case ECONNABORTED:
      return true;
    default:
      return false;
  }
}

}  // namespace

SocketRecord* Find(int Fd) {
  std::vector<SocketRecord>& t = Table();
  if (Fd < 0 || static_cast<std::size_t>(Fd) >= t.size() || !t[Fd].live) return nullptr;
  return &t[Fd];
}

SocketRecord& Get(int Fd) {
  std::vector<SocketRecord>& t = Table();
  if (static_cast<std::size_t>(Fd) >= t.size()) t.resize(static_cast<std::size_t>(Fd) + 64);
  SocketRecord& r = t[Fd];
  r.live = true;
  return r;
}

void Forget(int Fd) {
  SocketRecord* r = Find(Fd);
  if (r == nullptr) return;
  if (r->token != 0) loop::RevokeToken(r->token);
  if (r->watched) loop::Unwatch(Fd);
  *r = SocketRecord{};
  // The system hands out the lowest free descriptor: once a burst of connections has ended, the
  // records above the highest one still open hold nothing.
  std::vector<SocketRecord>& t = Table();
  while (!t.empty() && !t.back().live) t.pop_back();
  ShrinkIfMostlyEmpty(t, 1024);
}

void Created(int Fd, int Type, bool Connected, bool NonBlocking) {
  Forget(Fd);  // a descriptor closed behind our back and handed out again
  SocketRecord& r = Get(Fd);
  r.known = true;
  r.type = Type;
  r.everConnected = Connected;
  r.nonBlocking = NonBlocking;
}

int Select(int Fd, HWND Wnd, UINT Msg, long Mask) {
  SocketRecord& r = Get(Fd);
  if (!r.known) {
    int err = Learn(Fd, r);
    if (err != 0) {
      r = SocketRecord{};
      return Fail(err);
    }
  }
  if (Mask != 0 && !IsWindow(Wnd)) return Fail(WSAEINVAL);
  if (r.token != 0) {
    loop::RevokeToken(r.token);  // a new selection drops what the old one queued
    r.token = 0;
  }
  r.mask = 0;
  if (Mask == 0) {
    if (r.watched) loop::Unwatch(Fd);
    r.watched = false;
    r.wnd = 0;
    return 0;  // the socket stays non-blocking, as on Windows
  }
  if (!r.nonBlocking) {
    // FIONBIO sets O_NONBLOCK alone and leaves the other status flags: one call, where reading
    // the flags and writing them back takes two.
    int one = 1;
    if (::ioctl(Fd, FIONBIO, &one) != 0) return Fail(WSAErrorFromErrno(errno));
    r.nonBlocking = true;
  }
  if (!r.watched) {
    auto handler = [Fd](std::uint32_t Events) { OnReady(Fd, Events); };
    if (!loop::Watch(Fd, kWatchEvents, handler)) {
      // The loop may still hold a descriptor of that number closed behind our back.
      loop::Unwatch(Fd);
      if (!loop::Watch(Fd, kWatchEvents, handler)) return Fail(WSAErrorFromErrno(errno));
    }
    r.watched = true;
  }
  r.wnd = Wnd;
  r.msg = Msg;
  r.mask = Mask;
  r.token = loop::NewToken();
  r.readEnabled = true;
  r.writeEnabled = true;
  r.acceptEnabled = true;
  r.closePosted = false;
  r.resetPosted = false;
  // What already holds is posted now. A stream socket that is neither listening nor connected nor
  // connecting (one about to connect) has nothing to tell: no need to ask.
  if (r.listening || r.type != SOCK_STREAM || r.everConnected || r.connectPending || r.connectFailed)
    Evaluate(Fd, r, Probe(Fd));
  return 0;
}

void AfterRecv(int Fd, long Result, int Err, int Len, int PosixFlags) {
  if (Result < 0 && Err == ECONNRESET) Get(Fd).resetSeen = true;
  SocketRecord* r = Find(Fd);
  if (Result == 0 && Len > 0 && r != nullptr && r->known && r->type == SOCK_STREAM && !r->listening)
    r->eofRead = true;
  if (r == nullptr || r->token == 0 || (r->mask & FD_READ) == 0) return;
  r->readEnabled = true;
  if (Result < 0) return;
  bool more;
  if ((PosixFlags & MSG_PEEK) != 0)
    more = Result > 0 || (r->type == SOCK_DGRAM && Readable(Fd));
  else if (r->type == SOCK_DGRAM)
    more = Readable(Fd);
  else  // a stream read that did not fill the buffer took everything that was waiting
    more = Result == Len && Len > 0 && BytesWaiting(Fd) > 0;
  if (more) {
    r->readEnabled = false;
    Post(Fd, *r, FD_READ, 0);
  }
}

void AfterShortSend(int Fd, long Result, int Len, int Err) {
  (void)Len;
  if (Result < 0 && Err == ECONNRESET) Get(Fd).resetSeen = true;
  SocketRecord* r = Find(Fd);
  if (r == nullptr || r->token == 0) return;
  // Windows takes a non-blocking send whole or refuses it; Linux may take part of it. Either
  // way the buffer is full now, and FD_WRITE is due once room comes back.
  if (Result >= 0 || Err == EAGAIN || Err == EWOULDBLOCK) r->writeEnabled = true;
}

void AfterAccept(int ListenFd) {
  SocketRecord* r = Find(ListenFd);
  if (r == nullptr || r->token == 0 || (r->mask & FD_ACCEPT) == 0) return;
  r->acceptEnabled = true;
  if (Readable(ListenFd)) {
    r->acceptEnabled = false;
    Post(ListenFd, *r, FD_ACCEPT, 0);
  }
}

int AfterConnect(int Fd, int Err) {
  SocketRecord& r = Get(Fd);
  if (!r.known && Learn(Fd, r) != 0) r.known = false;
  if (r.type != SOCK_STREAM) {  // a datagram socket's default peer: no connection, no FD_CONNECT
    if (Err == 0) return 0;
    return Err == EAGAIN ? WSAENOBUFS : WSAErrorFromErrno(Err);
  }
  if (Err == 0) {
    if (r.token != 0) {
      // Completed at once: the outcome still arrives as FD_CONNECT, then FD_WRITE.
      r.connectPending = true;
      r.connectFailed = false;
      Evaluate(Fd, r, Probe(Fd));
    } else {
      r.everConnected = true;
    }
    return 0;
  }
  if (Err == EINPROGRESS) {
    r.connectPending = true;
    r.connectFailed = false;
    return WSAEWOULDBLOCK;
  }
  if (IsNetworkOutcome(Err) && r.token != 0 && (r.mask & FD_CONNECT) != 0) {
    // Linux may refuse a loopback connect inside the call; Windows reports it as FD_CONNECT.
    r.connectFailed = true;
    Post(Fd, r, FD_CONNECT, WSAErrorFromErrno(Err));
    return WSAEWOULDBLOCK;
  }
  if (Err == EAGAIN) return WSAENOBUFS;  // connect: no local port or routing entry left
  return WSAErrorFromErrno(Err);
}

}  // namespace sockets

int WSAAsyncSelect(SOCKET s, HWND Wnd, UINT Msg, long Event) {
  int fd;
  if (!sockets::ToFd(s, fd)) return sockets::Fail(WSAENOTSOCK);
  return sockets::Select(fd, Wnd, Msg, Event);
}

}  // namespace platform
