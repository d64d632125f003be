// Raw streams: one file for each session and direction, the bytes as they went.
//
// A file is made at its direction's first data entry, or at the session's end for a direction
// that carried nothing, so that every session that ended has both of its files (an empty session,
// or one that never connected, has two empty files). Files close at their session's end, and the
// session's state goes with them: a long run holds neither a descriptor nor memory for each
// session it has seen, only for those that are open.
//
// A body the record could not keep is left out of its file; "NAME.lost.txt" beside it lists each
// gap as the stream offset and the number of bytes missing there, so that the file is never
// taken for the whole stream.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "record/WriterParts.h"

namespace {

// Letters, digits and ".-_%" stay; ":" of IPv6 becomes "-" in brackets; anything else "_".
std::string SafeAddress(const std::string& Address) {
  std::string out;
  const bool v6 = Address.find(':') != std::string::npos;
  if (v6) out += '[';
  for (char c : Address) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-' || c == '_' || c == '%';
    out += c == ':' ? '-' : plain ? c : '_';
  }
  if (v6) out += ']';
  return out.empty() ? std::string("unknown") : out;
}

struct TStream {
  std::string Name;  // final name
  TOutFile File;
  TOutFile Lost;     // opened at the first gap
  std::uint64_t Written = 0;  // stream bytes accounted for: written or listed as lost
};

class TStreamFilesWriter : public TTrafficWriter {
public:
  TStreamFilesWriter(const std::string& Folder, bool Staged) : FFolder(Folder), FStaged(Staged) {
    while (FFolder.size() > 1 && FFolder.back() == '/') FFolder.pop_back();
    struct stat st{};
    if (::stat(FFolder.c_str(), &st) != 0) {
      // One level is made: the parent must be there, as for a file.
      if (::mkdir(FFolder.c_str(), 0777) != 0) Fail(FFolder + ": " + std::strerror(errno));
    } else if (!S_ISDIR(st.st_mode)) {
      Fail(FFolder + ": " + std::strerror(ENOTDIR));
    } else if (::access(FFolder.c_str(), W_OK | X_OK) != 0) {
      Fail(FFolder + ": " + std::strerror(errno));
    }
  }
  ~TStreamFilesWriter() override {
    if (!FCommitted) Discard();
  }

  void SessionStarted(const TSessionInfo& Info) override {
    if (!FEnded.Contains(Info.Id)) FInfo[Info.Id] = Info;
  }

  // Its files are closed and never made again: a made file would be truncated.
  void SessionEnded(const TSessionInfo& Info) override {
    if (FEnded.Contains(Info.Id)) return;
    FInfo[Info.Id] = Info;
    for (TEntryDirection d : {edFromLocal, edFromRemote})
      if (TStream* s = Stream(Info.Id, d)) Close(*s);
    FInfo.erase(Info.Id);
    FEnded.Add(Info.Id);
  }

  void Entry(const TRecordEntry& E, std::string_view, const std::string* Body) override {
    if (E.Session == 0 || (E.Direction != edFromLocal && E.Direction != edFromRemote) || Failed()) return;
    TStream* s = Stream(E.Session, E.Direction);
    if (s == nullptr) return;
    if (Body != nullptr && Body->size() == E.BodyLength) {
      s->File.Write(*Body);
      if (s->File.Failed()) Fail(s->File.Error());
    } else if (E.BodyLength > 0) {
      if (!s->Lost.IsOpen() && !Create(s->Lost, s->Name + ".lost.txt")) return;
      s->Lost.Write("offset " + std::to_string(E.Offset) + ": " + std::to_string(E.BodyLength) +
                    " bytes not kept by the log, left out of the file\n");
      if (s->Lost.Failed()) Fail(s->Lost.Error());
    }
    s->Written = E.Offset + E.BodyLength;
  }

  bool Flush() override {
    for (auto& [key, s] : FOpen) {
      if (s->File.IsOpen() && !s->File.Flush()) Fail(s->File.Error());
      if (s->Lost.IsOpen() && !s->Lost.Flush()) Fail(s->Lost.Error());
    }
    return !Failed();
  }

