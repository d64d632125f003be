// The sessions table model.
#include "log/uSessionsModel.h"

#include <QColor>
#include <QDateTime>

#include <algorithm>
#include <climits>

#include "record/SessionColors.h"
#include "platform/gui/Colors.h"

TSessionsModel::TSessionsModel(const TTrafficRecord& Record, QObject* Parent)
    : QAbstractTableModel(Parent), FRecord(Record), FGeneration(Record.Generation() + 1) {
  // A generation of its own that cannot be the record's: the first Refresh reads every session.
}

void TSessionsModel::SessionChanged(std::uint64_t Id) { FDirty.insert(Id); }

void TSessionsModel::Reset() {
  beginResetModel();
  FRows = FRecord.Sessions();
  FSessionsRead += FRows.size();
  FRowOf.clear();
  FOpen = 0;
  for (std::size_t row = 0; row < FRows.size(); ++row) {
    FRowOf.emplace(FRows[row].Id, static_cast<int>(row));
    FOpen += SessionOpen(FRows[row]);
  }
  endResetModel();
}

void TSessionsModel::Refresh(std::int64_t NowUs) {
  FNowUs = NowUs;
  const std::uint64_t generation = FRecord.Generation();
  if (generation != FGeneration) {
    // Cleared: the record keeps only the sessions still open, and no entries.
    FGeneration = generation;
    FTaken = 0;
    FDirty.clear();
    Reset();
  }
  // Entries name the sessions whose byte counts moved; sessions come in runs of entries.
  const std::uint64_t count = FRecord.Count();
  std::uint64_t last = 0;
  TRecordEntry e;
  for (; FTaken < count && FRecord.Entry(FTaken, e); ++FTaken)
    if (e.Session != 0 && e.Session != last) FDirty.insert(last = e.Session);
  if (FRecord.Generation() != FGeneration) return;  // cleared meanwhile: the next Refresh starts again

  std::vector<TSessionInfo> fresh;
  int low = INT_MAX, high = -1;
  for (const std::uint64_t id : FDirty) {
    TSessionInfo info;
    if (!FRecord.Session(id, info)) continue;
    ++FSessionsRead;
    const auto it = FRowOf.find(id);
    if (it == FRowOf.end()) {
      fresh.push_back(std::move(info));
      continue;
    }
    TSessionInfo& row = FRows[static_cast<std::size_t>(it->second)];
    FOpen = FOpen - SessionOpen(row) + SessionOpen(info);
    row = std::move(info);
    low = std::min(low, it->second);
    high = std::max(high, it->second);
  }
  FDirty.clear();
  if (high >= 0) emit dataChanged(index(low, 0), index(high, scColumnCount - 1));
  if (!fresh.empty()) {
    std::sort(fresh.begin(), fresh.end(), [](const TSessionInfo& A, const TSessionInfo& B) { return A.Id < B.Id; });
    const int first = static_cast<int>(FRows.size());
    beginInsertRows({}, first, first + static_cast<int>(fresh.size()) - 1);
    for (TSessionInfo& info : fresh) {
      FRowOf.emplace(info.Id, static_cast<int>(FRows.size()));
      FOpen += SessionOpen(info);
      FRows.push_back(std::move(info));
    }
    endInsertRows();
  }
  // One range for every open session's running duration: the view repaints what it shows of it.
  if (FOpen > 0 && !FRows.empty())
    emit dataChanged(index(0, scDuration), index(static_cast<int>(FRows.size()) - 1, scDuration), {Qt::DisplayRole});
}

int TSessionsModel::RowOf(std::uint64_t Id) const {
  const auto it = FRowOf.find(Id);
  return it == FRowOf.end() ? -1 : it->second;
}

void TSessionsModel::SetDistinctColors(bool Value) {
  if (Value == FDistinctColors) return;
  FDistinctColors = Value;
  if (!FRows.empty()) emit dataChanged(index(0, scNumber), index(static_cast<int>(FRows.size()) - 1, scNumber));
}

