// The name lookups of the socket library: the blocking gethostbyname, gethostaddresses,
// getservbyname and getprotobyname, and the asynchronous host lookups that never block the loop.
// The internal header WinsockLookup.h declares the hooks through which tests observe the
// asynchronous requests and give names addresses of their own.
//
// Everything goes to the system's resolver (getaddrinfo, getnameinfo, the services and protocols
// databases), so that /etc/hosts, nsswitch and mDNS names resolve as in every other program. The
// IPv4 lookups (gethostbyname, WSAAsyncGetHostByName) ask it for IPv4 addresses alone, exactly as
// before IPv6 came; the address lookups ask for both families and keep the resolver's order.
//
// Asynchronous lookups: the loop thread queues a job; a few detached resolver threads, started on
// demand, run the blocking resolver, put the answer on a completion list and wake the loop through
// an eventfd that the loop watches. On the loop thread the answer is then written into the
// caller's buffer and the done-message posted. Only the two job lists cross threads; the caller's
// buffer and endpoint are touched by the loop thread alone, which is what lets a cancellation
// promise that the buffer is never written afterwards. The shared state is never destroyed: a
// resolver thread still inside getaddrinfo when the process exits must not find it gone.
#include "platform/WinsockLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
// glibc turns these into macros under optimisation; they must not rename our own declarations.
#undef htons
#undef ntohs

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/WinsockErrors.h"

namespace platform {
namespace {

struct THostAnswer {
  int Error = 0;  // Windows Sockets code, 0 when found
  std::string Name;
  std::vector<THostAddress> Addresses;  // in the resolver's order, no duplicates
};

bool SameAddress(const THostAddress& A, const THostAddress& B) {
  return A.Family == B.Family && A.ScopeId == B.ScopeId &&
         std::memcmp(A.Bytes, B.Bytes, sizeof A.Bytes) == 0;
}

void AddAddress(THostAnswer& Answer, const THostAddress& Addr) {
  for (const THostAddress& known : Answer.Addresses)
    if (SameAddress(known, Addr)) return;
  Answer.Addresses.push_back(Addr);
}

// The record of a POSIX socket address; false for a family other than IPv4 and IPv6.
bool ToHostAddress(const sockaddr* Sa, socklen_t Len, THostAddress& Out) {
  Out = THostAddress{};
  if (Sa->sa_family == AF_INET && Len >= sizeof(sockaddr_in)) {
    sockaddr_in sin;
    std::memcpy(&sin, Sa, sizeof sin);
    Out.Family = WS_AF_INET;
    std::memcpy(Out.Bytes, &sin.sin_addr, 4);
    return true;
  }
  if (Sa->sa_family == AF_INET6 && Len >= sizeof(sockaddr_in6)) {
    sockaddr_in6 sin6;
    std::memcpy(&sin6, Sa, sizeof sin6);
    Out.Family = WS_AF_INET6;
    Out.ScopeId = sin6.sin6_scope_id;
    std::memcpy(Out.Bytes, &sin6.sin6_addr, 16);
    return true;
  }
  return false;
}

// ---- the names that tests give addresses of their own -----------------------------------------

struct TTestHosts {
  std::mutex Mutex;  // resolver threads read the table while the loop thread may replace it
  std::vector<lookup::THostsEntry> Entries;
};

TTestHosts& TestHosts() {
  static TTestHosts* hosts = new TTestHosts();  // never destroyed, like the lookup state
  return *hosts;
}

// The answer of the test table for Name, when the table holds it. Family AF_INET keeps the IPv4
// addresses alone; a name held with none of the family asked for has no data (WSANO_DATA).
bool AnswerFromTestHosts(const std::string& Name, int Family, THostAnswer& Answer) {
  TTestHosts& hosts = TestHosts();
  std::lock_guard<std::mutex> lock(hosts.Mutex);
  for (const lookup::THostsEntry& entry : hosts.Entries) {
    if (::strcasecmp(entry.Name.c_str(), Name.c_str()) != 0) continue;
    Answer = THostAnswer{};
    Answer.Name = entry.Name;
    for (const std::string& text : entry.Addresses) {
      THostAddress addr;
      if (::inet_pton(AF_INET, text.c_str(), addr.Bytes) == 1) {
        addr.Family = WS_AF_INET;
      } else if (Family != AF_INET && ::inet_pton(AF_INET6, text.c_str(), addr.Bytes) == 1) {
        addr.Family = WS_AF_INET6;
      } else {
        continue;
      }
      AddAddress(Answer, addr);
    }
    if (Answer.Addresses.empty()) Answer.Error = WSANO_DATA;
    return true;
  }
  return false;
}

// Family: AF_INET for the IPv4 lookups, AF_UNSPEC for every address.
THostAnswer ResolveName(const std::string& Name, int Family) {
  THostAnswer answer;
  if (AnswerFromTestHosts(Name, Family, answer)) return answer;
  addrinfo hints{};
  hints.ai_family = Family;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  errno = 0;
  int rc = ::getaddrinfo(Name.c_str(), nullptr, &hints, &list);
  int err = errno;
  if (rc != 0) {
    answer.Error = WSAErrorFromResolver(rc, err);
    return answer;
  }
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    THostAddress addr;
    if (ai->ai_family != Family && Family != AF_UNSPEC) continue;
    if (ToHostAddress(ai->ai_addr, ai->ai_addrlen, addr)) AddAddress(answer, addr);
  }
  answer.Name = list != nullptr && list->ai_canonname != nullptr ? list->ai_canonname : Name;
  ::freeaddrinfo(list);
  if (answer.Addresses.empty()) answer.Error = WSANO_DATA;
  return answer;
}

// The official name of an address, and the address itself as the entry's only address.
THostAnswer ResolveAddress(std::uint32_t Addr) {
  THostAnswer answer;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = Addr;
  char host[NI_MAXHOST];
  errno = 0;
  int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&sin), sizeof sin, host, sizeof host,
                         nullptr, 0, NI_NAMEREQD);
  int err = errno;
  if (rc != 0) {
    answer.Error = WSAErrorFromResolver(rc, err);
    return answer;
  }
  answer.Name = host;
  THostAddress addr;
  addr.Family = WS_AF_INET;
  std::memcpy(addr.Bytes, &Addr, 4);
  answer.Addresses.push_back(addr);
  return answer;
}

