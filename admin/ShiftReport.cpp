#include "ShiftReport.h"

#include <dataaccess/Connection.h>
#include <dataaccess/Cp1252.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/Transaction.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <ostream>
#include <set>
#include <stdexcept>

namespace admin {
namespace {

constexpr const char* kWords[kOutcomes] = {"EanCorretto", "EanErrato", "CodiceEanSconosciuto",
                                           "BarCodeSpeedSconosciuto"};

int OutcomeOf(const std::string& status)
{
    for (int i = 0; i < kOutcomes; ++i) {
        if (status == kWords[i])
            return i;
    }
    return -1;
}

QDateTime ServerTime(const std::string& text)
{
    // CAST(... AS VARCHAR) gives YYYY-MM-DD HH:MM:SS.FFFF
    return QDateTime::fromString(QString::fromStdString(text.substr(0, 19)), "yyyy-MM-dd HH:mm:ss");
}

std::set<std::string> LogColumns(dataaccess::Connection& connection, dataaccess::Transaction& transaction)
{
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.AddLine("SELECT TRIM(RDB$FIELD_NAME) AS NOME FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = 'LOGSPARATE'");
    query.Open();
    std::set<std::string> columns;
    for (; !query.AtEnd(); query.NextRow())
        columns.insert(query.FieldText("NOME"));
    if (columns.empty())
        throw std::runtime_error("the database has no table LOGSPARATE");
    return columns;
}

// Every query reads through one of these, so that the step count stays right.
class Steps {
public:
    Steps(int total, const std::function<void(int, int)>& tell) : total_(total), tell_(tell) {}
    void Next()
    {
        ++done_;
        if (tell_)
            tell_(done_, total_);
    }

private:
    int total_;
    int done_ = 0;
    const std::function<void(int, int)>& tell_;
};

// The counts by hour and outcome, and by account and workstation where the
// log has them, in one sort of the period's rows: the groups are few (hours x
// outcomes x stations) and are added up here both ways.
void ReadHours(dataaccess::Connection& connection, dataaccess::Transaction& transaction, const std::string& where,
               const std::set<std::string>& columns, ShiftReport& report)
{
    OptionalFigures& optional = report.optional;
    const bool copy = columns.count("DACOPIA") > 0;
    const bool ticket = columns.count("IDSCANSIONE") > 0;
    const bool scanTime = columns.count("DATAORASCANSIONE") > 0;
    const bool stations = optional.hasAccount || optional.hasWorkstation;
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    // Grouped on the columns themselves, with aggregates that need no
    // expression per row where a count of non-NULL values does: measured, a
    // derived table that first turns each row into small numbers costs the
    // server more than the wider sort it saves.
    std::string keys = "CAST(DATAORA AS DATE), EXTRACT(HOUR FROM DATAORA), STATUS";
    std::string select = "SELECT CAST(CAST(DATAORA AS DATE) AS VARCHAR(10)) AS GIORNO, EXTRACT(HOUR FROM DATAORA) AS ORA, "
                         "STATUS, COUNT(*) AS N";
    if (stations) {
        const std::string account = optional.hasAccount ? "UTENTE" : "CAST(NULL AS VARCHAR(1))";
        const std::string workstation = optional.hasWorkstation ? "POSTAZIONE" : "CAST(NULL AS VARCHAR(1))";
        select += ", " + account + " AS UTENTE, " + workstation + " AS POSTAZIONE";
        keys += ", " + account + ", " + workstation;
    }
    if (copy)
        select += ", COUNT(IIF(DACOPIA = 1, 1, NULL)) AS DACOPIA";
    if (ticket)
        select += ", COUNT(IDSCANSIONE) AS CONID";
    if (scanTime) {
        // The difference of two timestamps is in days.
        select += ", COUNT(IIF((DATAORA - DATAORASCANSIONE) * 86400 > " + std::to_string(ShiftReport::kLateSeconds) +
                  ", 1, NULL)) AS TARDIVE, MAX(DATAORA - DATAORASCANSIONE) AS RITARDO";
    }
    query.AddLine(select);
    query.AddLine("FROM LOGSPARATE WHERE " + where);
    query.AddLine("GROUP BY " + keys);
    query.Open();
    std::map<QDateTime, HourCounts> hours;
    std::map<std::pair<std::string, std::string>, StationCounts> byStation;
    if (copy)
        optional.fromCopy = Counts{};
    if (ticket)
        optional.withoutTicket = 0;
    if (scanTime)
        optional.lateRows = 0;
    for (; !query.AtEnd(); query.NextRow()) {
        const QDate day = QDate::fromString(QString::fromStdString(query.FieldText("GIORNO")), "yyyy-MM-dd");
        const QDateTime hour(day, QTime(static_cast<int>(query.FieldInteger("ORA")), 0));
        const std::int64_t n = query.FieldInteger("N");
        HourCounts& counts = hours[hour];
        counts.hour = hour;
        counts.total += n;
        report.rows += n;
        const int outcome = OutcomeOf(query.FieldText("STATUS"));
        const bool known = outcome >= 0;
        if (known) {
            counts.counts[static_cast<std::size_t>(outcome)] += n;
            report.totals[static_cast<std::size_t>(outcome)] += n;
            if (copy)
                (*optional.fromCopy)[static_cast<std::size_t>(outcome)] += query.FieldInteger("DACOPIA");
        } else {
            counts.other += n;
            report.otherTotal += n;
        }
        if (stations) {
            const auto key = std::make_pair(cp1252::ToUtf8(query.FieldText("UTENTE")),
                                            cp1252::ToUtf8(query.FieldText("POSTAZIONE")));
            StationCounts& station = byStation[key];
            station.account = key.first;
            station.workstation = key.second;
            station.total += n;
            if (known)
                station.counts[static_cast<std::size_t>(outcome)] += n;
        }
        if (ticket)
            *optional.withoutTicket += n - query.FieldInteger("CONID");
        if (scanTime && !query.FieldIsNull("RITARDO")) {
            *optional.lateRows += query.FieldInteger("TARDIVE");
            const std::int64_t seconds = std::llround(QString::fromStdString(query.FieldText("RITARDO")).toDouble() * 86400);
            if (seconds > ShiftReport::kLateSeconds)
                optional.latestSeconds = std::max(optional.latestSeconds.value_or(0), seconds);
        }
    }
    for (auto& [hour, counts] : hours)
        report.hours.push_back(counts);
    for (auto& [key, station] : byStation)
        optional.stations.push_back(std::move(station));
    std::stable_sort(optional.stations.begin(), optional.stations.end(),
                     [](const StationCounts& a, const StationCounts& b) { return a.total > b.total; });
}

// The first entries of two lists at once: KIND tells the list, N orders it.
// withLast: the query also gives each code's latest row, ULTIMA.
void ReadLists(dataaccess::SqlQuery& query, int shown, std::map<std::string, CodeList*> lists, bool withLast)
{
    query.Open();
    for (; !query.AtEnd(); query.NextRow()) {
        CodeList* list = lists.at(query.FieldText("KIND"));
        list->total = query.FieldInteger("TOT");
        if (static_cast<int>(list->shown.size()) >= shown)
            continue;
        CodeCount entry;
        entry.code = cp1252::ToUtf8(query.FieldText("CODICE"));
        entry.count = query.FieldInteger("N");
        if (withLast)
            entry.last = ServerTime(query.FieldText("ULTIMA"));
        list->shown.push_back(std::move(entry));
    }
}

void ReadUnknownCodes(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                      const std::string& where, ShiftReport& report)
{
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    // Numbered within each list on the server, so only the first of each travel.
    query.AddLine("SELECT KIND, CODICE, N, TOT FROM (");
    query.AddLine(" SELECT KIND, CODICE, N, ROW_NUMBER() OVER (PARTITION BY KIND ORDER BY N DESC, CODICE) AS R,");
    query.AddLine("  COUNT(*) OVER (PARTITION BY KIND) AS TOT FROM (");
    query.AddLine("  SELECT IIF(STATUS = 'BarCodeSpeedSconosciuto', 'S', 'E') AS KIND,");
    query.AddLine("   IIF(STATUS = 'BarCodeSpeedSconosciuto', BARCODESPEED, CODICEEANLETTO) AS CODICE, COUNT(*) AS N");
    query.AddLine("  FROM LOGSPARATE WHERE " + where);
    query.AddLine("  AND STATUS IN ('BarCodeSpeedSconosciuto', 'CodiceEanSconosciuto')");
    query.AddLine("  GROUP BY 1, 2))");
    query.AddLine("WHERE R <= " + std::to_string(ShiftReport::kCodesShown));
    query.AddLine("ORDER BY KIND, R");
    ReadLists(query, ShiftReport::kCodesShown, {{"S", &report.unknownCourierCodes}, {"E", &report.unknownEans}},
              false);
}

void ReadParcels(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                 const std::string& where, ShiftReport& report)
{
    // A parcel whose EAN was unknown and that never got a confirming row is a
    // verification left halfway; one confirmed twice went through the station
    // twice. Rows of unknown courier codes name no parcel and stay out. The
    // status is turned into 0/1 once per row (C), not once per aggregate that
    // needs it: measured, the cheaper of the two here.
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.AddLine("SELECT KIND, CODICE, N, TOT, CAST(ULTIMA AS VARCHAR(24)) AS ULTIMA FROM (");
    query.AddLine(" SELECT KIND, CODICE, N, ULTIMA, ROW_NUMBER() OVER (PARTITION BY KIND ORDER BY N DESC, CODICE) AS R,");
    query.AddLine("  COUNT(*) OVER (PARTITION BY KIND) AS TOT FROM (");
    query.AddLine("  SELECT CODICE, IIF(SUM(C) = 0, 'I', 'C') AS KIND, IIF(SUM(C) = 0, COUNT(*), SUM(C)) AS N,");
    query.AddLine("   MAX(DATAORA) AS ULTIMA FROM (");
    query.AddLine("   SELECT BARCODESPEED AS CODICE, IIF(STATUS = 'CodiceEanSconosciuto', 0, 1) AS C, DATAORA");
    query.AddLine("   FROM LOGSPARATE WHERE " + where);
    query.AddLine("   AND STATUS IN ('CodiceEanSconosciuto', 'EanCorretto', 'EanErrato'))");
    query.AddLine("  GROUP BY CODICE HAVING SUM(C) <> 1))");
    query.AddLine("WHERE R <= " + std::to_string(ShiftReport::kParcelsShown));
    query.AddLine("ORDER BY KIND, R");
    ReadLists(query, ShiftReport::kParcelsShown, {{"I", &report.unfinished}, {"C", &report.confirmedTwice}},
              true);
}

} // namespace

const char* OutcomeWord(int outcome)
{
    return kWords[outcome];
}

LogDays ReportDays(const LogDays& given, const QDate& today)
{
    LogDays days = given;
    if (!days.last)
        days.last = days.first && *days.first > today ? *days.first : today;
    if (!days.first)
        days.first = days.last;
    return days;
}

ShiftReport ReadShiftReport(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                            const LogDays& days, const std::function<void(int, int)>& step)
{
    ShiftReport report;
    report.first = days.first.value();
    report.last = days.last.value();
    report.made = QDateTime::currentDateTime();
    report.database = connection.DatabaseName();
    const std::string where = LogDaysCondition(days);

    // One snapshot: the lists add up with the totals even while stations write.
    transaction.SetReadOnly(true);
    transaction.SetActive(true);
    const std::set<std::string> columns = LogColumns(connection, transaction);
    OptionalFigures& optional = report.optional;
    optional.hasAccount = columns.count("UTENTE") > 0;
    optional.hasWorkstation = columns.count("POSTAZIONE") > 0;

    Steps steps(3, step);
    steps.Next();
    ReadHours(connection, transaction, where, columns, report);
    steps.Next();
    ReadUnknownCodes(connection, transaction, where, report);
    steps.Next();
    ReadParcels(connection, transaction, where, report);
    transaction.Commit();
    return report;
}

void WriteReportCsv(const ShiftReport& report, std::ostream& out)
{
    // As export-log: the mark and ';' make an Italian spreadsheet open it as it is.
    out << "\xEF\xBB\xBF" << "Ora;EanCorretto;EanErrato;CodiceEanSconosciuto;BarCodeSpeedSconosciuto;Totale\n";
    auto line = [&out](const std::string& first, const Counts& counts, std::int64_t total) {
        out << first;
        for (const auto n : counts)
            out << ';' << n;
        out << ';' << total << '\n';
    };
    for (const HourCounts& hour : report.hours)
        line(hour.hour.toString("yyyy-MM-dd HH:00").toStdString(), hour.counts, hour.total);
    line("Totale", report.totals, report.rows);
}

} // namespace admin