QString TSessionsModel::StateText(const TSessionInfo& Info) {
  QString text;
  switch (Info.State) {
    case ssResolving: text = QStringLiteral("resolving"); break;
    case ssConnecting: text = QStringLiteral("connecting"); break;
    case ssRelaying: text = QStringLiteral("relaying"); break;
    case ssLocalEnded: text = QStringLiteral("half-closed by local"); break;
    case ssRemoteEnded: text = QStringLiteral("half-closed by remote"); break;
    case ssClosed: text = QStringLiteral("closed"); break;
    case ssReset:
      text = Info.LocalEnd == seReset && Info.RemoteEnd == seReset ? QStringLiteral("reset by both")
             : Info.LocalEnd == seReset                           ? QStringLiteral("reset by local")
             : Info.RemoteEnd == seReset                          ? QStringLiteral("reset by remote")
                                                                  : QStringLiteral("reset");
      break;
    case ssFailed: text = QStringLiteral("failed"); break;
  }
  if (!Info.Reason.empty()) text += QStringLiteral(": ") + QString::fromStdString(Info.Reason);
  // A fault's end: "reset by fault: reset after 1000 bytes toward Remote".
  if (!Info.Fault.empty()) {
    const std::string what = Info.Fault.rfind("Fault: ", 0) == 0 ? Info.Fault.substr(7) : Info.Fault;
    text = (Info.State == ssReset ? QStringLiteral("reset by fault: ") : text + QStringLiteral("; fault: ")) +
           QString::fromStdString(what);
  }
  return text;
}

QString TSessionsModel::TlsText(const TSessionInfo& Info) {
  if (Info.LocalTls.empty() && Info.RemoteTls.empty()) return {};
  auto side = [](const std::string& State) { return State.empty() ? QStringLiteral("plain") : QString::fromStdString(State); };
  return QStringLiteral("local: ") + side(Info.LocalTls) + QStringLiteral(", remote: ") + side(Info.RemoteTls);
}

QString TSessionsModel::DurationText(std::int64_t Us) {
  if (Us < 0) Us = 0;
  const std::int64_t ms = Us / 1000;
  if (ms < 60000) return QStringLiteral("%1.%2 s").arg(ms / 1000).arg(ms % 1000, 3, 10, QLatin1Char('0'));
  const std::int64_t s = ms / 1000;
  if (s < 3600) return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
  return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString TSessionsModel::EndText(const std::string& Addr, std::uint16_t Port) {
  if (Addr.empty()) return {};
  const QString addr = QString::fromStdString(Addr);
  // An IPv6 address takes brackets, or its port would read as one more group.
  return (addr.contains(u':') ? u'[' + addr + u']' : addr) + u':' + QString::number(Port);
}

int TSessionsModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int TSessionsModel::columnCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : scColumnCount; }

QVariant TSessionsModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid() || Index.row() >= static_cast<int>(FRows.size())) return {};
  const TSessionInfo& s = FRows[static_cast<std::size_t>(Index.row())];
  if (Role == kIdRole) return QVariant::fromValue<qulonglong>(s.Id);
  if (Role == Qt::DecorationRole && Index.column() == scNumber)
    return platform::gui::ToQColor(FDistinctColors ? DistinctSessionColor(s.Id) : s.Color);
  if (Role == Qt::TextAlignmentRole) {
    switch (Index.column()) {
      case scNumber:
      case scFromLocal:
      case scFromRemote:
      case scDuration:
      case scSent:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
      default:
        return {};
    }
  }
  if (Role == Qt::ToolTipRole && Index.column() == scRemote && !s.RemoteAddr.empty() && s.RemoteAddr != s.RemoteHost)
    return QString::fromStdString(s.RemoteHost);
  if (Role == Qt::ToolTipRole && Index.column() == scState) return StateText(s);
  if (Role != Qt::DisplayRole) return {};
  switch (Index.column()) {
    case scNumber:
      return QString::number(s.Id);
    case scLocal:
      return EndText(s.LocalAddr, s.LocalPort);
    case scRemote:
      return EndText(s.RemoteAddr.empty() ? s.RemoteHost : s.RemoteAddr, s.RemotePort);
    case scState:
      return StateText(s);
    case scFromLocal:
      return QString::number(s.BytesFromLocal);
    case scFromRemote:
      return QString::number(s.BytesFromRemote);
    case scStart:
      return s.StartUs == 0 ? QString() : QDateTime::fromMSecsSinceEpoch(s.StartUs / 1000).toString(QStringLiteral("HH:mm:ss.zzz"));
    case scTls:
      return TlsText(s);
    case scDuration: {
      if (s.StartUs == 0) return {};
      const std::int64_t end = s.EndUs != 0 ? s.EndUs : SessionOpen(s) ? FNowUs : 0;
      return end == 0 ? QString() : DurationText(end - s.StartUs);
    }
    case scSent:
      return s.Injected == 0 ? QString() : QString::number(s.Injected);
    default:
      return {};
  }
}

QVariant TSessionsModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole) return {};
  static const char* const kTitles[scColumnCount] = {"#",    "Local",       "Remote", "State", "From local",
                                                     "From remote", "Start", "Duration", "Sent", "TLS"};
  return Section >= 0 && Section < scColumnCount ? QString::fromLatin1(kTitles[Section]) : QVariant();
}