// ---- blocking lookups: per-thread entries --------------------------------------------------

struct THostStorage {
  THostAnswer Answer;
  std::vector<std::uint32_t> V4;
  std::vector<char*> AddrList;
  char* NoAliases[1] = {nullptr};
  THostEnt Entry{};
};

// Scratch for the reentrant database calls; the entry's strings point into it until the next
// call of the same kind on this thread.
template <class RawT, class EntryT>
struct TDbStorage {
  static constexpr std::size_t kMaxScratch = 1 << 16;
  std::vector<char> Scratch = std::vector<char>(1024);
  RawT Result{};
  EntryT Entry{};
  bool Grow() {
    if (Scratch.size() >= kMaxScratch) return false;
    Scratch.resize(Scratch.size() * 2);
    return true;
  }
};

// ---- asynchronous lookups ------------------------------------------------------------------

constexpr int kMaxResolverThreads = 4;

enum class TJobKind { HostByName, HostByAddr, HostAddresses };

struct TJob {
  HANDLE Handle = 0;
  TJobKind Kind = TJobKind::HostByName;
  std::string Name;
  std::uint32_t Addr = 0;
  bool Resolved = false;  // with Answer: under TLookupState::Mutex
  THostAnswer Answer;
};

// What only the loop thread knows of a request: where its answer goes.
struct TRequest {
  HWND Wnd;
  UINT Msg;
  char* Buf;
  int BufLen;
  std::shared_ptr<TJob> Job;
};

struct TLookupState {
  // Shared with the resolver threads, under Mutex.
  std::mutex Mutex;
  std::condition_variable WorkReady;
  std::condition_variable JobResolved;
  std::deque<std::shared_ptr<TJob>> Queued;
  std::vector<std::shared_ptr<TJob>> Answered;
  int Threads = 0;
  int Idle = 0;
  int WakeFd = -1;  // set once, before the first resolver thread starts

