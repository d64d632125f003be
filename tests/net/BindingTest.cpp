// The socket-library binding: start-up exactly once per load, clean-up exactly once per release,
// entry points found under the names the wrappers ask for, and the error texts.
#include <gtest/gtest.h>

#include <string>

#include "net/SocketException.h"
#include "net/WinsockBinding.h"

namespace {

const char* const kAllFunctions[] = {
    "WSAStartup", "WSACleanup", "WSAGetLastError", "WSASetLastError", "WSAAsyncSelect",
    "WSAAsyncGetHostByName", "WSAAsyncGetHostByAddr", "WSACancelAsyncRequest", "gethostbyname",
    "getservbyname", "getprotobyname", "inet_addr", "inet_ntoa", "htons", "ntohs", "socket", "bind",
    "listen", "accept", "connect", "setsockopt", "getsockname", "getpeername", "ioctlsocket", "recv",
    "recvfrom", "send", "sendto", "shutdown", "closesocket"};

std::string LoadMessage(const std::string& Name) {
  try {
    winsock::LoadWinsockProc(Name);
  } catch (const ESocketException& E) {
    return E.Message();
  }
  return "(no exception)";
}

class BindingTest : public ::testing::Test {
protected:
  void SetUp() override { winsock::UnloadWinsock(); }
  void TearDown() override { winsock::UnloadWinsock(); }
};

TEST_F(BindingTest, FirstUseStartsTheLibraryOnceAndEmptyNameReturnsNull) {
  const int Started = platform::StartupCount();
  EXPECT_FALSE(winsock::WinsockLoaded());
  EXPECT_EQ(winsock::LoadWinsockProc(""), nullptr);
  EXPECT_TRUE(winsock::WinsockLoaded());
  EXPECT_EQ(winsock::LoadWinsockProc(""), nullptr);
  winsock::WSASetLastError(10048);
  EXPECT_EQ(winsock::WSAGetLastError(), 10048);
  EXPECT_EQ(platform::StartupCount(), Started + 1);
}

TEST_F(BindingTest, EveryWrappedNameResolvesToThePlatformFunction) {
  for (const char* Name : kAllFunctions) {
    void* Proc = winsock::LoadWinsockProc(Name);
    EXPECT_NE(Proc, nullptr) << Name;
    EXPECT_EQ(Proc, platform::FindSocketProc(Name)) << Name;
  }
  EXPECT_EQ(winsock::LoadWinsockProc("closesocket"),
            reinterpret_cast<void*>(&platform::closesocket));
}

TEST_F(BindingTest, UnknownOrMisspelledNameRaisesWithTheLibraryName) {
  for (const std::string Name : {"NoSuchFunction", "gethostbyaddr", "SOCKET", "WSAStartUp"}) {
    EXPECT_EQ(LoadMessage(Name), "Procedure " + Name + " not found in wsock32.dll Error #2");
  }
  // The failed lookup still loaded the library; nothing is left half-started.
  EXPECT_TRUE(winsock::WinsockLoaded());
}

TEST_F(BindingTest, ReleaseCleansUpOnceAndTheNextCallStartsAgain) {
  winsock::LoadWinsockProc("");
  winsock::WinsockUsers = 3;
  const int Started = platform::StartupCount();
  const int CleanedUp = platform::CleanupCount();
  winsock::UnloadWinsock();
  winsock::UnloadWinsock();  // already released: no second clean-up
  EXPECT_EQ(platform::CleanupCount(), CleanedUp + 1);
  EXPECT_FALSE(winsock::WinsockLoaded());
  EXPECT_EQ(winsock::WinsockUsers, 0);

  // The entry point cached before the release is forgotten, so this call goes through start-up.
  EXPECT_EQ(winsock::htons(0x0102), platform::htons(0x0102));
  EXPECT_TRUE(winsock::WinsockLoaded());
  EXPECT_EQ(platform::StartupCount(), Started + 1);
}

struct TErrorTextCase {
  std::int32_t Code;
  const char* Text;
};

const TErrorTextCase kErrorTexts[] = {
    {0, "No Error"},
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Address not available"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Connection aborted"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references: can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network sub-system is unusable"},
    {10092, "WinSock DLL cannot support this application"},
    {10093, "WinSock not initialized"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "Non-recoverable error"},
    {11004, "No Data"},
    // Gaps and neighbours of the table, and values no code can have.
    {10010, "Not a WinSock error"},
    {10072, "Not a WinSock error"},
    {10090, "Not a WinSock error"},
    {10094, "Not a WinSock error"},
    {11000, "Not a WinSock error"},
    {11005, "Not a WinSock error"},
    {-1, "Not a WinSock error"},
    {-10054, "Not a WinSock error"},
    {104, "Not a WinSock error"},  // ECONNRESET untranslated
};

TEST(WinsockErrorTextTest, EveryCodeHasItsExactTextAndOthersAreNotErrors) {
  for (const TErrorTextCase& Case : kErrorTexts) {
    EXPECT_EQ(WinsockErrorText(Case.Code), Case.Text) << Case.Code;
  }
}

}  // namespace
