// The time of the copy of the parcels as the window's notice names it.
#include "MainForm.h"

#include <QDateTime>

#include <gtest/gtest.h>

namespace {

TEST(CopyNotice, SaysTheTimeOfTodaysCopyAndTheDayAndAgeOfAnOlderOne)
{
    const QDateTime now = QDateTime::fromString(QStringLiteral("2026-12-10 01:30:00"), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const struct {
        const char* refreshedAt;
        const char* shown;
    } cases[] = {
        {"2026-12-10 01:29:59.999", "delle 01:29"},
        {"2026-12-09 23:05:00.000", "del 09/12/2026 23:05"},              // yesterday, two hours ago
        {"2026-12-09 01:30:00.000", "del 09/12/2026 01:30, vecchia di 1 giorno"},
        {"2026-12-01 08:00:00.000", "del 01/12/2026 08:00, vecchia di 8 giorni"},
        {"", "di ora sconosciuta"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CopyTimeShown(c.refreshedAt, now).toStdString(), c.shown) << c.refreshedAt;
}

} // namespace
