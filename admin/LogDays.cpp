#include "LogDays.h"

#include <QString>

#include <stdexcept>

namespace admin {
namespace {

QDate ParseDate(const std::string& text, const char* option)
{
    const QDate date = QDate::fromString(QString::fromStdString(text), "yyyy-MM-dd");
    if (!date.isValid())
        throw std::invalid_argument(std::string(option) + " wants a date as YYYY-MM-DD, not '" + text + "'");
    return date;
}

// A typed literal: a plain string would be converted again for every row,
// which makes a scan of a large log several times slower.
std::string Literal(const QDate& date)
{
    return "TIMESTAMP '" + date.toString("yyyy-MM-dd").toStdString() + " 00:00:00'";
}

} // namespace

LogDays ParseLogDays(const std::optional<std::string>& from, const std::optional<std::string>& to)
{
    LogDays days;
    if (from)
        days.first = ParseDate(*from, "--from");
    if (to)
        days.last = ParseDate(*to, "--to");
    if (days.first && days.last && *days.first > *days.last)
        throw std::invalid_argument("--from " + *from + " is after --to " + *to);
    return days;
}

std::string LogDaysCondition(const LogDays& days)
{
    // A half-open range on the column itself, so that an index on DATAORA
    // could serve it; the last day runs up to the next midnight.
    std::string condition;
    if (days.first)
        condition = "DATAORA >= " + Literal(*days.first);
    if (days.last)
        condition += (condition.empty() ? "" : " AND ") + std::string("DATAORA < ") + Literal(days.last->addDays(1));
    return condition.empty() ? "1=1" : condition;
}

} // namespace admin