  // Loop thread only.
  std::unordered_map<HANDLE, TRequest> Requests;
  // Answers posted and maybe not yet taken from the queue, by handle: until the component has
  // taken one, a cancel still withdraws it, as it would a request not yet answered.
  std::unordered_map<HANDLE, std::uint64_t> Posted;
  HANDLE NextHandle = 1;
  std::uint64_t Settled = 0;
};

TLookupState& State() {
  static TLookupState* state = new TLookupState();
  return *state;
}

void ResolverThread(TLookupState* s) {
  std::unique_lock<std::mutex> lock(s->Mutex);
  for (;;) {
    ++s->Idle;
    s->WorkReady.wait(lock, [s] { return !s->Queued.empty(); });
    --s->Idle;
    std::shared_ptr<TJob> job = std::move(s->Queued.front());
    s->Queued.pop_front();
    lock.unlock();
    THostAnswer answer = job->Kind == TJobKind::HostByAddr ? ResolveAddress(job->Addr)
                         : job->Kind == TJobKind::HostAddresses ? ResolveName(job->Name, AF_UNSPEC)
                                                                : ResolveName(job->Name, AF_INET);
    lock.lock();
    job->Answer = std::move(answer);
    job->Resolved = true;
    s->Answered.push_back(std::move(job));
    std::uint64_t one = 1;
    // A failed write can only mean a saturated counter, which still leaves the descriptor readable.
    if (::write(s->WakeFd, &one, sizeof one) < 0) {
    }
    s->JobResolved.notify_all();
  }
}

// The answer as the caller's buffer receives it; every pointer points into the buffer itself:
//
//   Buf -> THostEnt { h_name, h_aliases, h_addrtype = 2, h_length = 4, h_addr_list }
//          (padding to pointer alignment)
//          h_addr_list -> [ &addr0, &addr1, ..., null ]
//          h_aliases   -> [ null ]
//          addr0 addr1 ...          4 bytes each, network order
//          h_name      -> "official name" NUL
//
// Returns the done-message's LParam: the length used in the low word, or, when the entry does not
// fit, the length needed with WSAENOBUFS and nothing written. Stores go through memcpy because the
// caller's buffer need not be aligned.
LPARAM WriteHostEntry(char* Buf, int BufLen, const THostAnswer& Answer) {
  const std::size_t n = Answer.Addresses.size();
  const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(Buf);
  const std::uintptr_t align = alignof(char*);
  const std::size_t listOff = ((base + sizeof(THostEnt) + align - 1) & ~(align - 1)) - base;
  const std::size_t aliasOff = listOff + (n + 1) * sizeof(char*);
  const std::size_t addrOff = aliasOff + sizeof(char*);
  const std::size_t nameOff = addrOff + 4 * n;
  const std::size_t needed = nameOff + Answer.Name.size() + 1;
  const auto low = static_cast<std::uint16_t>(std::min<std::size_t>(needed, 0xFFFF));
  if (needed > static_cast<std::size_t>(BufLen)) return MakeLong(low, WSAENOBUFS);

  char* const null = nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    char* addr = Buf + addrOff + 4 * i;
    std::memcpy(addr, Answer.Addresses[i].Bytes, 4);
    std::memcpy(Buf + listOff + i * sizeof(char*), &addr, sizeof addr);
  }
  std::memcpy(Buf + listOff + n * sizeof(char*), &null, sizeof null);
  std::memcpy(Buf + aliasOff, &null, sizeof null);
  std::memcpy(Buf + nameOff, Answer.Name.c_str(), Answer.Name.size() + 1);
  THostEnt entry{Buf + nameOff, reinterpret_cast<char**>(Buf + aliasOff),
                 static_cast<std::int16_t>(WS_AF_INET), 4, reinterpret_cast<char**>(Buf + listOff)};
  std::memcpy(Buf, &entry, sizeof entry);
  return MakeLong(low, 0);
}

