#pragma once

#include "PrivateServer.h"
#include "TestDatabase.h"

#include <dataaccess/Connection.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>
#include <parcels/ScanLog.h>
#include <parcels/WrongEanBatch.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace parcelstest {

// What a background worker told, collected on its thread; `line` names one
// event for a failure's message.
template <class Event> class Heard {
public:
    explicit Heard(std::function<std::string(const Event&)> line) : line_(std::move(line)) {}
    void operator()(const Event& event)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }
    int Count(typename Event::Kind kind) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int count = 0;
        for (const auto& event : events_)
            count += event.kind == kind;
        return count;
    }
    std::string Notes() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string text;
        for (const auto& event : events_)
            text += std::to_string(static_cast<int>(event.kind)) + " " + line_(event) + "\n";
        return text;
    }

private:
    std::function<std::string(const Event&)> line_;
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

// The main window's connection and its one transaction, attached to a test database.
struct Station {
    dataaccess::Connection connection;
    dataaccess::Transaction transaction{connection};

    explicit Station(const testsupport::TestDatabase& database)
    {
        connection.SetDatabaseName(database.Name());
        connection.Params() = {"user_name=SYSDBA", "password=plumtrove"};
        connection.SetSQLDialect(3);
        connection.SetLoginPrompt(false);
        connection.SetDefaultTransaction(&transaction);
        connection.SetConnected(true);
    }
};

// Records every message of the batch and answers the confirmation.
class RecordingUi : public parcels::BatchUi {
public:
    std::vector<std::string> messages; // "Kind: text"
    std::vector<std::pair<long long, long long>> progress;
    int progressFinished = 0;
    bool answer = true;
    std::function<void()> onConfirm;
    std::size_t stopAfterProgress = 0; // the operator stops once that many Progress calls came; 0 never

    void Warning(const std::string& text) override { messages.push_back("Warning: " + text); }
    void Error(const std::string& text) override { messages.push_back("Error: " + text); }
    void Information(const std::string& text) override { messages.push_back("Information: " + text); }
    bool Confirm(const std::string& text) override
    {
        messages.push_back("Confirm: " + text);
        if (onConfirm)
            onConfirm();
        return answer;
    }
    void Progress(long long done, long long total) override { progress.emplace_back(done, total); }
    void ProgressFinished() override { ++progressFinished; }
    bool StopAsked() override { return stopAfterProgress > 0 && progress.size() >= stopAfterProgress; }
};

// A database with the project's tables on a server the test has to itself.
inline std::string LogDatabaseOn(const testsupport::PrivateServer& server)
{
    const std::string name = server.Address() + ":" + server.Folder() + "LOG.FDB";
    testsupport::CreateDatabaseAt(name, true);
    return name;
}

// A parcel row; a null faulty EAN is written as NULL.
inline std::string ParcelInsert(const std::string& barcodeSpeed, const std::string& codiceEan,
                                const char* codiceEanErrato = nullptr)
{
    return "INSERT INTO COLLI (BARCODESPEED, CODICEEAN, CODICEEAN_ERRATO) VALUES (" +
           parcels::QuotedLiteral(barcodeSpeed) + ", " + parcels::QuotedLiteral(codiceEan) + ", " +
           (codiceEanErrato ? parcels::QuotedLiteral(codiceEanErrato) : std::string("NULL")) + ")";
}

// The parcels of the courier lookup's cases, as statements of a script.
inline std::string CourierCaseParcels()
{
    return ParcelInsert("SP1", "2001234567890", "2001234567883") + ";" + ParcelInsert("O'Brien", "1111111111111") +
           ";" + ParcelInsert("NOEAN", "2222222222222") + ";" + ParcelInsert("DUP", "3333333333333", "first") + ";" +
           ParcelInsert("DUP", "4444444444444", "second") + ";" + ParcelInsert("a:b", "5555555555555") + ";" +
           "INSERT INTO COLLI (BARCODESPEED) VALUES ('NULLS')";
}

struct CourierCase {
    std::string code;
    bool found;
    std::string ean;
    std::string faulty;
};

// What the station's courier lookup has always answered for those parcels.
inline std::vector<CourierCase> CourierCases()
{
    return {
        {"SP1", true, "2001234567890", "2001234567883"},
        {"O'Brien", true, "1111111111111", ""},
        {"NOEAN", true, "2222222222222", ""},
        {"NULLS", true, "", ""},
        {"DUP", true, "3333333333333", "first"}, // the first row read wins
        {"a:b", true, "5555555555555", ""},
        {"SP1 ", true, "2001234567890", "2001234567883"}, // trailing blanks compare equal, as in SQL
        {"sp1", false, "", ""},
        {std::string(300, 'X'), false, "", ""}, // longer than the column: no match, no error
        {"' OR ''='", false, "", ""},
    };
}

// Adds `count` eligible parcels P0000001... whose EANs are all 2001234567890.
inline void FillParcels(const testsupport::TestDatabase& database, long long count)
{
    Station station(database);
    station.transaction.SetActive(true);
    dataaccess::SqlStatement fill(station.connection, station.transaction);
    fill.SetParamCheck(false);
    fill.AddLine("EXECUTE BLOCK AS DECLARE I INTEGER = 1; BEGIN WHILE (I <= " + std::to_string(count) +
                 ") DO BEGIN INSERT INTO COLLI (BARCODESPEED, CODICEEAN) VALUES ("
                 "'P' || LPAD(:I, 7, '0'), '2001234567890'); I = I + 1; END END");
    fill.ExecQuery();
    station.transaction.Commit();
}

} // namespace parcelstest
