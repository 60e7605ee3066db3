#include "parcels/ScanLog.h"

#include "parcels/ScanJournal.h"

#include <dataaccess/Connection.h>
#include <dataaccess/Cp1252.h>
#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <QRandomGenerator>

#include <algorithm>
#include <iterator>

namespace parcels {
std::string QuotedLiteral(const std::string& value)
{
    std::string literal;
    literal.reserve(value.size() + 2);
    literal += '\'';
    for (char c : value) {
        if (c == '\'')
            literal += '\''; // a doubled quote stands for one inside the literal
        literal += c;
    }
    literal += '\'';
    return literal;
}

std::string NewScanTicket()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    static const char digits[] = "0123456789abcdef";
    std::string ticket;
    for (quint32 word : words)
        for (int shift = 28; shift >= 0; shift -= 4)
            ticket += digits[(word >> shift) & 0xF];
    return ticket;
}

bool IsLockConflict(const dataaccess::DatabaseError& error)
{
    // deadlock, lock conflict, update conflict, lock time-out
    constexpr long kLockCodes[] = {335544336L, 335544345L, 335544451L, 335544510L};
    return std::find(std::begin(kLockCodes), std::end(kLockCodes), error.gdsCode()) != std::end(kLockCodes);
}

bool IsDuplicateKey(const dataaccess::DatabaseError& error)
{
    // a unique index, a unique or primary key constraint
    return error.gdsCode() == 335544349L || error.gdsCode() == 335544665L;
}

std::string LockHint(const std::exception& error)
{
    const auto* database = dynamic_cast<const dataaccess::DatabaseError*>(&error);
    if (database && IsLockConflict(*database))
        return "\rI dati sono bloccati da un'altra postazione o da un collegamento perso: "
               "riprovare tra qualche minuto.";
    return {};
}

CodeWidths ReadScanLogCodeWidths(dataaccess::Connection& connection, dataaccess::Transaction& transaction)
{
    auto width = [](const char* column) {
        return std::string("(SELECT COALESCE(F.RDB$CHARACTER_LENGTH, F.RDB$FIELD_LENGTH) FROM RDB$RELATION_FIELDS RF "
                           "JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME=RF.RDB$FIELD_SOURCE "
                           "WHERE RF.RDB$RELATION_NAME='LOGSPARATE' AND RF.RDB$FIELD_NAME='") +
               column + "')";
    };
    const auto row = dataaccess::SelectOneRow(
        connection, transaction,
        "SELECT " + width("BARCODESPEED") + ", " + width("CODICEEANLETTO") + " FROM RDB$DATABASE", 2);
    CodeWidths widths;
    widths.barcodeSpeed = static_cast<int>(row[0].value_or(0));
    widths.codiceEanLetto = static_cast<int>(row[1].value_or(0));
    return widths;
}

ScanLogWriter::ScanLogWriter(dataaccess::Connection& connection, dataaccess::Transaction& writes,
                             std::function<void(const std::string&)> note)
    : connection_(connection), writes_(writes), note_(std::move(note))
{
}

ScanLogWriter::~ScanLogWriter() = default;

void ScanLogWriter::Note(const std::string& text) const
{
    if (note_)
        note_(text);
}

void ScanLogWriter::SetBeforeSend(std::function<void()> hook) { beforeSend_ = std::move(hook); }

void ScanLogWriter::Undo()
{
    try {
        writes_.Rollback(); // a lost link counts as rolled back
    } catch (...) {
    }
}

