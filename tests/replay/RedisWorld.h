// The redis world of the replay tests: two real redis servers and three redis-cli sessions
// recorded through the relay engine into a capture of our own writer. The replay library's tests
// and the command line's replay both start from it.
#pragma once

#include "ReplayTestSupport.h"
#include "relay/Relay.h"

namespace replaytest {

// Both servers and the recorded sessions, once for the suite: redis A holds a = "alpha" and
// greeting = "hello", redis B a = "alpha" and greeting = "hello there". Three redis-cli runs, each
// a session of its own: MGET a greeting, PING, ECHO done. (redis-cli reading commands from its
// input first asks for the docs of every command, which two servers give in two orders of their
// own: each run here takes its one command as arguments.)
struct TRedisWorld {
  TRedis A, B;
  TTempDir Dir;
  std::string Capture = Dir / "redis.pcapng";
  std::string Output;  // what redis-cli printed while recorded
  std::string Problem;  // why the world could not be set up

  TRedisWorld() {
    if (!HaveProgram("redis-server") || !HaveProgram("redis-cli")) {
      Problem = "redis-server and redis-cli are needed (scripts/install-deps installs them)";
      return;
    }
    if (A.Port == 0 || B.Port == 0) {
      Problem = "a redis-server did not start";
      return;
    }
    if (A.Cli("SET a alpha\nSET greeting hello\n") != "OK\nOK\n" ||
        B.Cli("SET a alpha\nSET greeting \"hello there\"\n") != "OK\nOK\n") {
      Problem = "the values could not be set";
      return;
    }
    auto writer = MakeTrafficWriter(sfCapture, Capture, false);
    TSavingSink saving(*writer, emText, nullptr);
    {
      TRelay relay(nullptr, &saving);
      TRelaySettings settings;
      settings.LocalPort = "0";
      settings.RemoteAddr = "127.0.0.1";
      settings.RemotePort = std::to_string(A.Port);
      relay.Listen(settings);
      const std::string port = relay.WSocketServer()->GetBoundPort();
      for (const std::vector<std::string>& command :
           {std::vector<std::string>{"MGET", "a", "greeting"}, {"PING"}, {"ECHO", "done"}}) {
        std::vector<std::string> args{"redis-cli", "-p", port};
        args.insert(args.end(), command.begin(), command.end());
        std::string out;
        RunPumping(args, "", &out);
        Output += out;
        PumpUntil([&] { return relay.SessionCount() == 0 && relay.WSocketServer()->ClientCount() == 0; });
      }
      relay.Cancel();
    }
    if (!writer->Close()) Problem = writer->Error();
  }
};

}  // namespace replaytest
