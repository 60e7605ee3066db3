// Lookup by courier barcode and log insert + commit: through the data access layer
// and written directly against the client library, on a 1,000,000-parcel COLLI.
//   dataaccess_bench [--server 127.0.0.1/PORT] [--db PATH] [--parcels N] [--lookups N] [--inserts N]
#include "dataaccess/Connection.h"
#include "dataaccess/SqlQuery.h"
#include "dataaccess/SqlScript.h"
#include "dataaccess/SqlStatement.h"
#include "dataaccess/Transaction.h"

#include <ibase.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {


struct Options {
    std::string server;
    std::string path;
    long parcels = 1000000; // a small number keeps a CI run short
    int lookups = 20000;
    int inserts = 2000;
};

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--server" && hasValue)
            options.server = argv[++i];
        else if (arg == "--db" && hasValue)
            options.path = argv[++i];
        else if (arg == "--parcels" && hasValue)
            options.parcels = std::atol(argv[++i]);
        else if (arg == "--lookups" && hasValue)
            options.lookups = std::atoi(argv[++i]);
        else if (arg == "--inserts" && hasValue)
            options.inserts = std::atoi(argv[++i]);
        else
            throw std::runtime_error("usage: dataaccess_bench [--server 127.0.0.1/PORT] [--db PATH] "
                                     "[--parcels N] [--lookups N] [--inserts N]");
    }
    if (options.path.empty()) {
        // The embedded engine and a server must never share a file.
        const std::string size = std::to_string(options.parcels);
        options.path = options.server.empty() ? "/tmp/colli-bench/colli-" + size + "-embedded.fdb"
                                              : "/tmp/colli-bench/colli-" + size + "-server.fdb";
    }
    return options;
}

std::string SchemaScript()
{
    const char* source = std::getenv("COLLI_SOURCE_DIR");
    const std::string path =
        source ? std::string(source) + "/parcels/schema.sql" : std::string(COLLI_SCHEMA_SQL_PATH);
    std::ifstream file(path);
    if (!file)
        throw std::runtime_error("cannot read " + path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void Run(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
         const std::string& sql)
{
    transaction.SetActive(true);
    dataaccess::SqlStatement statement(connection, transaction);
    statement.SetParamCheck(false);
    statement.AddLine(sql);
    statement.ExecQuery();
    transaction.Commit();
}

std::string Barcode(long i)
{
    char text[32];
    std::snprintf(text, sizeof text, "S%010ld", i);
    return text;
}

// Attaches to the benchmark database, building it first when it is missing or short.
void OpenParcels(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                 const Options& options)
{
    const std::string name =
        options.server.empty() ? options.path : options.server + ":" + options.path;
    connection.SetDatabaseName(name);
    connection.Params() = {"user_name=SYSDBA", "password=plumtrove"};
    try {
        connection.SetConnected(true);
        dataaccess::SqlQuery count(connection, transaction);
        count.SetParamCheck(false);
        count.AddLine("SELECT COUNT(*) AS N FROM COLLI");
        count.Open();
        if (count.FieldInteger("N") == options.parcels) {
            count.Close();
            transaction.Commit();
            return;
        }
        std::fprintf(stderr, "%s has the wrong number of parcels: rebuilding\n", name.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "building %s (%s)\n", name.c_str(), error.what());
    }
    connection.SetConnected(false);
    std::filesystem::create_directories(std::filesystem::path(options.path).parent_path());
    std::filesystem::permissions(std::filesystem::path(options.path).parent_path(),
                                 std::filesystem::perms::all);
    std::filesystem::remove(options.path);
    connection.Params() = {"USER \"SYSDBA\"", "PASSWORD \"plumtrove\"", "PAGE_SIZE 4096"};
    connection.SetSQLDialect(3);
    connection.CreateDatabase();
    for (const std::string& statement : dataaccess::SplitSqlScript(SchemaScript()))
        Run(connection, transaction, statement);
    const auto started = std::chrono::steady_clock::now();
    Run(connection, transaction,
        "EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < " + std::to_string(options.parcels) +
            ") DO BEGIN INSERT INTO COLLI (BARCODESPEED, CODICEEAN, CODICEEAN_ERRATO) VALUES ("
            "'S' || LPAD(:I, 10, '0'), '800' || LPAD(:I, 10, '0'), "
            "IIF(MOD(:I, 2) = 0, NULL, '900' || LPAD(:I, 10, '0'))); I = I + 1; END END");
    Run(connection, transaction, "SET STATISTICS INDEX IDX_COLLI_BARCODESPEED");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr, "filled %ld parcels in %.1f s\n", options.parcels, seconds);
}

// The raw client calls of one lookup, as a program without the layer writes them.
class RawLookup {
public:
    RawLookup(isc_db_handle* database, isc_tr_handle* transaction)
        : database_(database), transaction_(transaction),
          area_(static_cast<XSQLDA*>(std::malloc(XSQLDA_LENGTH(8))))
    {
        area_->version = SQLDA_VERSION1;
        area_->sqln = 8;
    }
    ~RawLookup() { std::free(area_); }
    RawLookup(const RawLookup&) = delete;
    RawLookup& operator=(const RawLookup&) = delete;

    void Run(const std::string& sql, std::string& ean, std::string& wrongEan)
    {
        ISC_STATUS_ARRAY status;
        isc_stmt_handle statement = 0;
        if (isc_dsql_alloc_statement2(status, database_, &statement) ||
            isc_dsql_prepare(status, transaction_, &statement, 0, sql.c_str(), 3, area_))
            Fail(status);
        for (int i = 0; i < area_->sqld; ++i) {
            XSQLVAR& column = area_->sqlvar[i];
            column.sqldata = buffers_[i];
            column.sqlind = &nulls_[i];
        }
        if (isc_dsql_execute(status, transaction_, &statement, 3, nullptr))
            Fail(status);
        const ISC_STATUS fetched = isc_dsql_fetch(status, &statement, 3, area_);
        if (fetched != 0 && fetched != 100)
            Fail(status);
        ean.clear();
        wrongEan.clear();
        if (fetched == 0) {
            Text(area_->sqlvar[1], ean);
            Text(area_->sqlvar[2], wrongEan);
        }
        if (isc_dsql_free_statement(status, &statement, DSQL_drop))
            Fail(status);
    }

private:
    static void Text(const XSQLVAR& column, std::string& out)
    {
        if (*column.sqlind < 0)
            return;
        unsigned short length;
        std::memcpy(&length, column.sqldata, 2);
        out.assign(column.sqldata + 2, length);
    }
    [[noreturn]] static void Fail(const ISC_STATUS* status)
    {
        char line[512];
        const ISC_STATUS* cursor = status;
        fb_interpret(line, sizeof line, &cursor);
        throw std::runtime_error(line);
    }

    isc_db_handle* database_;
    isc_tr_handle* transaction_;
    XSQLDA* area_;
    alignas(8) char buffers_[8][72] = {};
    short nulls_[8] = {};
};

struct Figures {
    double median;
    double p99;
};

Figures Measure(std::vector<double>& samples)
{
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))];
    };
    return {at(0.5), at(0.99)};
}