// The answer of an address lookup as the caller's buffer receives it:
//
//   Buf -> THostAddressList { Count, Addresses }
//          (padding to pointer alignment)
//          Addresses -> THostAddress[Count]   24 bytes each: family, scope id, address bytes
//
// Returns the done-message's LParam as WriteHostEntry does.
LPARAM WriteAddressList(char* Buf, int BufLen, const THostAnswer& Answer) {
  const std::size_t n = Answer.Addresses.size();
  const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(Buf);
  const std::uintptr_t align = alignof(THostAddressList);
  const std::size_t recordOff =
      ((base + sizeof(THostAddressList) + align - 1) & ~(align - 1)) - base;
  const std::size_t needed = recordOff + n * sizeof(THostAddress);
  const auto low = static_cast<std::uint16_t>(std::min<std::size_t>(needed, 0xFFFF));
  if (needed > static_cast<std::size_t>(BufLen)) return MakeLong(low, WSAENOBUFS);
  if (n > 0) std::memcpy(Buf + recordOff, Answer.Addresses.data(), n * sizeof(THostAddress));
  THostAddressList list{static_cast<std::int32_t>(n),
                        reinterpret_cast<THostAddress*>(Buf + recordOff)};
  std::memcpy(Buf, &list, sizeof list);
  return MakeLong(low, 0);
}

// Runs on the loop thread when the eventfd is readable: announces every answer whose request is
// still wanted and forgets those of cancelled ones.
void DeliverAnswers() {
  TLookupState& s = State();
  std::uint64_t count;
  while (::read(s.WakeFd, &count, sizeof count) == sizeof count) {
  }
  std::vector<std::shared_ptr<TJob>> batch;
  {
    std::lock_guard<std::mutex> lock(s.Mutex);
    batch.swap(s.Answered);
  }
  std::erase_if(s.Posted, [](const auto& entry) {
    if (loop::IsTokenQueued(entry.second)) return false;
    loop::RevokeToken(entry.second);  // taken or dropped: the token has done its work
    return true;
  });
  for (const std::shared_ptr<TJob>& job : batch) {
    ++s.Settled;
    auto it = s.Requests.find(job->Handle);
    if (it == s.Requests.end()) continue;  // cancelled while it was being resolved
    TRequest request = std::move(it->second);
    s.Requests.erase(it);
    const THostAnswer& answer = job->Answer;
    LPARAM result = answer.Error != 0 ? MakeLong(0, static_cast<std::uint16_t>(answer.Error))
                    : job->Kind == TJobKind::HostAddresses
                        ? WriteAddressList(request.Buf, request.BufLen, answer)
                        : WriteHostEntry(request.Buf, request.BufLen, answer);
    std::uint64_t token = loop::NewToken();
    if (loop::PostTokenMessage(request.Wnd, request.Msg, job->Handle, result, token))
      s.Posted.emplace(job->Handle, token);
    else
      loop::RevokeToken(token);
  }
}

bool EnsureWakeDescriptor(TLookupState& s) {
  if (s.WakeFd >= 0) return true;
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    WSASetLastError(WSAErrorFromErrno(errno));
    return false;
  }
  if (!loop::Watch(fd, EPOLLIN, [](std::uint32_t) { DeliverAnswers(); })) {
    int err = errno;
    ::close(fd);
    WSASetLastError(err != 0 ? WSAErrorFromErrno(err) : WSAENOBUFS);
    return false;
  }
  s.WakeFd = fd;
  return true;
}

HANDLE StartLookup(HWND Wnd, UINT Msg, char* Buf, int BufLen, std::shared_ptr<TJob> Job) {
  TLookupState& s = State();
  if (!EnsureWakeDescriptor(s)) return 0;
  {
    std::lock_guard<std::mutex> lock(s.Mutex);
    if (s.Queued.size() >= static_cast<std::size_t>(s.Idle) && s.Threads < kMaxResolverThreads) {
      try {
        std::thread(ResolverThread, &s).detach();
        ++s.Threads;
      } catch (const std::system_error&) {
        // With one thread running the job merely waits its turn.
        if (s.Threads == 0) {
          WSASetLastError(WSAENOBUFS);
          return 0;
        }
      }
    }
    Job->Handle = s.NextHandle++;
    s.Queued.push_back(Job);
  }
  s.WorkReady.notify_one();
  HANDLE handle = Job->Handle;
  s.Requests.emplace(handle, TRequest{Wnd, Msg, Buf, BufLen, std::move(Job)});
  return handle;
}

}  // namespace

