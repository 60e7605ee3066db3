#include "RawPair.h"

#include <ibase.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

void Check(const ISC_STATUS* status, const char* what)
{
    if (status[0] == 1 && status[1] != 0) {
        char line[512];
        std::string message = std::string("raw client: ") + what;
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
        da()->sqld = count;
    }
    XSQLDA* da() { return reinterpret_cast<XSQLDA*>(bytes.data()); }
    std::vector<char> bytes;
};

// One text parameter per slot, sent as CHAR of its own length.
struct TextParams {
    explicit TextParams(short count) : sqlda(count), values(count), nulls(count) {}
    void Set(short i, const std::string& value)
    {
        XSQLVAR& var = sqlda.da()->sqlvar[i];
        values[i] = value;
        nulls[i] = value.empty() ? -1 : 0;
        var.sqltype = SQL_TEXT + 1;
        var.sqllen = static_cast<ISC_SHORT>(values[i].size());
        var.sqldata = values[i].data();
        var.sqlind = &nulls[i];
    }
    Sqlda sqlda;
    std::vector<std::string> values;
    std::vector<ISC_SHORT> nulls;
};

} // namespace

struct RawPair::Handles {
    isc_db_handle db = 0;
    isc_tr_handle reads = 0;
    isc_tr_handle writes = 0;
    isc_stmt_handle lookup = 0;
    isc_stmt_handle insert = 0;
    Sqlda lookupOut{2};
    std::vector<std::vector<char>> lookupBuffers;
    std::vector<ISC_SHORT> lookupNulls = std::vector<ISC_SHORT>(2);
    Sqlda insertOut{1};
    ISC_INT64 id = 0;
    ISC_SHORT idNull = 0;

    ~Handles()
    {
        ISC_STATUS_ARRAY status{};
        if (lookup)
            isc_dsql_free_statement(status, &lookup, DSQL_drop);
        if (insert)
            isc_dsql_free_statement(status, &insert, DSQL_drop);
        if (reads)
            isc_commit_transaction(status, &reads);
        if (writes)
            isc_commit_transaction(status, &writes);
        if (db)
            isc_detach_database(status, &db);
    }
};

RawPair::RawPair(const std::string& databaseName, const std::string& user, const std::string& password)
    : handles_(std::make_unique<Handles>())
{
    Handles& h = *handles_;
    ISC_STATUS_ARRAY status{};
    std::vector<char> dpb{isc_dpb_version1};
    for (auto [tag, value] : {std::pair{isc_dpb_user_name, user}, std::pair{isc_dpb_password, password}}) {
        dpb.push_back(static_cast<char>(tag));
        dpb.push_back(static_cast<char>(value.size()));
        dpb.insert(dpb.end(), value.begin(), value.end());
    }
    isc_attach_database(status, 0, databaseName.c_str(), &h.db, static_cast<short>(dpb.size()), dpb.data());
    Check(status, "attach");

    const char readTpb[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_read_committed, isc_tpb_rec_version,
                            isc_tpb_nowait};
    const char writeTpb[] = {isc_tpb_version3, isc_tpb_write, isc_tpb_read_committed, isc_tpb_rec_version,
                             isc_tpb_wait, isc_tpb_autocommit};
    isc_start_transaction(status, &h.reads, 1, &h.db, static_cast<unsigned short>(sizeof readTpb), readTpb);
    Check(status, "start the read transaction");
    isc_start_transaction(status, &h.writes, 1, &h.db, static_cast<unsigned short>(sizeof writeTpb), writeTpb);
    Check(status, "start the write transaction");

    isc_dsql_allocate_statement(status, &h.db, &h.lookup);
    Check(status, "allocate");
    const char* lookupText = "SELECT CODICEEAN, CODICEEAN_ERRATO FROM COLLI WHERE BARCODESPEED = ?";
    isc_dsql_prepare(status, &h.reads, &h.lookup, 0, lookupText, 3, h.lookupOut.da());
    Check(status, "prepare the lookup");
    h.lookupBuffers.resize(2);
    for (short i = 0; i < 2; ++i) {
        XSQLVAR& var = h.lookupOut.da()->sqlvar[i];
        h.lookupBuffers[i].resize(static_cast<std::size_t>(var.sqllen) + 2);
        var.sqldata = h.lookupBuffers[i].data();
        var.sqlind = &h.lookupNulls[i];
    }

    isc_dsql_allocate_statement(status, &h.db, &h.insert);
    Check(status, "allocate");
    const char* insertText = "INSERT INTO LOGSPARATE(ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS) "
                             "VALUES (GEN_ID(IDLOGSPARATECOUNTER, 1), CURRENT_TIMESTAMP, ?, ?, ?) RETURNING ID";
    isc_dsql_prepare(status, &h.writes, &h.insert, 0, insertText, 3, h.insertOut.da());
    Check(status, "prepare the insert");
    XSQLVAR& idVar = h.insertOut.da()->sqlvar[0];
    idVar.sqltype = SQL_INT64 + 1;
    idVar.sqllen = sizeof h.id;
    idVar.sqldata = reinterpret_cast<char*>(&h.id);
    idVar.sqlind = &h.idNull;
}

RawPair::~RawPair() = default;

std::string RawPair::Lookup(const std::string& barcodeSpeed)
{
    Handles& h = *handles_;
    ISC_STATUS_ARRAY status{};
    TextParams in(1);
    in.Set(0, barcodeSpeed);
    isc_dsql_execute(status, &h.reads, &h.lookup, 3, in.sqlda.da());
    Check(status, "execute the lookup");
    std::string ean;
    // The first row read wins; the cursor is closed without reading further.
    if (isc_dsql_fetch(status, &h.lookup, 3, h.lookupOut.da()) == 0 && h.lookupNulls[0] == 0) {
        const XSQLVAR& var = h.lookupOut.da()->sqlvar[0];
        if ((var.sqltype & ~1) == SQL_VARYING) {
            ISC_SHORT length;
            std::memcpy(&length, var.sqldata, sizeof length);
            ean.assign(var.sqldata + 2, static_cast<std::size_t>(length));
        } else {
            ean.assign(var.sqldata, static_cast<std::size_t>(var.sqllen));
        }
    }
    Check(status, "fetch the parcel");
    isc_dsql_free_statement(status, &h.lookup, DSQL_close);
    Check(status, "close the lookup");
    return ean;
}

void RawPair::Log(const std::string& barcodeSpeed, const std::string& eanRead, const std::string& status)
{
    Handles& h = *handles_;
    ISC_STATUS_ARRAY result{};
    TextParams in(3);
    in.Set(0, barcodeSpeed);
    in.Set(1, eanRead);
    in.Set(2, status);
    isc_dsql_execute2(result, &h.writes, &h.insert, 3, in.sqlda.da(), h.insertOut.da());
    Check(result, "insert the log row");
}
