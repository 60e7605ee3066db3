#include "parcels/ParcelCopy.h"

#include "parcels/ScanJournal.h"

#include "SqliteFile.h"

#include <dataaccess/Connection.h>
#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/Transaction.h>

#include <sqlite3.h>

#include <limits>

namespace parcels {
namespace {

constexpr const char* kNotWritten = "Impossibile scrivere la copia dei colli sulla postazione (";
constexpr const char* kNoCopy = "Copia dei colli non disponibile: ";
// Rows per write transaction of the store: short enough that the journal,
// which may share the file, never waits long for its turn to write.
constexpr long long kChunkRows = 20000;
constexpr long long kAskEveryRows = 4096;

[[noreturn]] void RaiseCopy(const std::string& path, const std::string& reason)
{
    throw CopyStoreError(kNotWritten + path + "): " + reason);
}

// A prepared statement of the store, used again and again.
class Statement : public sqlite::Statement {
public:
    Statement(sqlite3* db, const char* sql, const std::string& path) : sqlite::Statement(db, sql, path, &RaiseCopy)
    {
    }
};

// Runs once, reset however the call ends.
class Once {
public:
    explicit Once(Statement& statement) : statement_(statement) {}
    ~Once() { statement_.Reset(); }
    Once(const Once&) = delete;
    Once& operator=(const Once&) = delete;
    Statement* operator->() { return &statement_; }

private:
    Statement& statement_;
};

// The header row of COLLI_MODIFICHE_DOPO.
struct Header {
    std::int64_t settled = 0;
    std::int64_t pruned = 0;
    int relation = 0;
    std::string created;
};

// What the store knows of the copy beyond CopyState.
struct Stored {
    CopyState state;
    std::string created;
    int relation = 0;
};

std::int64_t Number(const std::string& text)
{
    try {
        return std::stoll(text);
    } catch (const std::exception&) {
        throw CopyUnavailableError(std::string(kNoCopy) + "numero non valido dal registro delle modifiche: '" + text +
                                   "'");
    }
}

// The record's number within COLLI, the order in which the server reads
// records sharing a courier barcode: the key is the table's relation number
// (2 bytes) and the record's number (the 5th byte up, then 4 bytes), each
// least significant byte first as the server stores them. The relation
// number, known from the catalogue, confirms that reading.
std::int64_t RecordNumber(const std::string& key, int relation)
{
    auto byte = [&](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(key[i])); };
    if (key.size() != 8 || static_cast<int>(byte(0) | byte(1) << 8) != relation)
        throw CopyUnavailableError(std::string(kNoCopy) + "le chiavi dei record di COLLI hanno una forma sconosciuta");
    return static_cast<std::int64_t>(byte(4) | byte(5) << 8 | byte(6) << 16 | byte(7) << 24 | byte(3) << 32);
}

// Opens a select of the change log; a database without it, or an account
// that may not read it, gives no copy.
void OpenLog(dataaccess::SqlQuery& query)
{
    try {
        query.Open();
    } catch (const dataaccess::ConnectionLostError&) {
        throw;
    } catch (const dataaccess::DatabaseError& error) {
        if (error.sqlCode() == -204 || error.sqlCode() == -551)
            throw CopyUnavailableError(kNoCopy + std::string(error.what()));
        throw;
    }
}

Header ReadHeader(dataaccess::SqlQuery& query)
{
    if (query.AtEnd() || !query.FieldText(0).empty())
        throw CopyUnavailableError(std::string(kNoCopy) + "il registro delle modifiche non risponde come previsto");
    Header header;
    header.settled = Number(query.FieldText(6));
    header.pruned = Number(query.FieldText(8));
    header.relation = static_cast<int>(Number(query.FieldText(9)));
    header.created = query.FieldText(10);
    query.NextRow();
    return header;
}

// The server compares codes with the blanks at the end ignored.
std::string CourierKey(const std::string& barcodeSpeed)
{
    const std::size_t end = barcodeSpeed.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : barcodeSpeed.substr(0, end + 1);
}

} // namespace