// ---- blocking lookups ----------------------------------------------------------------------

THostEnt* gethostbyname(const char* Name) {
  if (Name == nullptr) {
    WSASetLastError(WSAEFAULT);
    return nullptr;
  }
  thread_local THostStorage s;
  THostAnswer answer = ResolveName(Name, AF_INET);
  if (answer.Error != 0) {
    WSASetLastError(answer.Error);
    return nullptr;
  }
  s.Answer = std::move(answer);
  s.V4.clear();
  for (const THostAddress& addr : s.Answer.Addresses) {
    std::uint32_t v4;
    std::memcpy(&v4, addr.Bytes, 4);
    s.V4.push_back(v4);
  }
  s.AddrList.clear();
  for (std::uint32_t& addr : s.V4) s.AddrList.push_back(reinterpret_cast<char*>(&addr));
  s.AddrList.push_back(nullptr);
  s.Entry = THostEnt{s.Answer.Name.data(), s.NoAliases, static_cast<std::int16_t>(WS_AF_INET), 4,
                     s.AddrList.data()};
  return &s.Entry;
}

THostAddressList* gethostaddresses(const char* Name) {
  if (Name == nullptr) {
    WSASetLastError(WSAEFAULT);
    return nullptr;
  }
  thread_local THostAnswer s;
  thread_local THostAddressList list{};
  THostAnswer answer = ResolveName(Name, AF_UNSPEC);
  if (answer.Error != 0) {
    WSASetLastError(answer.Error);
    return nullptr;
  }
  s = std::move(answer);
  list = THostAddressList{static_cast<std::int32_t>(s.Addresses.size()), s.Addresses.data()};
  return &list;
}

// A name that the database does not hold is WSANO_DATA: the query was valid, there is no entry.
TServEnt* getservbyname(const char* Name, const char* Proto) {
  if (Name == nullptr) {
    WSASetLastError(WSAEFAULT);
    return nullptr;
  }
  thread_local TDbStorage<servent, TServEnt> s;
  servent* found = nullptr;
  int rc;
  while ((rc = ::getservbyname_r(Name, Proto, &s.Result, s.Scratch.data(), s.Scratch.size(),
                                 &found)) == ERANGE &&
         s.Grow()) {
  }
  if (found == nullptr) {
    WSASetLastError(rc == ERANGE ? WSAENOBUFS : WSANO_DATA);
    return nullptr;
  }
  // s_port holds the port in network order in its low 16 bits.
  s.Entry = TServEnt{found->s_name, found->s_aliases,
                      static_cast<std::int16_t>(static_cast<std::uint16_t>(found->s_port)),
                      found->s_proto};
  return &s.Entry;
}

TProtoEnt* getprotobyname(const char* Name) {
  if (Name == nullptr) {
    WSASetLastError(WSAEFAULT);
    return nullptr;
  }
  thread_local TDbStorage<protoent, TProtoEnt> s;
  protoent* found = nullptr;
  int rc;
  while ((rc = ::getprotobyname_r(Name, &s.Result, s.Scratch.data(), s.Scratch.size(), &found)) ==
             ERANGE &&
         s.Grow()) {
  }
  if (found == nullptr) {
    WSASetLastError(rc == ERANGE ? WSAENOBUFS : WSANO_DATA);
    return nullptr;
  }
  s.Entry = TProtoEnt{found->p_name, found->p_aliases, static_cast<std::int16_t>(found->p_proto)};
  return &s.Entry;
}

// ---- asynchronous lookups ------------------------------------------------------------------

