// The command line, parsed by Qt Core's QCommandLineParser: it knows long options with "=value" or
// a separate value, reports unknown options and missing values, and needs no application object.
// What it cannot know (the ranges of ports, which options go together) is checked here.
#include "relay/CommandLine.h"

#include <QCommandLineParser>
#include <QStringList>

#include <sys/resource.h>

#include <cstdio>

#include "record/TrafficWriter.h"

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "unknown"
#endif

namespace {

struct TOptionText {
  const char* Name;
  const char* Value;  // null for a switch
  const char* Help;
};

// Every option, in the order --help lists them.
constexpr TOptionText kOptions[] = {
    {"local-port", "P", "port to listen on, 1-65535 (0: any free port, printed at start; headless only)"},
    {"remote-addr", "HOST", "remote host name or address that every client is relayed to"},
    {"remote-port", "P", "remote port, 1-65535"},
    {"line-mode", nullptr, "relay line by line (CR LF) instead of chunk by chunk"},
    {"hex", nullptr, "show entries as hex dumps instead of text"},
    {"listen", nullptr, "windows: press \"Listen\" once the windows are up"},
    {"headless", nullptr, "no windows: relay and write every entry to standard output"},
    {"quiet", nullptr, "headless: relay without writing entries"},
    {"save", "PATH", "headless: also save it as it flows: FILE.pcapng, FILE.txt or DIR/ (raw streams)"},
    {"remote-tls", nullptr, "TLS toward the remote side from the first byte"},
    {"local-tls", nullptr, "the local client speaks TLS from its first byte; the relay terminates it"},
    {"detect-tls", nullptr, "TLS wherever the local client starts it (STARTTLS, SSLRequest): both legs from its hello on"},
    {"cert", "FILE", "the local side's certificate (PEM, its chain may follow); default: the built-in authority issues one"},
    {"key", "FILE", "the key of --cert (PEM)"},
    {"client-cert", "FILE", "a client certificate for the remote side (mutual TLS)"},
    {"client-key", "FILE", "the key of --client-cert"},
    {"remote-ca", "FILE", "trust these CA certificates (PEM) for the remote side instead of the system's store"},
    {"insecure", nullptr, "do not verify the remote side's certificate (the log says so)"},
    {"sni", "NAME", "the server name sent to and checked at the remote side; default: the remote host"},
    {"keylog", "FILE", "append the session keys of both legs to FILE (NSS key log format)"},
    {"print-ca", nullptr, "print the built-in authority's certificate (PEM) and exit"},
    {"replay", "FILE", "replay the sessions of a saved capture against the remote side and compare the answers"},
    {"session", "N", "replay: only the session numbered N (the number the log showed)"},
    {"settle", "MS", "replay: send each chunk once the remote side has been quiet this long (default 200)"},
    {"original-timing", nullptr, "replay: send each chunk at its recorded time instead"},
    {"ignore", "REGEX", "replay: leave out of the comparison what this regular expression matches (repeatable)"},
    {"fault", "RULE", "inject a fault, repeatable: DIRECTION:KIND=VALUE[,NAME=VALUE...] or refuse=P (see below)"},
    {"help", nullptr, "show this help and exit"},
    {"version", nullptr, "show the version and exit"},
};

// A port as typed on the command line: decimal digits only, within Low..65535.
bool CheckPort(const QString& Option, const QString& Text, int Low, std::string& Out, std::string& Error) {
  bool digits = !Text.isEmpty() && Text.size() <= 5;
  for (QChar c : Text) digits = digits && c >= u'0' && c <= u'9';
  const int value = digits ? Text.toInt() : -1;
  if (value < Low || value > 65535) {
    Error = "--" + Option.toStdString() + ": expected a port number from " + std::to_string(Low) +
            " to 65535, got '" + Text.toStdString() + "'";
    return false;
  }
  Out = std::to_string(value);
  return true;
}

// Decimal digits only: the number parsers also take signs and spaces.
bool IsDigits(const QString& Text) {
  if (Text.isEmpty()) return false;
  for (QChar c : Text)
    if (c < u'0' || c > u'9') return false;
  return true;
}

// A repeated option counts with its last value, as in most tools.
std::optional<QString> LastValue(const QCommandLineParser& Parser, const char* Name) {
  const QStringList v = Parser.values(QString::fromLatin1(Name));
  if (v.isEmpty()) return std::nullopt;
  return v.last();
}

// The relay's values: its ports, the remote address and --save.
bool ReadRelayValues(const QCommandLineParser& Parser, TCommandLine& c, std::string& Error) {
  if (auto v = LastValue(Parser, "local-port")) {
    std::string port;
    // Any free port makes sense only where the port chosen can be told: headless, on standard error.
    if (!CheckPort(QStringLiteral("local-port"), *v, c.Headless ? 0 : 1, port, Error)) return false;
    c.LocalPort = port;
  }
  if (auto v = LastValue(Parser, "remote-port")) {
    std::string port;
    if (!CheckPort(QStringLiteral("remote-port"), *v, 1, port, Error)) return false;
    c.RemotePort = port;
  }
  if (auto v = LastValue(Parser, "remote-addr")) {
    if (v->trimmed().isEmpty()) {
      Error = "--remote-addr: expected a host name or address, got an empty text";
      return false;
    }
    c.RemoteAddr = v->toStdString();
  }
  if (auto v = LastValue(Parser, "save")) {
    c.Save = v->toLocal8Bit().toStdString();
    if (!SaveFormatOf(c.Save)) {
      Error = "--save: expected a file ending in .pcapng or .txt, or a folder (ending in /), got '" + c.Save + "'";
      return false;
    }
  }
  return true;
}

// The TLS values: which legs, and the files and names they take (the files are read at Listen).
bool ReadTlsValues(const QCommandLineParser& Parser, TCommandLine& c, std::string& Error) {
  c.PrintCa = Parser.isSet(QStringLiteral("print-ca"));
  TTlsSettings& t = c.Tls;
  t.RemoteTls = Parser.isSet(QStringLiteral("remote-tls"));
  t.LocalTls = Parser.isSet(QStringLiteral("local-tls"));
  t.DetectTls = Parser.isSet(QStringLiteral("detect-tls"));
  t.Insecure = Parser.isSet(QStringLiteral("insecure"));
  struct TTextOption {
    const char* Name;
    std::string* To;
  };
  for (TTextOption o : {TTextOption{"cert", &t.CertFile}, TTextOption{"key", &t.KeyFile},
                        TTextOption{"client-cert", &t.ClientCertFile}, TTextOption{"client-key", &t.ClientKeyFile},
                        TTextOption{"remote-ca", &t.CaFile}, TTextOption{"sni", &t.ServerName},
                        TTextOption{"keylog", &t.KeyLogFile}}) {
    if (auto v = LastValue(Parser, o.Name)) {
      if (v->isEmpty()) {
        Error = std::string("--") + o.Name + ": expected " + (std::string(o.Name) == "sni" ? "a name" : "a file") +
                ", got an empty text";
        return false;
      }
      *o.To = v->toLocal8Bit().toStdString();
    }
  }
  return true;
}

// The replay's values: the capture, the session, the settle time, the timing and the ignore rules.
bool ReadReplayValues(const QCommandLineParser& Parser, TCommandLine& c, std::string& Error) {
  if (auto v = LastValue(Parser, "replay")) {
    c.Replay = v->toLocal8Bit().toStdString();
    if (c.Replay.empty()) {
      Error = "--replay: expected the path of a capture file (.pcapng), got an empty text";
      return false;
    }
  }
  if (auto v = LastValue(Parser, "session")) {
    bool ok = false;
    const qulonglong n = v->toULongLong(&ok);
    if (!ok || n == 0 || !IsDigits(*v)) {
      Error = "--session: expected a session number from 1 up, got '" + v->toStdString() + "'";
      return false;
    }
    c.Session = n;
  }
  if (auto v = LastValue(Parser, "settle")) {
    bool ok = false;
    const qulonglong ms = v->toULongLong(&ok);
    if (!ok || ms > kMaxSettleMs || !IsDigits(*v)) {
      Error = "--settle: expected milliseconds from 0 to " + std::to_string(kMaxSettleMs) + ", got '" +
              v->toStdString() + "'";
      return false;
    }
    c.SettleMs = static_cast<std::uint32_t>(ms);
  }
  c.OriginalTiming = Parser.isSet(QStringLiteral("original-timing"));
  // Every rule counts, in the order given; the replay compiles them and names one that does not.
  for (const QString& v : Parser.values(QStringLiteral("ignore"))) c.Ignore.push_back(v.toStdString());
  return true;
}

// The faults: every --fault counts, a later one of the same kind and direction replacing an earlier.
bool ReadFaultValues(const QCommandLineParser& Parser, TCommandLine& c, std::string& Error) {
  for (const QString& f : Parser.values(QStringLiteral("fault"))) {
    TFaultSpec rule;
    if (!ParseFault(f.toStdString(), rule, Error)) {
      Error = "--fault: " + Error;
      return false;
    }
    c.Faults.Set(rule);
  }
  return true;
}

// Options that belong to a TLS leg that is off would be ignored without a word: refused instead.
bool CheckTlsCombinations(const TTlsSettings& t, std::string& Error) {
  auto pair = [&](const std::string& A, const std::string& B, const char* NameA, const char* NameB) {
    if (A.empty() == B.empty()) return true;
    Error = std::string("--") + (A.empty() ? NameA : NameB) + " is needed with --" + (A.empty() ? NameB : NameA);
    return false;
  };
  if (!pair(t.CertFile, t.KeyFile, "cert", "key") ||
      !pair(t.ClientCertFile, t.ClientKeyFile, "client-cert", "client-key"))
    return false;
  if (!t.LocalLeg() && !t.CertFile.empty()) {
    Error = "--cert and --key: only with --local-tls or --detect-tls";
    return false;
  }
  if (!t.RemoteLeg()) {
    for (auto [set, name] : {std::pair{!t.ClientCertFile.empty(), "--client-cert and --client-key"},
                             std::pair{!t.CaFile.empty(), "--remote-ca"}, std::pair{t.Insecure, "--insecure"},
                             std::pair{!t.ServerName.empty(), "--sni"}}) {
      if (set) {
        Error = std::string(name) + ": only with --remote-tls or --detect-tls";
        return false;
      }
    }
  }
  if (!t.Any() && !t.KeyLogFile.empty()) {
    Error = "--keylog: only with --remote-tls, --local-tls or --detect-tls";
    return false;
  }
  if (t.Insecure && !t.CaFile.empty()) {
    Error = "--insecure and --remote-ca: verification is either skipped or done against the CA file, not both";
    return false;
  }
  return true;
}

// Which options go together: the replay listens on nothing, the replay's options need it, the
// headless mode needs the three settings, --quiet and --save need the headless mode, and the TLS
// options need their leg.
bool CheckCombinations(const QCommandLineParser& Parser, const TCommandLine& c, std::string& Error) {
  if (!c.Replay.empty()) {
    for (auto [set, name] : {std::pair{c.Headless, "--headless"}, std::pair{c.LocalPort.has_value(), "--local-port"},
                             std::pair{c.Listen, "--listen"}, std::pair{c.LineMode, "--line-mode"},
                             std::pair{c.Quiet, "--quiet"}, std::pair{!c.Faults.Empty(), "--fault"}}) {
      if (set) {
        Error = std::string(name) + ": not with --replay, which connects to the remote side and listens on nothing";
        return false;
      }
    }
    return true;
  }
  for (const char* name : {"session", "settle", "original-timing", "ignore"}) {
    if (Parser.isSet(QString::fromLatin1(name))) {
      Error = std::string("--") + name + ": only with --replay FILE";
      return false;
    }
  }
  if (c.Headless) {
    for (auto [set, name] : {std::pair{c.LocalPort.has_value(), "--local-port"},
                             std::pair{c.RemoteAddr.has_value(), "--remote-addr"},
                             std::pair{c.RemotePort.has_value(), "--remote-port"}}) {
      if (!set) {
        Error = std::string("--headless needs ") + name + " (see --help)";
        return false;
      }
    }
    if (c.Listen) {
      Error = "--listen: only for the windows; --headless listens at once";
      return false;
    }
  } else if (c.Quiet) {
    Error = "--quiet: only with --headless";
    return false;
  } else if (!c.Save.empty()) {
    Error = "--save: only with --headless or --replay; the windows save with \"Save As...\" in the log's menu";
    return false;
  }
  return CheckTlsCombinations(c.Tls, Error);
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& Args, TCommandLine& Out, std::string& Error) {
  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  for (const TOptionText& o : kOptions) {
    QCommandLineOption option(QString::fromLatin1(o.Name), QString::fromLatin1(o.Help));
    if (o.Value != nullptr) option.setValueName(QString::fromLatin1(o.Value));
    parser.addOption(option);
  }
  QStringList arguments{QStringLiteral("vantrel")};
  for (const std::string& a : Args) arguments << QString::fromLocal8Bit(a.data(), static_cast<qsizetype>(a.size()));
  if (!parser.parse(arguments)) {
    Error = parser.errorText().toStdString();
    return false;
  }
  if (!parser.positionalArguments().isEmpty()) {
    Error = "unexpected argument '" + parser.positionalArguments().first().toStdString() + "' (options start with --)";
    return false;
  }
  TCommandLine c;
  c.Help = parser.isSet(QStringLiteral("help"));
  c.Version = parser.isSet(QStringLiteral("version"));
  c.Headless = parser.isSet(QStringLiteral("headless"));
  c.Listen = parser.isSet(QStringLiteral("listen"));
  c.LineMode = parser.isSet(QStringLiteral("line-mode"));
  c.Hex = parser.isSet(QStringLiteral("hex"));
  c.Quiet = parser.isSet(QStringLiteral("quiet"));
  if (!ReadRelayValues(parser, c, Error) || !ReadTlsValues(parser, c, Error) || !ReadReplayValues(parser, c, Error) ||
      !ReadFaultValues(parser, c, Error))
    return false;
  if (!c.Help && !c.Version && !c.PrintCa && !CheckCombinations(parser, c, Error)) return false;
  Out = c;
  return true;
}

std::string HelpText() {
  std::string text =
      "Usage: vantrel [--local-port P] [--remote-addr HOST] [--remote-port P] [--line-mode] [--hex] [--listen]\n"
      "       vantrel --headless --local-port P --remote-addr HOST --remote-port P [--line-mode] [--hex] [--quiet]\n"
      "                [--save FILE.pcapng|FILE.txt|DIR/]\n"
      "       vantrel --replay FILE.pcapng [--session N] [--remote-addr HOST] [--remote-port P] [--settle MS]\n"
      "                [--original-timing] [--ignore REGEX]... [--save FILE.pcapng|FILE.txt|DIR/]\n"
      "       vantrel --help | --version | --print-ca\n"
      "       TLS, with either form: [--remote-tls] [--local-tls | --detect-tls] [--cert FILE --key FILE]\n"
      "                [--client-cert FILE --client-key FILE] [--remote-ca FILE | --insecure] [--sni NAME]\n"
      "                [--keylog FILE]\n"
      "\n"
      "Relays every TCP client that connects to the local port to the remote host and port, and shows\n"
      "everything that passes between them. Without arguments it opens its windows; the options fill\n"
      "them in. With --headless it runs without windows; SIGINT or SIGTERM closes every session and\n"
      "ends it (a second signal ends it at once).\n"
      "\n"
      "With --replay it opens no window and listens on nothing: each session of the capture (or the\n"
      "one --session names), in the order they began, goes again over a new connection to its\n"
      "recorded remote side (or --remote-addr and --remote-port), and the answers are compared with\n"
      "the recorded ones. It prints \"same\" and exits 0, or prints the first difference (offset,\n"
      "bytes of each side, context) and exits 1; 2 is for bad arguments, a file that is not a capture\n"
      "or a session it does not hold.\n"
      "\n"
      "Options:\n";
  for (const TOptionText& o : kOptions) {
    std::string left = std::string("  --") + o.Name + (o.Value != nullptr ? std::string(" ") + o.Value : "");
    left.resize(std::max<std::size_t>(left.size() + 2, 22), ' ');
    text += left + o.Help + "\n";
  }
  text +=
      "\n"
      "Faults (--fault RULE; DIRECTION is remote, the bytes on their way to the remote side, or local):\n"
      "  remote:latency=100ms,jitter=10ms    each chunk waits 100 ms, give or take 10 ms\n"
      "  local:bandwidth=1MB/s[,per=listener] at most 1 MB/s per session (or for all sessions together)\n"
      "  remote:slicer=100,spread=20,delay=5ms pieces of 80..120 bytes, 5 ms apart\n"
      "  remote:stall=1000                   nothing after 1000 bytes; the connection stays open\n"
      "  remote:limit=2s                     end of stream (a half-close) after 2 s\n"
      "  remote:reset=1000 | =2s | =match:QUIT | =hex:0d0a   reset both sides after that\n"
      "  local:corrupt=4096[,bit=0]          flip a bit of every 4096th byte\n"
      "  refuse=0.2                          reset a new client at accept with probability 0.2\n"
      "  A bare number counts bytes; KB, MB, GB are powers of 1000, KiB, MiB, GiB of 1024; us, ms, s\n"
      "  make a time; /s a rate.\n"
      "\n"
      "Examples:\n"
      "  vantrel --local-port 8080 --remote-addr localhost --remote-port 8000 --listen\n"
      "  vantrel --headless --local-port 6380 --remote-addr 127.0.0.1 --remote-port 6379 --hex > traffic.txt\n"
      "  vantrel --headless --local-port 8080 --remote-addr localhost --remote-port 8000 --quiet --save traffic.pcapng\n"
      "  vantrel --replay traffic.pcapng --session 3 --remote-port 8001 --ignore 'Date: [^\\r]*'\n"
      "  vantrel --headless --local-port 8443 --remote-addr example.com --remote-port 443 --local-tls --remote-tls\n"
      "  vantrel --print-ca > vantrel-ca.pem    (then: curl --cacert vantrel-ca.pem https://localhost:8443/)\n"
      "  vantrel --headless --local-port 8080 --remote-addr localhost --remote-port 8000 --fault local:latency=200ms\n";
  return text;
}

std::string VersionText() { return std::string("vantrel ") + VANTREL_VERSION + "\n"; }

std::uint64_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur;
}
