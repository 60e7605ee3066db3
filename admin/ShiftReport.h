#pragma once

#include "LogDays.h"

#include <QDate>
#include <QDateTime>

#include <array>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace dataaccess { class Connection; class Transaction; }

namespace admin {

// The four outcomes of the log, in the order of the report's columns.
enum Outcome { kEanCorretto, kEanErrato, kCodiceEanSconosciuto, kBarCodeSpeedSconosciuto, kOutcomes };
const char* OutcomeWord(int outcome);

using Counts = std::array<std::int64_t, kOutcomes>;

// One hour of the log that has rows. other: rows whose STATUS is none of the
// four words (a hand-made row); total counts them too.
struct HourCounts {
    QDateTime hour;
    Counts counts{};
    std::int64_t other = 0;
    std::int64_t total = 0;
};

struct CodeCount {
    std::string code; // UTF-8
    std::int64_t count = 0;
    QDateTime last;   // the code's latest row of the period (parcel lists only)
};

// The first entries of a list, most frequent first, and how many the whole list has.
struct CodeList {
    std::vector<CodeCount> shown;
    std::int64_t total = 0;
};

struct StationCounts {
    std::string account;     // UTF-8; empty when the row has none
    std::string workstation;
    Counts counts{};
    std::int64_t total = 0;
};

// What the columns a site may lack tell; each is there only when its column is.
struct OptionalFigures {
    std::optional<Counts> fromCopy;             // DACOPIA = 1, by outcome
    std::optional<std::int64_t> withoutTicket;  // IDSCANSIONE NULL: written by an older station
    std::optional<std::int64_t> lateRows;       // DATAORA later than DATAORASCANSIONE by more than kLateSeconds
    std::optional<std::int64_t> latestSeconds;  // the longest such delay
    bool hasAccount = false;                    // UTENTE
    bool hasWorkstation = false;                // POSTAZIONE
    std::vector<StationCounts> stations;        // when either of the two is there, most rows first
};

struct ShiftReport {
    static constexpr int kCodesShown = 50;
    static constexpr int kParcelsShown = 200;
    static constexpr int kStationsShown = 200;
    static constexpr int kLateSeconds = 300;

    QDate first, last;
    QDateTime made;
    std::string database;
    std::vector<HourCounts> hours; // oldest first
    Counts totals{};
    std::int64_t otherTotal = 0;
    std::int64_t rows = 0;
    CodeList unknownCourierCodes;  // BarCodeSpeedSconosciuto, by BARCODESPEED
    CodeList unknownEans;          // CodiceEanSconosciuto, by CODICEEANLETTO
    CodeList unfinished;           // parcels with an unknown EAN and no EanCorretto or EanErrato
    CodeList confirmedTwice;       // parcels with EanCorretto or EanErrato more than once
    OptionalFigures optional;
};

// Which of the days the report covers: the log's days when given, else today;
// a missing end is the other end's day (--from alone runs to today).
LogDays ReportDays(const LogDays& given, const QDate& today);

// Reads the report of the days (both ends set) in one read-only snapshot: every
// count is grouped by the server. step is told before each query.
ShiftReport ReadShiftReport(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                            const LogDays& days, const std::function<void(int step, int steps)>& step = {});

// ';'-separated, UTF-8 with a byte order mark: one line per hour with rows and
// the totals last.
void WriteReportCsv(const ShiftReport& report, std::ostream& out);

// One self-contained Italian page (the chart inline as SVG, nothing loaded from
// elsewhere), printable on A4.
std::string ReportHtml(const ShiftReport& report);

// The same page as an A4 PDF; throws with the file's name when it cannot be written.
void WriteReportPdf(const ShiftReport& report, const std::string& path);

} // namespace admin
