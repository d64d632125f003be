// Writes the seeds of fuzz_capture_reader into the folder given: captures of every kind of session
// written by our own capture writer (read as files), and scripts for its round trip (see the
// fuzzer's header for their form). The seeds are committed; run it again after a change of the
// writer's output:  build-fuzz/fuzz/capture_seeds fuzz/corpus/fuzz_capture_reader
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "record/TrafficRecord.h"
#include "record/TrafficWriter.h"

namespace {

std::string Bytes(std::size_t Length, std::uint32_t Seed) {
  std::string s(Length, '\0');
  std::uint32_t x = Seed * 2654435761u + 1;
  for (auto& c : s) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
  return s;
}

struct TSession {
  TSessionInfo Info;
  std::vector<std::pair<TEntryDirection, std::string>> Chunks;
};

TSession Session(std::uint64_t Id, const char* Local, const char* Remote) {
  TSession s;
  s.Info.Id = Id;
  s.Info.LocalAddr = Local;
  s.Info.LocalPort = static_cast<std::uint16_t>(40000 + Id);
  s.Info.RemoteAddr = Remote;
  s.Info.RemotePort = 80;
  s.Info.LocalEnd = s.Info.RemoteEnd = seFinished;
  s.Info.State = ssClosed;
  return s;
}

bool Save(const std::string& Path, const std::vector<TSession>& Sessions) {
  TTrafficRecord record;
  std::int64_t t = 1765000000000000;
  for (const TSession& s : Sessions) {
    TSessionInfo info = s.Info;
    info.StartUs = t;
    const bool connects = info.State != ssFailed;
    if (connects) info.ConnectedUs = t + 100;
    record.SetSession(info);
    std::uint64_t offset[3] = {0, 0, 0};
    for (const auto& [direction, bytes] : s.Chunks) {
      t += 10;
      record.Add(direction == edFromLocal ? "From Local" : "From Remote", clBlack, emText,
                 {info.Id, direction, offset[direction]}, bytes, t + 100);
      offset[direction] += bytes.size();
    }
    info.EndUs = t + 1000;
    record.SetSession(info);
    t += 1000000;
  }
  std::string error;
  if (!SaveRecord(record, Path, sfCapture, error)) {
    std::fprintf(stderr, "capture_seeds: %s\n", error.c_str());
    return false;
  }
  return true;
}

bool Script(const std::string& Path, const std::string& Bytes) {
  std::ofstream out(Path, std::ios::binary);
  out << '\x01' << Bytes;
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: capture_seeds FOLDER\n");
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;

  TSession text = Session(3, "127.0.0.1", "10.0.0.5");
  text.Chunks = {{edFromLocal, "GET / HTTP/1.0\r\n\r\n"}, {edFromRemote, "HTTP/1.0 200 OK\r\n\r\n"}, {edFromRemote, "hello"}};
  TSession binary = Session(7, "127.0.0.1", "10.0.0.5");
  binary.Chunks = {{edFromLocal, Bytes(66000, 7)}, {edFromRemote, Bytes(300, 8)}};  // two segments
  binary.Info.RemoteEnd = seReset;
  binary.Info.State = ssReset;
  binary.Info.Reason = "Connection reset by peer";
  ok = Save(dir + "/text-and-binary", {text, binary}) && ok;

  TSession v6 = Session(1, "::1", "fe80::1");
  v6.Chunks = {{edFromLocal, "over IPv6\n"}, {edFromRemote, "ok\n"}};
  v6.Info.LocalEnd = seReset;
  v6.Info.RemoteEnd = seOpen;
  TSession mapped = Session(2, "::ffff:127.0.0.1", "::1");
  mapped.Chunks = {{edFromLocal, "mapped"}, {edFromRemote, "answered"}};
  ok = Save(dir + "/ipv6-and-mapped", {v6, mapped}) && ok;

  TSession refused = Session(4, "127.0.0.1", "10.0.0.9");
  refused.Info.State = ssFailed;
  refused.Info.LocalEnd = refused.Info.RemoteEnd = seOpen;
  refused.Info.Reason = "the connection to 10.0.0.9 port 80 failed: Connection refused";
  TSession unresolved = Session(5, "127.0.0.1", "");
  unresolved.Info.State = ssFailed;
  unresolved.Info.LocalEnd = unresolved.Info.RemoteEnd = seOpen;
  unresolved.Info.Reason = "no such host";
  TSession empty = Session(6, "127.0.0.1", "10.0.0.5");
  ok = Save(dir + "/refused-unresolved-empty", {refused, unresolved, empty}) && ok;

  std::vector<TSession> many;
  for (std::uint64_t id = 10; id < 20; ++id) {
    TSession s = Session(id, "127.0.0.1", "127.0.0.2");
    for (int i = 0; i < 3; ++i) {
      s.Chunks.push_back({edFromLocal, "*1\r\n$4\r\nPING\r\n"});
      s.Chunks.push_back({edFromRemote, "+PONG\r\n"});
    }
    many.push_back(s);
  }
  ok = Save(dir + "/many-sessions", many) && ok;

  // Scripts: a session with chunks both ways, a lost chunk and both ends; a second session in
  // IPv6 reset by its local side. Then a big chunk, a failed attempt and a switch back.
  auto op = [](std::string& S, int Kind, int Argument) { S += static_cast<char>(Kind | (Argument << 3)); };
  auto chunk = [&](std::string& S, int Kind, int Argument, const std::string& Bytes) {
    op(S, Kind, Argument);
    S += static_cast<char>(Bytes.size());
    if ((Argument & 2) == 0) S += Bytes;
  };
  std::string a;
  op(a, 0, 0);
  chunk(a, 1, 0, "abc");
  chunk(a, 2, 0, "xy");
  chunk(a, 1, 1, "lost");
  op(a, 3, 0);
  op(a, 4, 0);
  op(a, 0, 1);
  chunk(a, 1, 0, "hello");
  op(a, 5, 1);
  ok = Script(dir + "/script-ends-and-lost", a) && ok;
  std::string b;
  op(b, 0, 0);
  chunk(b, 2, 2, "x");  // 70,000 bytes of the length byte, 1
  op(b, 6, 0);
  op(b, 7, 0);
  chunk(b, 1, 0, "ok!");
  op(b, 5, 2);
  ok = Script(dir + "/script-big-failed-switch", b) && ok;
  return ok ? 0 : 1;
}
