// Public. The relay engine: the listening server and every relay session, with no window.
//
// The main window drives it (Listen, Cancel, the line mode) and shows what its events report; the
// headless mode drives the same engine from the command line. Entries and session facts go to a
// TEntrySink: the log window, or standard output.
//
// Every accepted connection becomes one session (TRelaySession, relay/RelaySession.h): the accepted
// socket is a TClient (the local side), which owns the outgoing TWSocket, Remote (the remote side).
// Each session has a number, unique for the program's run, that its entries carry. One session
// object holds the state of both sockets, also after the TClient has gone while its Remote still
// delivers the local client's last bytes:
//
//   accepted -> [Resolving] -> [Connecting] -> [Relaying] -> the local client closes -> TClient
//   destroyed ("Connection Closed") -> Remote goes at once, or, holding bytes of the local
//   client, stays owned by the engine until it has delivered them and the remote side has closed.
//
// Everything runs on the loop thread; handlers never destroy the socket that raised them.
//
// The engine's parts, a file each:
//   Relay.cpp            the server, Listen and Cancel, setting a session up, its entries and facts
//   RelaySettings.cpp    checking the settings before anything listens, reading port texts
//   ConnectAttempts.cpp  the lookup and the attempts to connect, one address after another
//   RelayLoop.cpp        telling a relay into itself from a client
//   Forwarding.cpp       the data path both ways and its flow control
//   SessionEnds.cpp      passing on ends and resets, and a session's end
//   Sending.cpp          bytes the user sends into a session (Send), and numbers for sessions
//                        made elsewhere
//   SessionTls.cpp       TLS on either leg: the client's hello, the handshakes, their entries
//   FaultPath.cpp        the sessions' chains of stages, and faults on demand
//   InterceptPath.cpp    Intercept: held chunks, the decisions on them, their entries
// TLS, faults and intercept each join as one more such part, on the data path's seams (see
// Forwarding.cpp: ForwardFromLocal and ForwardFromRemote).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "net/WSocketS.h"
#include "record/EntrySink.h"
#include "relay/RelaySession.h"
#include "relay/RelaySettings.h"
#include "stream/FaultStage.h"
#include "stream/InterceptStage.h"

// The session colours, by the number of clients at set-up (1 to 11); more clients take black.
extern const TColor ConnectionColors[11];
TColor ConnectionColor(std::int32_t ClientCount);

// The side of a session that bytes sent into it go to.
enum TSendTo : std::uint8_t {
  stRemote = 0,  // on the way the local client's bytes go (logged "Sent to Remote")
  stLocal = 1,   // on the way the remote side's bytes go ("Sent to Local")
};

// One accepted connection, the local side of a relay session. The session is made with it; its
// three fields are the session's own, seen from the client.
class TClient : public TWSocketClient {
public:
  explicit TClient(TComponent* AOwner);
  ~TClient() override;
  // Line mode while the session looks for a TLS hello: a hello holds no line end, so bytes that
  // start a TLS record and wait in the line buffer are handed to the engine as they are.
  bool NotifyDataAvailable(std::uint16_t Error) override;

private:
  friend class TRelay;
  std::shared_ptr<TRelaySession> FSession;  // shared with the engine once the session is set up

public:
  std::string& PendingLocal;  // local data not yet forwarded to the remote side
  TColor& LogColor;           // of the session's entries; black until it is set up
  TWSocket*& Remote;          // owned; created when the session is set up
};

class TRelay : public TComponent {
public:
  explicit TRelay(TComponent* AOwner, TEntrySink* Sink = nullptr);
  ~TRelay() override;

  // The listening server, owned by the engine, configured once when the engine is made.
  TWSocketServer* WSocketServer() const noexcept { return FServer; }

  TEntrySink* Sink() const noexcept { return FSink; }
  void SetSink(TEntrySink* Value) noexcept { FSink = Value; }

