#include "RawBatch.h"

#include <parcels/WrongEanBatch.h>

#include <ibase.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

void Check(const ISC_STATUS* status, const char* what)
{
    if (status[0] == 1 && status[1] != 0) {
        char line[512];
        std::string message = what;
        const ISC_STATUS* cursor = status;
        while (fb_interpret(line, sizeof line, &cursor) > 0)
            message += std::string("\n") + line;
        throw std::runtime_error(message);
    }
}

struct Sqlda {
    explicit Sqlda(short count) : bytes(XSQLDA_LENGTH(count))
    {
        da()->version = SQLDA_VERSION1;
        da()->sqln = count;
    }
    XSQLDA* da() { return reinterpret_cast<XSQLDA*>(bytes.data()); }
    std::vector<char> bytes;
};

// Client handles released on every way out.
struct Attachment {
    isc_db_handle handle = 0;
    ~Attachment()
    {
        ISC_STATUS_ARRAY status{};
        if (handle)
            isc_detach_database(status, &handle);
    }
};
struct RawTransaction {
    isc_tr_handle handle = 0;
    ~RawTransaction()
    {
        ISC_STATUS_ARRAY status{};
        if (handle)
            isc_rollback_transaction(status, &handle);
    }
};
struct RawStatement {
    isc_stmt_handle handle = 0;
    ~RawStatement()
    {
        ISC_STATUS_ARRAY status{};
        if (handle)
            isc_dsql_free_statement(status, &handle, DSQL_drop);
    }
};

const char* const kSelect =
    "SELECT\r\n  BARCODESPEED,\r\n  CODICEEAN\r\nFROM\r\n  COLLI\r\nWHERE\r\n"
    "  CODICEEAN_ERRATO IS NULL\r\n  AND\r\n  CHAR_LENGTH(CODICEEAN)=13\r\nORDER BY\r\n"
    "  BARCODESPEED\r\n";
const char* const kUpdate =
    "UPDATE COLLI SET\r\nCODICEEAN_ERRATO=?\r\nWHERE\r\n  BARCODESPEED=?\r\n";

long long CountRows(isc_db_handle* db, isc_tr_handle* tr)
{
    ISC_STATUS_ARRAY status{};
    const std::string text =
        std::string("SELECT\r\n  COUNT(*) AS TOT\r\nFROM\r\n  (\r\n") + kSelect + "  )\r\n";
    Sqlda out(1);
    RawStatement count;
    isc_dsql_allocate_statement(status, db, &count.handle);
    Check(status, "allocate count");
    isc_dsql_prepare(status, tr, &count.handle, 0, text.c_str(), 3, out.da());
    Check(status, "prepare count");
    ISC_INT64 value = 0;
    short indicator = 0;
    out.da()->sqlvar[0].sqltype = SQL_INT64 + 1;
    out.da()->sqlvar[0].sqldata = reinterpret_cast<char*>(&value);
    out.da()->sqlvar[0].sqlind = &indicator;
    isc_dsql_execute(status, tr, &count.handle, 3, nullptr);
    Check(status, "execute count");
    isc_dsql_fetch(status, &count.handle, 3, out.da());
    Check(status, "fetch count");
    return value;
}

std::string VaryingText(const XSQLVAR& var)
{
    if (var.sqlind && *var.sqlind < 0)
        return {};
    short length = 0;
    std::memcpy(&length, var.sqldata, sizeof length);
    return std::string(var.sqldata + sizeof length, static_cast<std::size_t>(length));
}

std::string ParameterBlock(const std::string& user, const std::string& password)
{
    std::string dpb(1, static_cast<char>(isc_dpb_version1));
    for (auto [tag, value] : {std::pair{isc_dpb_user_name, &user}, {isc_dpb_password, &password}}) {
        dpb += static_cast<char>(tag);
        dpb += static_cast<char>(value->size());
        dpb += *value;
    }
    return dpb;
}

} // namespace

