// The sessions table over a record built here: rows in the order sessions appear, the texts of
// every state, byte counts from the entries, a Clear, and that keeping 10,000 sessions up to date
// reads only the sessions that changed.
#include <gtest/gtest.h>

#include <QColor>
#include <QSet>
#include <QSignalSpy>

#include <cstdlib>

#include "QtTestApp.h"
#include "record/SessionColors.h"
#include "record/TrafficRecord.h"
#include "log/uSessionsModel.h"
#include "platform/gui/Colors.h"

namespace {

constexpr std::int64_t kStartUs = 1700000000000000;

TSessionInfo Session(std::uint64_t Id, TSessionState State = ssRelaying) {
  TSessionInfo s;
  s.Id = Id;
  s.Color = static_cast<TColor>(Id * 0x10);
  s.LocalAddr = "127.0.0.1";
  s.LocalPort = static_cast<std::uint16_t>(40000 + Id % 20000);
  s.RemoteHost = "localhost";
  s.RemoteAddr = "127.0.0.1";
  s.RemotePort = 8000;
  s.StartUs = kStartUs;
  s.State = State;
  return s;
}

QString Text(const TSessionsModel& M, int Row, int Column) { return M.data(M.index(Row, Column)).toString(); }

TEST(SessionsModel, RowsShowBothEndsTheStateAndTheTimesInTheOrderSessionsAppear) {
  TTrafficRecord record;
  TSessionsModel model(record);
  TSessionInfo a = Session(2);
  a.LocalAddr = "::1";
  a.RemoteAddr.clear();  // still resolving: the name as typed
  a.State = ssResolving;
  record.SetSession(a);
  TSessionInfo b = Session(5, ssClosed);
  b.EndUs = kStartUs + 61500000;
  b.LocalTls = "TLSv1.3 h2";  // TLS toward the client only
  record.SetSession(b);
  model.Refresh(kStartUs + 1234000);
  ASSERT_EQ(model.rowCount(), 2);
  EXPECT_EQ(Text(model, 0, TSessionsModel::scNumber), "2");
  EXPECT_EQ(Text(model, 0, TSessionsModel::scLocal), "[::1]:40002");
  EXPECT_EQ(Text(model, 0, TSessionsModel::scRemote), "localhost:8000");
  EXPECT_EQ(Text(model, 0, TSessionsModel::scState), "resolving");
  EXPECT_EQ(Text(model, 0, TSessionsModel::scDuration), "1.234 s");  // open: runs to now
  EXPECT_EQ(Text(model, 1, TSessionsModel::scRemote), "127.0.0.1:8000");
  EXPECT_EQ(Text(model, 1, TSessionsModel::scDuration), "1:01");  // ended: its own end
  EXPECT_EQ(Text(model, 0, TSessionsModel::scTls), "");  // plain TCP on both sides: nothing said
  EXPECT_EQ(Text(model, 1, TSessionsModel::scTls), "local: TLSv1.3 h2, remote: plain");
  EXPECT_EQ(model.headerData(TSessionsModel::scTls, Qt::Horizontal, Qt::DisplayRole).toString(), "TLS");
  EXPECT_EQ(Text(model, 1, TSessionsModel::scStart),
            QDateTime::fromMSecsSinceEpoch(kStartUs / 1000).toString(QStringLiteral("HH:mm:ss.zzz")));
  EXPECT_EQ(model.data(model.index(1, 0), TSessionsModel::kIdRole).toULongLong(), 5u);
  EXPECT_EQ(model.RowOf(5), 1);
  EXPECT_EQ(model.RowOf(3), -1);
  EXPECT_EQ(TSessionsModel::DurationText(3723000000), "1:02:03");
  EXPECT_EQ(TSessionsModel::DurationText(-5), "0.000 s");
}

TEST(SessionsModel, EveryStateHasItsTextWithTheSideThatEndedAndTheReason) {
  struct TCase {
    TSessionState State;
    TStreamEnd Local, Remote;
    const char* Reason;
    const char* Text;
  } cases[] = {
      {ssResolving, seOpen, seOpen, "", "resolving"},
      {ssConnecting, seOpen, seOpen, "", "connecting"},
      {ssRelaying, seOpen, seOpen, "", "relaying"},
      {ssLocalEnded, seFinished, seOpen, "", "half-closed by local"},
      {ssRemoteEnded, seOpen, seFinished, "", "half-closed by remote"},
      {ssClosed, seFinished, seFinished, "", "closed"},
      {ssReset, seReset, seFinished, "", "reset by local"},
      {ssReset, seFinished, seReset, "", "reset by remote"},
      {ssReset, seReset, seReset, "", "reset by both"},
      {ssFailed, seOpen, seOpen, "Connection refused", "failed: Connection refused"},
      {ssClosed, seFinished, seFinished, "The connection came back to the relay", "closed: The connection came back to the relay"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    TSessionInfo s = Session(1, c.State);
    s.LocalEnd = c.Local;
    s.RemoteEnd = c.Remote;
    s.Reason = c.Reason;
    EXPECT_EQ(TSessionsModel::StateText(s), c.Text);
  }
}

TEST(SessionsModel, ByteCountsComeFromTheEntriesAndChangedRowsAreReportedAsOneRange) {
  TTrafficRecord record;
  TSessionsModel model(record);
  for (std::uint64_t id = 1; id <= 5; ++id) record.SetSession(Session(id));
  model.Refresh(kStartUs);
  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  record.Add("From Local", 0, emText, {2, edFromLocal, 0}, "hello");
  record.Add("From Remote", 0, emText, {4, edFromRemote, 0}, "world!!");
  record.Add("From Local", 0, emText, {2, edFromLocal, 5}, "abc");
  model.Refresh(kStartUs);
  EXPECT_EQ(Text(model, 1, TSessionsModel::scFromLocal), "8");
  EXPECT_EQ(Text(model, 1, TSessionsModel::scFromRemote), "0");
  EXPECT_EQ(Text(model, 3, TSessionsModel::scFromRemote), "7");
  // The rows of sessions 2 to 4, then the running durations of the open ones.
  ASSERT_EQ(changed.count(), 2);
  EXPECT_EQ(changed[0][0].value<QModelIndex>().row(), 1);
  EXPECT_EQ(changed[0][1].value<QModelIndex>().row(), 3);
  EXPECT_EQ(changed[1][0].value<QModelIndex>().column(), TSessionsModel::scDuration);

  // An entry of a session the relay never described lists it with the entry's colour.
  record.Add("From Local", 0x0000FF, emText, {9, edFromLocal, 0}, "x");
  model.Refresh(kStartUs);
  ASSERT_EQ(model.rowCount(), 6);
  EXPECT_EQ(model.data(model.index(5, 0), Qt::DecorationRole).value<QColor>(), QColor(255, 0, 0));
}

TEST(SessionsModel, TenThousandSessionsAreKeptUpToDateByReadingOnlyThoseThatChanged) {
  TTrafficRecord record;
  TSessionsModel model(record);
  model.Refresh(kStartUs);
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  for (std::uint64_t id = 1; id <= 10000; ++id) {
    record.SetSession(Session(id));
    model.SessionChanged(id);
  }
  model.Refresh(kStartUs);
  ASSERT_EQ(model.rowCount(), 10000);
  EXPECT_EQ(inserted.count(), 1);  // one insertion, not one a row
  EXPECT_EQ(model.SessionsRead(), 10000u);

  // Three sessions change: one by the relay, two by their entries.
  TSessionInfo ended = Session(7000, ssRemoteEnded);
  ended.RemoteEnd = seFinished;
  record.SetSession(ended);
  model.SessionChanged(7000);
  record.Add("From Local", 0, emText, {42, edFromLocal, 0}, "ab");
  record.Add("From Local", 0, emText, {9999, edFromLocal, 0}, "abc");
  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  model.Refresh(kStartUs);
  EXPECT_EQ(model.SessionsRead(), 10003u);
  EXPECT_EQ(Text(model, 6999, TSessionsModel::scState), "half-closed by remote");
  EXPECT_EQ(Text(model, 41, TSessionsModel::scFromLocal), "2");
  EXPECT_EQ(Text(model, 9998, TSessionsModel::scFromLocal), "3");
  ASSERT_GE(changed.count(), 1);
  EXPECT_EQ(changed[0][0].value<QModelIndex>().row(), 41);
  EXPECT_EQ(changed[0][1].value<QModelIndex>().row(), 9998);

  // Nothing changed: nothing read, no row inserted.
  model.Refresh(kStartUs);
  EXPECT_EQ(model.SessionsRead(), 10003u);
  EXPECT_EQ(inserted.count(), 1);
  record.SetSession(Session(10001));
  model.SessionChanged(10001);
  model.Refresh(kStartUs);
  EXPECT_EQ(model.rowCount(), 10001);
  EXPECT_EQ(inserted.count(), 2);
  EXPECT_EQ(model.SessionsRead(), 10004u);
}

TEST(SessionsModel, AClearKeepsTheOpenSessionsListedAndTheirCountsStartAgain) {
  TTrafficRecord record;
  TSessionsModel model(record);
  record.SetSession(Session(1));
  TSessionInfo closed = Session(2, ssClosed);
  closed.EndUs = kStartUs + 1;
  record.SetSession(closed);
  record.Add("From Local", 0, emText, {1, edFromLocal, 0}, "abcd");
  model.Refresh(kStartUs);
  ASSERT_EQ(model.rowCount(), 2);
  QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
  record.Clear();
  record.Add("From Local", 0, emText, {1, edFromLocal, 4}, "ef");
  model.Refresh(kStartUs);
  EXPECT_EQ(reset.count(), 1);
  ASSERT_EQ(model.rowCount(), 1);
  EXPECT_EQ(model.Info(0).Id, 1u);
  // The record counts to the end of the stream, which went on across the Clear.
  EXPECT_EQ(Text(model, 0, TSessionsModel::scFromLocal), "6");
}

TEST(SessionsModel, TheDistinctSchemeGivesEverySessionItsOwnColourWhateverItsLogColour) {
  TTrafficRecord record;
  TSessionsModel model(record);
  for (std::uint64_t id = 1; id <= 12; ++id) {
    TSessionInfo s = Session(id);
    s.Color = id == 12 ? 0 : 0x80;  // the log's colours repeat: the twelfth is black again
    record.SetSession(s);
  }
  model.Refresh(kStartUs);
  const auto colour = [&](int Row) { return model.data(model.index(Row, 0), Qt::DecorationRole).value<QColor>(); };
  EXPECT_EQ(colour(0), colour(1));
  EXPECT_EQ(colour(11), QColor(0, 0, 0));
  model.SetDistinctColors(true);
  QSet<QRgb> seen;
  for (int row = 0; row < 12; ++row) {
    EXPECT_EQ(colour(row), platform::gui::ToQColor(DistinctSessionColor(static_cast<std::uint64_t>(row) + 1)));
    seen.insert(colour(row).rgb());
  }
  EXPECT_EQ(seen.size(), 12);
  // Sessions close in number, which are the ones open together, are far apart in colour.
  const auto distance = [](TColor A, TColor B) {
    int d = 0;
    for (int shift : {0, 8, 16}) d += std::abs(static_cast<int>((A >> shift) & 0xFF) - static_cast<int>((B >> shift) & 0xFF));
    return d;
  };
  int closest = 765;
  for (std::uint64_t id = 1; id <= 10000; ++id)
    for (std::uint64_t k = 1; k <= 10; ++k) closest = std::min(closest, distance(DistinctSessionColor(id), DistinctSessionColor(id + k)));
  EXPECT_GE(closest, 40);
  EXPECT_EQ(DistinctSessionColor(0), clBlack);
}

}  // namespace
