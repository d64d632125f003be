// Regional date and time texts.
#include "record/DateTimeText.h"

namespace {

// Qt's long time format ends in the time zone ("t", "tttt", ...), which a log line does not want:
// the zone is the same on every line. Quoted literals are kept as they are.
QString WithoutTimeZone(const QString& Format) {
  QString out;
  bool quoted = false;
  for (QChar c : Format) {
    if (c == u'\'') quoted = !quoted;
    if (!quoted && c == u't') continue;
    out += c;
  }
  return out.simplified();
}

}  // namespace

QString DateTimeText(const QDateTime& When, const QLocale& Locale) {
  const QString date = Locale.toString(When.date(), QLocale::ShortFormat);
  const QString time = Locale.toString(When.time(), WithoutTimeZone(Locale.timeFormat(QLocale::LongFormat)));
  return date + u' ' + time;
}

QString NowText() { return DateTimeText(QDateTime::currentDateTime()); }
