// Saved captures read back with a real reader, tshark: the bytes of each TCP stream as "Follow TCP
// Stream" shows them, and queries over the packets. A missing tshark fails the test that needs it
// (scripts/install-deps installs it): a capture that nobody read proves nothing.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace capturetest {

inline bool HaveTshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

// Runs a shell command; its standard output, and its exit status in Status.
inline std::string RunCommand(const std::string& Command, int& Status) {
  std::string out;
  FILE* p = ::popen(Command.c_str(), "r");
  if (p == nullptr) {
    Status = -1;
    return out;
  }
  char buf[1 << 16];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int status = ::pclose(p);
  Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

inline std::string Quoted(const std::string& Path) {
  std::string q = "'";
  for (char c : Path) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// tshark's output for a query (-T fields ... or any other options), each line one packet.
inline std::vector<std::string> Tshark(const std::string& Path, const std::string& Options) {
  int status = 0;
  const std::string out = RunCommand("tshark -r " + Quoted(Path) + " " + Options + " 2>/dev/null", status);
  EXPECT_EQ(status, 0) << "tshark " << Options << " on " << Path;
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < out.size();) {
    std::size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    lines.push_back(out.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// One TCP stream as followed: its two ends as tshark names them ("ADDRESS:PORT"), node 0 being
// the end that sent the first packet, and the bytes each end sent.
struct TFollowed {
  std::string Node[2];
  std::string Bytes[2];
};

inline std::string Unhex(const std::string& Hex) {
  std::string out;
  auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 0; i + 1 < Hex.size(); i += 2) out += static_cast<char>(digit(Hex[i]) * 16 + digit(Hex[i + 1]));
  return out;
}

// Every TCP stream of the capture, by tshark's stream number, from one run of tshark.
inline std::map<int, TFollowed> FollowAll(const std::string& Path) {
  std::map<int, TFollowed> streams;
  int count = -1;
  for (const std::string& line : Tshark(Path, "-T fields -e tcp.stream"))
    if (!line.empty()) count = std::max(count, std::atoi(line.c_str()));
  if (count < 0) return streams;
  std::string options = "-q";
  for (int i = 0; i <= count; ++i) options += " -z follow,tcp,raw," + std::to_string(i);
  TFollowed* current = nullptr;
  for (const std::string& line : Tshark(Path, options)) {
    if (line.rfind("Filter: tcp.stream eq ", 0) == 0) {
      current = &streams[std::atoi(line.c_str() + 22)];
    } else if (current == nullptr || line.empty() || line[0] == '=') {
      continue;  // the frame of a block, or what comes before the first
    } else if (line.rfind("Node 0: ", 0) == 0) {
      current->Node[0] = line.substr(8);
    } else if (line.rfind("Node 1: ", 0) == 0) {
      current->Node[1] = line.substr(8);
    } else if (line.rfind("Follow: ", 0) == 0) {
    } else if (line[0] == '\t') {
      current->Bytes[1] += Unhex(line.substr(1));
    } else {
      current->Bytes[0] += Unhex(line);
    }
  }
  return streams;
}

// The stream whose node 0 ends in ":Port", the client's port; null when there is none.
inline const TFollowed* StreamFrom(const std::map<int, TFollowed>& Streams, std::uint16_t Port) {
  const std::string tail = ":" + std::to_string(Port);
  for (const auto& [n, s] : Streams)
    if (s.Node[0].size() > tail.size() && s.Node[0].compare(s.Node[0].size() - tail.size(), tail.size(), tail) == 0)
      return &s;
  return nullptr;
}

// Packets that tshark finds fault with: malformed, a bad IP or TCP checksum, an expert error.
inline std::vector<std::string> Faults(const std::string& Path) {
  return Tshark(Path,
                "-o tcp.check_checksum:TRUE -o ip.check_checksum:TRUE -Y '_ws.malformed || tcp.checksum.status == 0 || "
                "ip.checksum.status == 0 || _ws.expert.severity >= 8388608'");
}

}  // namespace capturetest
