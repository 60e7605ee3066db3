#pragma once

#include <QDate>

#include <optional>
#include <string>

namespace admin {

// Whole days of the scan log, both ends included; a missing end is open.
// The days are those of DATAORA, the server's time of each row.
struct LogDays {
    std::optional<QDate> first;
    std::optional<QDate> last;
};

// --from and --to as the commands take them (YYYY-MM-DD); throws
// std::invalid_argument naming the option for a date that is not one, or for
// --from after --to.
LogDays ParseLogDays(const std::optional<std::string>& from, const std::optional<std::string>& to);

// The rows of those days, as a condition on DATAORA ("1=1" when both ends are
// open). The dates are written by the program, never taken from the text given.
std::string LogDaysCondition(const LogDays& days);

} // namespace admin