// Alternates blocks of the two variants so that both see the same machine.
// Variant calls get distinct indexes: the layer even ones, the raw odd ones.
std::pair<Figures, Figures> Compare(int count, const std::function<void(int)>& layer,
                                    const std::function<void(int)>& raw)
{
    std::vector<double> layerSamples, rawSamples;
    layerSamples.reserve(static_cast<std::size_t>(count));
    rawSamples.reserve(static_cast<std::size_t>(count));
    constexpr int kBlock = 100;
    for (int warm = 0; warm < std::min(count, 200); ++warm) {
        layer(2 * warm);
        raw(2 * warm + 1);
    }
    for (int done = 0; done < count; done += kBlock) {
        // Each block swaps which variant goes first, so neither profits from the other's cache.
        auto order = {std::pair{&layer, &layerSamples}, {&raw, &rawSamples}};
        auto reversed = {std::pair{&raw, &rawSamples}, {&layer, &layerSamples}};
        for (auto [variant, samples] : (done / kBlock) % 2 ? reversed : order) {
            for (int i = done; i < std::min(count, done + kBlock); ++i) {
                const auto start = std::chrono::steady_clock::now();
                (*variant)(2 * i + (variant == &raw ? 1 : 0));
                samples->push_back(std::chrono::duration<double, std::micro>(
                                       std::chrono::steady_clock::now() - start)
                                       .count());
            }
        }
    }
    return {Measure(layerSamples), Measure(rawSamples)};
}