namespace {

// The checks and the start that both lookups of a name share.
HANDLE StartNameLookup(TJobKind Kind, HWND Wnd, UINT Msg, const char* Name, char* Buf, int BufLen) {
  if (Name == nullptr || Buf == nullptr || BufLen < 0) {
    WSASetLastError(WSAEFAULT);
    return 0;
  }
  if (!IsWindow(Wnd)) {
    WSASetLastError(WSAEINVAL);
    return 0;
  }
  auto job = std::make_shared<TJob>();
  job->Kind = Kind;
  job->Name = Name;
  return StartLookup(Wnd, Msg, Buf, BufLen, std::move(job));
}

}  // namespace

HANDLE WSAAsyncGetHostByName(HWND Wnd, UINT Msg, const char* Name, char* Buf, int BufLen) {
  return StartNameLookup(TJobKind::HostByName, Wnd, Msg, Name, Buf, BufLen);
}

HANDLE WSAAsyncGetHostAddresses(HWND Wnd, UINT Msg, const char* Name, char* Buf, int BufLen) {
  return StartNameLookup(TJobKind::HostAddresses, Wnd, Msg, Name, Buf, BufLen);
}

HANDLE WSAAsyncGetHostByAddr(HWND Wnd, UINT Msg, const char* Addr, int Len, int Type, char* Buf,
                             int BufLen) {
  if (Addr == nullptr || Buf == nullptr || BufLen < 0) {
    WSASetLastError(WSAEFAULT);
    return 0;
  }
  if (Type != WS_AF_INET) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return 0;
  }
  if (Len != 4 || !IsWindow(Wnd)) {
    WSASetLastError(WSAEINVAL);
    return 0;
  }
  auto job = std::make_shared<TJob>();
  job->Kind = TJobKind::HostByAddr;
  std::memcpy(&job->Addr, Addr, 4);
  return StartLookup(Wnd, Msg, Buf, BufLen, std::move(job));
}

// A request whose answer has not been taken from the queue yet is withdrawn (0). A handle that was
// issued but whose request is over (its answer taken, or cancelled) gives WSAEALREADY; anything
// else WSAEINVAL.
int WSACancelAsyncRequest(HANDLE AsyncTaskHandle) {
  TLookupState& s = State();
  auto posted = s.Posted.find(AsyncTaskHandle);
  if (posted != s.Posted.end()) {
    bool waiting = loop::IsTokenQueued(posted->second);
    loop::RevokeToken(posted->second);
    s.Posted.erase(posted);
    if (waiting) return 0;  // withdrawn before anyone saw it
  }
  auto it = s.Requests.find(AsyncTaskHandle);
  if (it == s.Requests.end()) {
    bool issued = AsyncTaskHandle != 0 && AsyncTaskHandle < s.NextHandle;
    WSASetLastError(issued ? WSAEALREADY : WSAEINVAL);
    return SOCKET_ERROR;
  }
  std::shared_ptr<TJob> job = std::move(it->second.Job);
  s.Requests.erase(it);
  std::lock_guard<std::mutex> lock(s.Mutex);
  auto queued = std::find(s.Queued.begin(), s.Queued.end(), job);
  if (queued != s.Queued.end()) {
    s.Queued.erase(queued);  // no resolver has started on it: settled now
    ++s.Settled;
  }
  return 0;
}

namespace lookup {

bool WaitUntilResolvedForTest(HANDLE Request, int TimeoutMs) {
  TLookupState& s = State();
  auto it = s.Requests.find(Request);
  if (it == s.Requests.end()) return false;
  std::shared_ptr<TJob> job = it->second.Job;
  std::unique_lock<std::mutex> lock(s.Mutex);
  return s.JobResolved.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                                [&] { return job->Resolved; });
}

std::uint64_t SettledRequestCount() { return State().Settled; }

void SetHostsForTest(std::vector<THostsEntry> Entries) {
  TTestHosts& hosts = TestHosts();
  std::lock_guard<std::mutex> lock(hosts.Mutex);
  hosts.Entries = std::move(Entries);
}

}  // namespace lookup
}  // namespace platform