  // The settings: the remote address and port apply to the sessions set up afterwards, the local
  // port to the next Listen. SetSettings leaves the current sessions' line mode alone.
  const TRelaySettings& Settings() const noexcept { return FSettings; }
  void SetSettings(const TRelaySettings& Value) { FSettings = Value; }
  // Listens on all local addresses at the local port of the settings. Settings that cannot work
  // are refused first: a port out of range or that names nothing, an empty remote address, a
  // remote address and port that are this relay's own, TLS settings whose files cannot be used.
  // A failure raises (ESocketException) and leaves the engine idle.
  void Listen();
  void Listen(const TRelaySettings& Settings);
  // Closes every session gracefully, cuts those still delivering, then closes the listening
  // socket (OnSessionClosed is raised before Cancel returns).
  void Cancel();
  bool Listening() const;

  // The line mode of new sessions; setting it switches every current session, both sockets.
  bool LineMode() const noexcept { return FSettings.LineMode; }
  void SetLineMode(bool Value);

  // How long an attempt to connect to one of the remote host's addresses may go unanswered before
  // the next address is tried; the last address waits for the system's own timeout.
  std::int32_t ConnectAttemptMs() const noexcept { return FConnectAttemptMs; }
  void SetConnectAttemptMs(std::int32_t Value) noexcept { FConnectAttemptMs = Value > 0 ? Value : 1; }

  // The engine's own messages (the next connection attempt, its timer).
  void HandleMessage(platform::UINT Msg, platform::WPARAM WParam);

  // Faults on demand (FaultPath.cpp): the listener's faults, for the sessions to come and, from
  // their next byte on, the open ones. FaultHeldBytes: what the sessions' stages hold (a test's and
  // a benchmark's view of the relay's memory).
  const TFaultSet& Faults() const noexcept { return FFaults.Faults(); }
  void SetFaults(const TFaultSet& Value);
  std::size_t FaultHeldBytes() const;
  // Intercept (InterceptPath.cpp): the chunks of the directions Value covers that contain its
  // match are held, in the sessions to come and, from their next chunk on, the open ones; each is
  // logged ("Intercept: held #N to Remote", with its bytes) and raises OnChunkHeld. Switched off,
  // or for a direction the new setting leaves out, every queue lets go in order. FaultHeldBytes
  // counts what the intercept stages hold too.
  const TInterceptSettings& Intercept() const noexcept { return FIntercept; }
  void SetIntercept(const TInterceptSettings& Value);
  // Decides held chunk Number: forwarded, forwarded as Edited (any length, not empty), or dropped.
  // It leaves once the chunks before it in its direction have, and raises OnChunkLeft then.
  // Refused (false, Error one line) when no such chunk is held, or, for a forward, when the side
  // it goes to has closed.
  bool InterceptDecide(std::uint64_t Number, TInterceptAction How, const std::string& Edited, std::string& Error);
  // Every held chunk of every session forwarded as it is, each direction in order.
  void InterceptForwardAll();
  // Chunks held and not yet gone, every session.
  std::size_t InterceptHeldCount() const noexcept { return FHeldChunks.size(); }
  std::function<void(const TInterceptedChunk& Chunk)> OnChunkHeld;
  // Chunk Number has left its queue: forwarded, edited, dropped, or lost with its session.
  std::function<void(std::uint64_t Number, TInterceptAction How)> OnChunkLeft;
  // Sends Bytes into session Id toward To, queued behind everything the engine has already queued
  // that way, so that the stream keeps its order; logged as an entry of its own, "Sent to Remote"
  // or "Sent to Local", in the session's colour, in that direction's stream and marked injected.
  // Refused (false, nothing sent or logged, Error one line) when the session has ended, its
  // remote side is not connected yet, or the way toward To has ended or been reset. Empty Bytes
  // are refused too: they would log an entry that sends nothing.
  bool Send(std::uint64_t Id, TSendTo To, const std::string& Bytes, std::string& Error);
  // Whether Send toward To would be taken now; Error says why not.
  bool CanSend(std::uint64_t Id, TSendTo To, std::string& Error) const;
  // A session number for a session that another part of the program makes (a replay, a resend
  // into a new connection): never one that a relayed session has or will have.
  static std::uint64_t NewSessionNumber();
  // Whether session Id is still being relayed (not ended).
  bool HasSession(std::uint64_t Id) const { return FSessions.count(Id) != 0; }