  bool Close() override {
    for (auto& [key, s] : FOpen) Close(*s, false);
    FOpen.clear();
    return !Failed();
  }

  bool Commit() override {
    if (!Close()) return false;
    FCommitted = true;
    if (!FStaged) return true;
    for (std::size_t i = 0; i < FMade.size(); ++i) {
      const std::string target = FFolder + "/" + FMade[i].second;
      if (::rename(FMade[i].first.c_str(), target.c_str()) != 0) {
        Fail(target + ": " + std::strerror(errno));
        // What was put in place stays (the user chose the folder); the rest goes.
        for (std::size_t j = i; j < FMade.size(); ++j) ::unlink(FMade[j].first.c_str());
        return false;
      }
    }
    return true;
  }

  void Discard() override {
    FOpen.clear();
    if (FStaged && !FCommitted)
      for (const auto& [made, name] : FMade) ::unlink(made.c_str());
    FCommitted = true;
  }

private:
  using TKey = std::pair<std::uint64_t, TEntryDirection>;

  bool Create(TOutFile& File, const std::string& Name) {
    const std::string final = FFolder + "/" + Name;
    if (FStaged) {
      for (int attempt = 0; attempt < 8 && !File.IsOpen(); ++attempt)
        if (!File.Open(TemporaryNameFor(final), true) && errno != EEXIST) break;
    } else {
      File.Open(final);
    }
    if (!File.IsOpen()) {
      Fail(File.Failed() ? File.Error() : final + ": cannot create a file");
      return false;
    }
    if (FStaged) FMade.emplace_back(File.Path(), Name);  // to be put in place, or removed
    return true;
  }

  // The stream's file, made when first asked for; null after a failure.
  TStream* Stream(std::uint64_t Session, TEntryDirection Direction) {
    const TKey key{Session, Direction};
    if (auto it = FOpen.find(key); it != FOpen.end()) return it->second.get();
    if (FEnded.Contains(Session) || Failed()) return nullptr;
    auto s = std::make_unique<TStream>();
    auto info = FInfo.find(Session);
    TSessionInfo fallback;
    fallback.Id = Session;
    s->Name = StreamFileName(info != FInfo.end() ? info->second : fallback, Direction);
    if (!Create(s->File, s->Name)) return nullptr;
    return FOpen.emplace(key, std::move(s)).first->second.get();
  }

  void Close(TStream& S, bool Erase = true) {
    if (!S.File.Close()) Fail(S.File.Error());
    if (S.Lost.IsOpen() && !S.Lost.Close()) Fail(S.Lost.Error());
    if (!Erase) return;
    for (auto it = FOpen.begin(); it != FOpen.end(); ++it)
      if (it->second.get() == &S) {
        FOpen.erase(it);
        return;
      }
  }

  std::string FFolder;
  bool FStaged;
  bool FCommitted = false;
  std::map<std::uint64_t, TSessionInfo> FInfo;  // of the sessions that have not ended
  std::map<TKey, std::unique_ptr<TStream>> FOpen;
  TEndedSessions FEnded;  // their files are closed
  // Staged: (the file as made, its final name), for each file, until Commit or Discard.
  std::vector<std::pair<std::string, std::string>> FMade;
};

}  // namespace

std::string StreamFileName(const TSessionInfo& Info, TEntryDirection Direction) {
  std::string number = std::to_string(Info.Id);
  if (number.size() < 6) number.insert(0, 6 - number.size(), '0');
  const std::string& remote = !Info.RemoteAddr.empty() ? Info.RemoteAddr : Info.RemoteHost;
  return number + " " + SafeAddress(Info.LocalAddr) + "_" + std::to_string(Info.LocalPort) + " to " +
         SafeAddress(remote) + "_" + std::to_string(Info.RemotePort) +
         (Direction == edFromLocal ? " from-local.bin" : " from-remote.bin");
}

std::unique_ptr<TTrafficWriter> MakeStreamFilesWriter(const std::string& Folder, bool Staged) {
  return std::make_unique<TStreamFilesWriter>(Folder, Staged);
}