struct ParcelCopy::Store {
    sqlite3* db = nullptr;
    std::string path;
    std::unique_ptr<Statement> find;

    explicit Store(std::string file) : path(std::move(file)) {}
    ~Store()
    {
        find.reset();
        sqlite::Close(db);
    }

    void Execute(const std::string& sql) { sqlite::Execute(db, sql, path, &RaiseCopy); }
    bool HasTable(const char* name)
    {
        Statement query(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1", path);
        return query.BindText(1, name).Step();
    }
    Stored Read()
    {
        Statement query(db,
                        "SELECT DATABASE, ASSESTATE, AGGIORNATA, CREATO, RELAZIONE FROM COPIA_COLLI_STATO "
                        "WHERE UNO = 1",
                        path);
        Stored stored;
        if (query.Step()) {
            stored.state = {true, query.Text(0), query.Integer(1), query.Text(2)};
            stored.created = query.Text(3);
            stored.relation = static_cast<int>(query.Integer(4));
        }
        return stored;
    }
};

namespace {

// A write transaction of the store, rolled back unless committed.
class Writing {
public:
    explicit Writing(ParcelCopy::Store& store) : store_(store) { Begin(); }
    ~Writing()
    {
        if (open_)
            sqlite3_exec(store_.db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Writing(const Writing&) = delete;
    Writing& operator=(const Writing&) = delete;

    void Commit()
    {
        store_.Execute("COMMIT");
        open_ = false;
    }
    // Lets other writers of the file have their turn.
    void CommitAndGoOn()
    {
        Commit();
        Begin();
    }

private:
    void Begin()
    {
        store_.Execute("BEGIN IMMEDIATE");
        open_ = true;
    }
    ParcelCopy::Store& store_;
    bool open_ = false;
};

constexpr const char* kIndexNames[] = {"COPIA_COLLI_CODICE_A", "COPIA_COLLI_CODICE_B"};

std::string TableSql(const char* table)
{
    return std::string("CREATE TABLE ") + table +
           " (RIGA INTEGER PRIMARY KEY, BARCODESPEED BLOB NOT NULL, CODICEEAN BLOB, CODICEEAN_ERRATO BLOB)";
}

} // namespace

ParcelCopy::ParcelCopy(const std::string& path) : path_(path), store_(std::make_unique<Store>(path))
{
    store_->db = sqlite::Open(path, &RaiseCopy);
    // A copy lost to a power cut is filled again; the journal, if it shares
    // the file, syncs its own writes (and whatever came before them).
    store_->Execute("PRAGMA synchronous=NORMAL");
    Writing writing(*store_);
    if (!store_->HasTable("COPIA_COLLI")) {
        store_->Execute(TableSql("COPIA_COLLI"));
        store_->Execute(std::string("CREATE INDEX ") + kIndexNames[0] + " ON COPIA_COLLI (BARCODESPEED)");
    }
    store_->Execute("CREATE TABLE IF NOT EXISTS COPIA_COLLI_STATO ("
                    "UNO INTEGER PRIMARY KEY CHECK (UNO = 1), "
                    "DATABASE TEXT NOT NULL, "
                    "CREATO TEXT NOT NULL, "
                    "RELAZIONE INTEGER NOT NULL, "
                    "ASSESTATE INTEGER NOT NULL, "
                    "AGGIORNATA TEXT NOT NULL)");
    writing.Commit();
}

ParcelCopy::ParcelCopy(const std::string& path, dataaccess::Connection& connection, dataaccess::Transaction& reads)
    : ParcelCopy(path)
{
    if (!reads.ReadCommitted())
        throw std::invalid_argument("the copy of the parcels reads in a read committed transaction");
    connection_ = &connection;
    reads_ = &reads;
}

ParcelCopy::~ParcelCopy() = default;

CopyState ParcelCopy::State() const { return store_->Read().state; }

long long ParcelCopy::Rows() const
{
    Statement count(store_->db, "SELECT COUNT(*) FROM COPIA_COLLI", path_);
    count.Step();
    return count.Integer(0);
}

std::optional<Parcel> ParcelCopy::Find(const std::string& barcodeSpeed)
{
    // The index holds each code's records in their order: no sorting.
    if (!store_->find)
        store_->find = std::make_unique<Statement>(
            store_->db,
            "SELECT CODICEEAN, CODICEEAN_ERRATO FROM COPIA_COLLI WHERE BARCODESPEED = ?1 ORDER BY RIGA LIMIT 1",
            path_);
    Once find(*store_->find);
    find->Bind(1, CourierKey(barcodeSpeed));
    if (!find->Step())
        return std::nullopt;
    return Parcel{find->Text(0), find->Text(1)};
}

dataaccess::Transaction& ParcelCopy::Reads() const
{
    if (!reads_)
        throw std::logic_error("this copy of the parcels was opened for lookups only");
    return *reads_;
}

dataaccess::SqlQuery& ParcelCopy::Changes(const std::string& after)
{
    if (!changes_) {
        changes_ = std::make_unique<dataaccess::SqlQuery>(*connection_, Reads());
        changes_->SetUniDirectional(true);
        changes_->AddLine("SELECT N, CHIAVE, PRESENTE, BARCODESPEED, CODICEEAN, CODICEEAN_ERRATO,");
        changes_->AddLine("ASSESTATE, ULTIMA, POTATE, RELAZIONE, CREATO");
        changes_->AddLine("FROM COLLI_MODIFICHE_DOPO(:DOPO)");
    }
    changes_->SetParamText("DOPO", after);
    OpenLog(*changes_);
    return *changes_;
}

bool ParcelCopy::Fill(const std::function<bool()>& keepGoing)
{
    Reads();
    // Where the change log stands, before the table is read: whatever changes
    // after this is asked for again by the first refresh.
    dataaccess::SqlQuery& log = Changes(std::to_string(std::numeric_limits<std::int64_t>::max()));
    const Header header = ReadHeader(log);
    log.Close();

    store_->Execute("DROP TABLE IF EXISTS COPIA_COLLI_VECCHIA");
    store_->Execute("DROP TABLE IF EXISTS COPIA_COLLI_NUOVA");
    std::string index = kIndexNames[0];
    {
        Statement used(store_->db, "SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = ?1", path_);
        if (used.BindText(1, index).Step())
            index = kIndexNames[1];
    }
    store_->Execute(TableSql("COPIA_COLLI_NUOVA"));
    // Kept up as rows come, so that no single write holds the file for long.
    store_->Execute("CREATE INDEX " + index + " ON COPIA_COLLI_NUOVA (BARCODESPEED)");
    bool done = false;
    try {
        if (!records_) {
            records_ = std::make_unique<dataaccess::SqlQuery>(*connection_, Reads());
            records_->SetUniDirectional(true);
            records_->AddLine("SELECT RDB$DB_KEY, BARCODESPEED, CODICEEAN, CODICEEAN_ERRATO FROM COLLI");
            // A record without a courier barcode is never found.
            records_->AddLine("WHERE BARCODESPEED IS NOT NULL");
        }
        OpenLog(*records_);
        Writing writing(*store_);
        {
            Statement insert(store_->db,
                             "INSERT INTO COPIA_COLLI_NUOVA (RIGA, BARCODESPEED, CODICEEAN, CODICEEAN_ERRATO) "
                             "VALUES (?1, ?2, ?3, ?4)",
                             path_);
            long long rows = 0;
            for (; !records_->AtEnd(); records_->NextRow()) {
                Once row(insert);
                row->BindInt(1, RecordNumber(records_->FieldText(0), header.relation))
                    .Bind(2, CourierKey(records_->FieldText(1)))
                    .Bind(3, records_->FieldText(2))
                    .Bind(4, records_->FieldText(3))
                    .Step();
                if (++rows % kAskEveryRows == 0 && keepGoing && !keepGoing())
                    break;
                if (rows % kChunkRows == 0)
                    writing.CommitAndGoOn();
            }
            done = records_->AtEnd();
            records_->Close();
        }
        if (done) {
            Statement state(store_->db,
                            "INSERT OR REPLACE INTO COPIA_COLLI_STATO "
                            "(UNO, DATABASE, CREATO, RELAZIONE, ASSESTATE, AGGIORNATA) VALUES (1, ?1, ?2, ?3, ?4, ?5)",
                            path_);
            state.BindText(1, connection_->DatabaseName())
                .BindText(2, header.created)
                .BindInt(3, header.relation)
                .BindInt(4, header.settled)
                .BindText(5, LocalScanTime())
                .Step();
            // The whole new copy, and its number, at once.
            store_->Execute("ALTER TABLE COPIA_COLLI RENAME TO COPIA_COLLI_VECCHIA");
            store_->Execute("ALTER TABLE COPIA_COLLI_NUOVA RENAME TO COPIA_COLLI");
            writing.Commit();
        }
    } catch (...) {
        if (records_)
            records_->Close();
        sqlite3_exec(store_->db, "DROP TABLE IF EXISTS COPIA_COLLI_NUOVA", nullptr, nullptr, nullptr);
        throw;
    }
    store_->Execute(done ? "DROP TABLE COPIA_COLLI_VECCHIA" : "DROP TABLE COPIA_COLLI_NUOVA");
    return done;
}

RefreshResult ParcelCopy::Refresh()
{
    Reads();
    RefreshResult result;
    const Stored stored = store_->Read();
    if (!stored.state.filled || stored.state.database != connection_->DatabaseName()) {
        result.needsFill = true;
        return result;
    }
    dataaccess::SqlQuery& log = Changes(std::to_string(stored.state.settled));
    try {
        const Header header = ReadHeader(log);
        // A restore gives every record a new key; pruned changes are lost to it.
        if (header.created != stored.created || header.relation != stored.relation ||
            header.pruned > stored.state.settled) {
            log.Close();
            result.needsFill = true;
            return result;
        }
        Writing writing(*store_);
        Statement put(store_->db,
                      "INSERT OR REPLACE INTO COPIA_COLLI (RIGA, BARCODESPEED, CODICEEAN, CODICEEAN_ERRATO) "
                      "VALUES (?1, ?2, ?3, ?4)",
                      path_);
        Statement remove(store_->db, "DELETE FROM COPIA_COLLI WHERE RIGA = ?1", path_);
        // Each change gives its record as it is now, so changes applied before
        // a failure are right as they stand, and are simply applied again.
        for (; !log.AtEnd(); log.NextRow()) {
            const std::int64_t record = RecordNumber(log.FieldText(1), header.relation);
            if (log.FieldText(2) == "1") {
                Once row(put);
                row->BindInt(1, record)
                    .Bind(2, CourierKey(log.FieldText(3)))
                    .Bind(3, log.FieldText(4))
                    .Bind(4, log.FieldText(5))
                    .Step();
            } else {
                Once row(remove);
                row->BindInt(1, record).Step();
            }
            if (++result.changes % kChunkRows == 0)
                writing.CommitAndGoOn();
        }
        log.Close();
        Statement state(store_->db,
                        "UPDATE COPIA_COLLI_STATO SET ASSESTATE = MAX(ASSESTATE, ?1), AGGIORNATA = ?2 WHERE UNO = 1",
                        path_);
        state.BindInt(1, header.settled).BindText(2, LocalScanTime()).Step();
        writing.Commit();
    } catch (...) {
        log.Close();
        throw;
    }
    return result;
}

} // namespace parcels