  // Sessions not yet ended, and those of them whose TClient has gone while Remote delivers.
  std::int32_t SessionCount() const noexcept { return static_cast<std::int32_t>(FSessions.size()); }
  std::int32_t DrainingCount() const noexcept { return FDrainingCount; }

  // ---- handlers of the server and of the sessions' sockets ----
  void WSocketServerClientConnect(TComponent* Sender, TWSocketClient* Client, std::uint16_t Error);
  void WSocketServerClientDisconnect(TComponent* Sender, TWSocketClient* Client, std::uint16_t Error);
  void WSocketServerSessionClosed(TComponent* Sender, std::uint16_t Error);
  void WSocketServerClientCreate(TComponent* Sender, TWSocketClient* Client);
  void ClientDataAvailable(TComponent* Sender, std::uint16_t Error);
  void ClientLineLimitExceeded(TComponent* Sender, std::int32_t RcvdLength, bool& ClearData);
  void ClientPeerShutdown(TComponent* Sender, std::uint16_t Error);
  void ClientSessionClosed(TComponent* Sender, std::uint16_t Error);
  void RemoteDnsLookupDone(TComponent* Sender, std::uint16_t Error);
  void RemoteSessionConnected(TComponent* Sender, std::uint16_t Error);
  void RemoteDataAvailable(TComponent* Sender, std::uint16_t Error);
  void RemoteLineLimitExceeded(TComponent* Sender, std::int32_t RcvdLength, bool& ClearData);
  void RemotePeerShutdown(TComponent* Sender, std::uint16_t Error);
  void RemoteSessionClosed(TComponent* Sender, std::uint16_t Error);
  void ClientDataSent(TComponent* Sender, std::uint16_t Error);
  void RemoteDataSent(TComponent* Sender, std::uint16_t Error);
  void BgException(TComponent* Sender, Exception& E, bool& CanClose);

  // ---- events, for what a window shows; Sender is the engine ----
  // A session has been set up (its client is in the server's list, its lookup started).
  TWSocketClientConnectEvent OnClientConnect;
  // A client is about to be disposed of; it is still in the server's list.
  TWSocketClientConnectEvent OnClientDisconnect;
  // The listening socket has closed, after Cancel or for any other reason: the engine is idle.
  TSessionClosed OnSessionClosed;
  // An exception escaped a handler of one of the engine's sockets, which is then aborted; for a
  // driver that reports it (the window shows nothing). Sender is the socket.
  TBgExceptionEvent OnBgException;

protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

private:
  friend class TClient;