void ScanLogWriter::Prepare()
{
    if (!writes_.Active())
        writes_.SetActive(true);
    if (insert_ && insert_->Prepared())
        return;
    insert_.reset();
    while (true) {
        auto statement = std::make_unique<dataaccess::SqlStatement>(connection_, writes_);
        switch (shape_) {
        case Shape::FromCopy:
            statement->AddLine("INSERT INTO LOGSPARATE(BARCODESPEED, CODICEEANLETTO, STATUS, IDSCANSIONE, "
                               "DATAORASCANSIONE, DACOPIA)");
            statement->AddLine("VALUES (:BARCODESPEED, :CODICEEANLETTO, :STATUS, :IDSCANSIONE, :DATAORASCANSIONE, "
                               ":DACOPIA)");
            break;
        case Shape::ScanTime:
            statement->AddLine("INSERT INTO LOGSPARATE(BARCODESPEED, CODICEEANLETTO, STATUS, IDSCANSIONE, "
                               "DATAORASCANSIONE)");
            statement->AddLine("VALUES (:BARCODESPEED, :CODICEEANLETTO, :STATUS, :IDSCANSIONE, :DATAORASCANSIONE)");
            break;
        case Shape::Ticket:
            statement->AddLine("INSERT INTO LOGSPARATE(BARCODESPEED, CODICEEANLETTO, STATUS, IDSCANSIONE)");
            statement->AddLine("VALUES (:BARCODESPEED, :CODICEEANLETTO, :STATUS, :IDSCANSIONE)");
            break;
        case Shape::Plain:
            // Without the ticket the database also lacks the trigger that gives key and time.
            statement->AddLine("INSERT INTO LOGSPARATE(ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS)");
            statement->AddLine("VALUES (GEN_ID(IDLOGSPARATECOUNTER,1), CURRENT_TIMESTAMP, :BARCODESPEED, "
                               ":CODICEEANLETTO, :STATUS)");
            break;
        }
        statement->AddLine("RETURNING ID");
        try {
            statement->Prepare();
            insert_ = std::move(statement);
            return;
        } catch (const dataaccess::ConnectionLostError&) {
            throw;
        } catch (const dataaccess::DatabaseError& error) {
            if (shape_ == Shape::Plain) {
                shape_ = Shape::FromCopy; // the error of the newest insert is the one to show
                throw;
            }
            const char* lost = nullptr;
            switch (shape_) {
            case Shape::FromCopy:
                shape_ = Shape::ScanTime;
                lost = "LOGSPARATE non ha la colonna DACOPIA: le righe decise sulla copia dei colli non vengono "
                       "distinte dalle altre (eseguire colli-admin init)";
                break;
            case Shape::ScanTime:
                shape_ = Shape::Ticket;
                lost = "LOGSPARATE non ha la colonna DATAORASCANSIONE: l'ora della scansione non viene registrata "
                       "(eseguire colli-admin init)";
                break;
            default:
                shape_ = Shape::Plain;
                lost = "LOGSPARATE non ha la colonna IDSCANSIONE: una riga la cui risposta va persa non "
                       "potr\xC3\xA0 essere verificata (eseguire colli-admin init)";
                break;
            }
            Note(std::string(lost) + " [" + error.what() + "]");
        }
    }
}

SendResult ScanLogWriter::Send(const JournalRow& row)
{
    // Not the row's fault: reaches the caller.
    if (!writes_.Active())
        writes_.SetActive(true);
    bool sent = false;
    try {
        Prepare();
        insert_->SetParamText("BARCODESPEED", row.barcodeSpeed);
        if (row.eanRead.empty())
            insert_->SetParamNull("CODICEEANLETTO");
        else
            insert_->SetParamText("CODICEEANLETTO", row.eanRead);
        insert_->SetParamText("STATUS", row.status);
        if (shape_ != Shape::Plain)
            insert_->SetParamText("IDSCANSIONE", row.ticket);
        if (shape_ == Shape::ScanTime || shape_ == Shape::FromCopy)
            insert_->SetParamText("DATAORASCANSIONE", row.scanTime);
        if (shape_ == Shape::FromCopy) {
            // NULL for the server's own answers: only the copy's are marked.
            if (row.fromCopy)
                insert_->SetParamText("DACOPIA", "1");
            else
                insert_->SetParamNull("DACOPIA");
        }
        if (beforeSend_)
            beforeSend_();
        sent = true;
        insert_->ExecQuery(); // the server commits it with the insert itself
        return {SendOutcome::Recorded, insert_->ResultInteger("ID"), {}};
    } catch (const dataaccess::ConnectionLostError& error) {
        insert_.reset();
        Undo();
        if (sent && shape_ == Shape::Plain)
            return {SendOutcome::Refused, 0,
                    "esito non verificabile (risposta persa e LOGSPARATE senza IDSCANSIONE): controllare il log "
                    "prima di inviarla di nuovo. " +
                        std::string(error.what())};
        throw;
    } catch (const dataaccess::DatabaseError& error) {
        Undo();
        if (IsLockConflict(error))
            return {SendOutcome::Later, 0, error.what()};
        if (!IsDuplicateKey(error))
            return {SendOutcome::Refused, 0, std::string(error.what())};
        SendResult result{SendOutcome::AlreadyRecorded, 0, {}};
        try {
            result.id = RecordedId(connection_, writes_, row.ticket);
        } catch (const dataaccess::ConnectionLostError&) {
            throw;
        } catch (const std::exception& lookup) {
            Note("ID della riga del log con biglietto " + row.ticket + " non letto: " + lookup.what());
        }
        Undo();
        return result;
    }
}

std::int64_t RecordedId(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                        const std::string& ticket)
{
    if (!transaction.Active())
        transaction.SetActive(true);
    dataaccess::SqlQuery check(connection, transaction);
    check.AddLine("EXECUTE PROCEDURE SCANSIONE_REGISTRATA(:IDSCANSIONE)");
    check.SetParamText("IDSCANSIONE", ticket);
    check.Open();
    return check.FieldIsNull("ID") ? 0 : check.FieldInteger("ID");
}

} // namespace parcels