void Print(const char* what, const Figures& layer, const Figures& raw)
{
    std::printf("%-15s layer: median %8.1f us  p99 %8.1f us\n", what, layer.median, layer.p99);
    std::printf("%-15s raw:   median %8.1f us  p99 %8.1f us\n", what, raw.median, raw.p99);
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const Options options = ParseOptions(argc, argv);
        dataaccess::Connection connection;
        dataaccess::Transaction transaction(connection);
        OpenParcels(connection, transaction, options);

        // A raw attachment of its own for the raw variants.
        const std::string name = connection.DatabaseName();
        std::string dpb = {static_cast<char>(isc_dpb_version1), static_cast<char>(isc_dpb_user_name),
                           6};
        dpb += "SYSDBA";
        dpb += {static_cast<char>(isc_dpb_password), 9};
        dpb += "plumtrove";
        ISC_STATUS_ARRAY status;
        isc_db_handle rawDatabase = 0;
        isc_tr_handle rawTransaction = 0;
        if (isc_attach_database(status, static_cast<short>(name.size()), name.c_str(), &rawDatabase,
                                static_cast<short>(dpb.size()), dpb.data()) ||
            isc_start_transaction(status, &rawTransaction, 1, &rawDatabase, 0, nullptr))
            throw std::runtime_error("raw attach failed");

        std::mt19937 random(42);
        std::uniform_int_distribution<long> pick(0, options.parcels - 1);
        std::vector<std::string> codes(2 * static_cast<std::size_t>(std::max(options.lookups, options.inserts)) + 400);
        for (std::string& code : codes)
            code = Barcode(pick(random));

        std::string ean, wrongEan;
        std::size_t checksum = 0;
        RawLookup rawLookup(&rawDatabase, &rawTransaction);
        const auto lookups = Compare(
            options.lookups,
            [&](int i) {
                dataaccess::SqlQuery query(connection, transaction);
                query.SetParamCheck(false);
                query.SetUniDirectional(true);
                query.AddLine("SELECT * FROM COLLI");
                query.AddLine("WHERE BARCODESPEED = '" + codes[static_cast<std::size_t>(i)] + "'");
                query.Open();
                ean = query.FieldText("CODICEEAN");
                wrongEan = query.FieldText("CODICEEAN_ERRATO");
                checksum += ean.size() + wrongEan.size();
            },
            [&](int i) {
                const std::string sql = "SELECT * FROM COLLI\r\nWHERE BARCODESPEED = '" +
                                        codes[static_cast<std::size_t>(i)] + "'\r\n";
                rawLookup.Run(sql, ean, wrongEan);
                checksum += ean.size() + wrongEan.size();
            });
        if (transaction.Active())
            transaction.Commit();

        const auto inserts = Compare(
            options.inserts,
            [&](int i) {
                transaction.SetActive(true);
                dataaccess::SqlStatement insert(connection, transaction);
                insert.SetParamCheck(false);
                insert.AddLine("INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS)");
                insert.AddLine("VALUES (GEN_ID(IDLOGSPARATECOUNTER,1), CURRENT_TIMESTAMP, '" +
                               codes[static_cast<std::size_t>(i)] + "', '8001234567890', 'EanCorretto')");
                insert.ExecQuery();
                transaction.Commit();
            },
            [&](int i) {
                ISC_STATUS_ARRAY st;
                isc_tr_handle tr = 0;
                isc_stmt_handle statement = 0;
                const std::string sql =
                    "INSERT INTO LOGSPARATE (ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS)\r\n"
                    "VALUES (GEN_ID(IDLOGSPARATECOUNTER,1), CURRENT_TIMESTAMP, '" +
                    codes[static_cast<std::size_t>(i)] + "', '8001234567890', 'EanCorretto')\r\n";
                if (isc_start_transaction(st, &tr, 1, &rawDatabase, 0, nullptr) ||
                    isc_dsql_alloc_statement2(st, &rawDatabase, &statement) ||
                    isc_dsql_prepare(st, &tr, &statement, 0, sql.c_str(), 3, nullptr) ||
                    isc_dsql_execute(st, &tr, &statement, 3, nullptr) ||
                    isc_dsql_free_statement(st, &statement, DSQL_drop) ||
                    isc_commit_transaction(st, &tr))
                    throw std::runtime_error("raw insert failed");
            });

        isc_commit_transaction(status, &rawTransaction);
        isc_detach_database(status, &rawDatabase);

        std::printf("database: %s (%ld parcels), %d lookups, %d inserts, checksum %zu\n",
                    name.c_str(), options.parcels, options.lookups, options.inserts, checksum);
        Print("lookup", lookups.first, lookups.second);
        Print("insert+commit", inserts.first, inserts.second);
        std::printf("layer/raw insert ratio: %.2f\n", inserts.first.median / inserts.second.median);
        std::printf("layer/raw lookup ratio: %.2f\n", lookups.first.median / lookups.second.median);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dataaccess_bench: %s\n", error.what());
        return 1;
    }
}