  // Relay.cpp: sessions, their entries and facts, accepting.
  TRelaySession* SessionOf(const TComponent* Socket) const;
  void NewSession(TClient& Client);
  void Entry(TRelaySession& S, const char* Title, const std::string& Body = std::string(),
             TEntryDirection Direction = edNone, bool Injected = false);
  void LocalEntry(TRelaySession& S, const char* Title);
  void WriteHeldLocalEntries(TRelaySession& S);
  void SessionChanged(TRelaySession& S);
  void ResumeAccepting();
  // ConnectAttempts.cpp: the lookup and the attempts to connect.
  void StartAttempt(TRelaySession& S);
  void Attempt(TRelaySession& S);
  void AttemptFailed(TRelaySession& S, const std::string& Why);
  void PostLookupFailure(TRelaySession& S, std::uint16_t Error);
  void RefuseLocal(TRelaySession& S);
  void Fail(TRelaySession& S, const std::string& Reason);
  // RelayLoop.cpp: a relay into itself.
  TRelaySession* LoopOrigin(TClient& Client);
  void CutLoop(TClient& Client, TRelaySession& Origin);
  void RegisterOutgoing(TRelaySession& S);
  void ForgetOutgoing(TRelaySession& S);
  // Forwarding.cpp: the data path both ways; ForwardFromLocal and ForwardFromRemote are its seams.
  void LocalData(TClient& Client, const std::string& Data);
  void RemoteData(TWSocket& Remote, const std::string& Data);
  void ForwardLocal(TRelaySession& S);
  void ForwardFromLocal(TRelaySession& S, const std::string& Chunk);
  bool ForwardFromRemote(TRelaySession& S, TWSocket& From, const std::string& Chunk);
  static void Flush(std::string& Lines, TWSocket& To);
  static void HoldBack(TWSocket& From, TWSocket& To);
  // FaultPath.cpp: the sessions' chains and their fault stages.
  TStageChain& Chain(TRelaySession& S, TFaultDirection D);
  void AttachStages(TRelaySession& S);
  bool StagesHold(const TRelaySession& S, TFaultDirection D) const;
  bool EndIntoStages(TRelaySession& S, TFaultDirection D);
  bool ResetIntoStages(TRelaySession& S, TFaultDirection D);
  bool LocalEndInStages(const TRelaySession& S) const;
  void StagePassed(std::uint64_t Id, TFaultDirection D, std::string_view Bytes);
  void StageEnded(std::uint64_t Id, TFaultDirection D, TStreamEnd How);
  void StageHeld(std::uint64_t Id, TFaultDirection D, bool Pause);
  bool RefuseAtAccept(TClient& Client);
  void DropStages(TRelaySession& S);
  // InterceptPath.cpp: the sessions' intercept stages.
  void AttachIntercept(TRelaySession& S);
  void InterceptHeld(std::uint64_t Id, const TInterceptedChunk& Chunk);
  void InterceptLeft(std::uint64_t Id, const TInterceptedChunk& Chunk, TInterceptAction How, std::string_view Sent);
  void LogPassed(TRelaySession& S, TFaultDirection D, std::string_view Bytes);
  void AbandonIntercept(TRelaySession& S);
  // SessionEnds.cpp: the ends of a session.
  void PassLocalEnd(TRelaySession& S);
  void PassRemoteEnd(TRelaySession& S);
  void PassLocalReset(TRelaySession& S);
  void PassRemoteReset(TRelaySession& S);
  void CutSession(TRelaySession& S);
  bool ClientGone(TClient& Client);
  void Forget(TRelaySession& S);
  // SessionTls.cpp: TLS on either leg.
  void TlsNewSession(TRelaySession& S);
  bool TlsLocalData(TRelaySession& S, std::string& Data);
  void TlsRemoteConnected(TRelaySession& S, bool BeforeLocalBytes);
  void TlsStartRemote(TRelaySession& S);
  void TlsStartLocal(TRelaySession& S);
  void TlsHandshake(TRelaySession& S, bool Local, std::uint16_t Error);
  void TlsPeerEnded(TRelaySession& S, bool Local);
  void TlsBroken(TRelaySession& S, bool Local);
  void TlsLocalEnded(TRelaySession& S);

  TWSocketServer* FServer = nullptr;
  platform::HWND FWindow = 0;
  std::int32_t FConnectAttemptMs = 1000;
  TEntrySink* FSink = nullptr;
  TRelaySettings FSettings;
  std::unordered_map<std::uint64_t, std::shared_ptr<TRelaySession>> FSessions;
  std::int32_t FDrainingCount = 0;
  bool FAcceptResting = false;  // accepting paused after the system ran out of descriptors
  std::unordered_map<std::uint16_t, std::uint64_t> FOutgoing;  // Remotes' local ports, to their sessions
  std::shared_ptr<TRelayTls> FTls;  // the contexts of the last Listen; null without TLS
  TFaults FFaults;
  TInterceptSettings FIntercept;
  // The held chunks, by number: their session and direction.
  std::unordered_map<std::uint64_t, std::pair<std::uint64_t, TFaultDirection>> FHeldChunks;
  std::vector<std::unique_ptr<TStageChain>> FDeadStages;  // of ended sessions, destroyed from the loop
  TStageTimer FFreeStages;
};
