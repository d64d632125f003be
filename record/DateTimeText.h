// Public. The local date and time as the regional settings write them: the short date, one blank,
// and the long time with its seconds (without a time zone). Qt Core only.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

QString DateTimeText(const QDateTime& When, const QLocale& Locale = QLocale::system());
// DateTimeText of the current local time.
QString NowText();