double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void SetForcedWrites(const std::string& databaseName, const std::string& user,
                     const std::string& password, bool on)
{
    ISC_STATUS_ARRAY status{};
    std::string dpb = ParameterBlock(user, password);
    dpb += static_cast<char>(isc_dpb_force_write);
    dpb += static_cast<char>(1);
    dpb += static_cast<char>(on ? 1 : 0);
    Attachment attachment;
    isc_attach_database(status, static_cast<short>(databaseName.size()), databaseName.c_str(),
                        &attachment.handle, static_cast<short>(dpb.size()), dpb.data());
    Check(status, "attach");
}

RawBatchResult RunRawBatch(const std::string& databaseName, const std::string& user,
                           const std::string& password)
{
    ISC_STATUS_ARRAY status{};
    const std::string dpb = ParameterBlock(user, password);
    Attachment attachment;
    isc_db_handle& db = attachment.handle;
    isc_attach_database(status, static_cast<short>(databaseName.size()), databaseName.c_str(), &db,
                        static_cast<short>(dpb.size()), dpb.data());
    Check(status, "attach");
    RawTransaction transaction;
    isc_tr_handle& tr = transaction.handle;
    isc_start_transaction(status, &tr, 1, &db, 0, nullptr);
    Check(status, "start");

    Sqlda out(2);
    RawStatement selectStatement;
    isc_stmt_handle& select = selectStatement.handle;
    isc_dsql_allocate_statement(status, &db, &select);
    Check(status, "allocate select");
    isc_dsql_prepare(status, &tr, &select, 0, kSelect, 3, out.da());
    Check(status, "prepare select");
    std::vector<std::vector<char>> buffers;
    std::vector<short> nulls(2);
    for (int i = 0; i < 2; ++i) {
        XSQLVAR& var = out.da()->sqlvar[i];
        buffers.emplace_back(static_cast<std::size_t>(var.sqllen) + sizeof(short));
        var.sqldata = buffers.back().data();
        var.sqlind = &nulls[static_cast<std::size_t>(i)];
    }
    isc_dsql_execute(status, &tr, &select, 3, nullptr);
    Check(status, "execute select");
    long fetch = isc_dsql_fetch(status, &select, 3, out.da());
    if (fetch != 0 && fetch != 100)
        Check(status, "fetch");
    CountRows(&db, &tr); // as the batch does before asking; it warms the caches the same way

    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    Sqlda in(2);
    RawStatement updateStatement;
    isc_stmt_handle& update = updateStatement.handle;
    isc_dsql_allocate_statement(status, &db, &update);
    Check(status, "allocate update");
    isc_dsql_prepare(status, &tr, &update, 0, kUpdate, 3, nullptr);
    Check(status, "prepare update");
    isc_dsql_describe_bind(status, &update, 3, in.da());
    Check(status, "describe update");
    short notNull = 0;
    for (int i = 0; i < 2; ++i) {
        in.da()->sqlvar[i].sqltype = SQL_TEXT + 1;
        in.da()->sqlvar[i].sqlind = &notNull;
    }

    RawBatchResult result;
    while (fetch == 0) {
        std::string faulty = parcels::FaultyEan(VaryingText(out.da()->sqlvar[1]));
        std::string barcodeSpeed = VaryingText(out.da()->sqlvar[0]);
        in.da()->sqlvar[0].sqldata = faulty.data();
        in.da()->sqlvar[0].sqllen = static_cast<short>(faulty.size());
        in.da()->sqlvar[1].sqldata = barcodeSpeed.data();
        in.da()->sqlvar[1].sqllen = static_cast<short>(barcodeSpeed.size());
        isc_dsql_execute(status, &tr, &update, 3, in.da());
        Check(status, "execute update");
        ++result.rows;
        fetch = isc_dsql_fetch(status, &select, 3, out.da());
        if (fetch != 0 && fetch != 100)
            Check(status, "fetch");
    }
    isc_commit_transaction(status, &tr);
    Check(status, "commit");
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.cpuSeconds = ProcessCpuSeconds() - cpuStart;
    return result;
}
