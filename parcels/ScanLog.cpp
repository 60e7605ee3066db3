#include "parcels/ScanLog.h"

#include <dataaccess/Connection.h>
#include <dataaccess/Cp1252.h>
#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <QRandomGenerator>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>

namespace parcels {
namespace {

constexpr const char* kNotRecorded = "Impossibile storicizzare nel log la scansione:\r";
constexpr const char* kNotYetKnown = "Esito della registrazione nel log non ancora noto: non ripetere la scansione.\r"
                                     "La stazione lo verificher\xC3\xA0 da sola appena il server risponde.\r";
constexpr const char* kNotKnown = "Esito della registrazione nel log non noto: controllare il log prima di ripetere "
                                  "la scansione.\r";

// How long the old attachment may take to leave once it is told to.
constexpr int kRemovalChecks = 40;
constexpr std::chrono::milliseconds kRemovalPause(50);

std::string Described(const std::string& barcodeSpeed, const std::string& status)
{
    return "riga del log \"" + cp1252::ToUtf8(barcodeSpeed) + "\" / " + status;
}

} // namespace

struct ScanLogWriter::Row {
    std::string barcodeSpeed;
    std::string eanRead;
    std::string status;
    std::string ticket;            // empty on a database without the ticket column
    std::int64_t attachmentId = 0; // the attachment that sent it
};

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

std::string LockHint(const std::exception& error)
{
    const auto* database = dynamic_cast<const dataaccess::DatabaseError*>(&error);
    // deadlock, lock conflict, update conflict, lock time-out
    constexpr long kLockCodes[] = {335544336L, 335544345L, 335544451L, 335544510L};
    if (database && std::find(std::begin(kLockCodes), std::end(kLockCodes), database->gdsCode()) !=
                        std::end(kLockCodes))
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

ScanLogWriter::ScanLogWriter(dataaccess::Connection& connection, dataaccess::Transaction& reads,
                             dataaccess::Transaction& writes, std::function<void(const std::string&)> note)
    : connection_(connection), reads_(reads), writes_(writes), note_(std::move(note))
{
}

ScanLogWriter::~ScanLogWriter()
{
    if (pending_)
        Note("Chiusura con la " + Described(pending_->barcodeSpeed, pending_->status) +
             " dall'esito non ancora noto (biglietto " + pending_->ticket + ")");
}

void ScanLogWriter::Note(const std::string& text) const
{
    if (note_)
        note_(text);
}

void ScanLogWriter::SetBeforeSend(std::function<void()> hook) { beforeSend_ = std::move(hook); }

bool ScanLogWriter::Pending() const { return pending_ != nullptr; }

void ScanLogWriter::Prepare()
{
    if (!writes_.Active())
        writes_.SetActive(true);
    if (insert_ && insert_->Prepared())
        return;
    auto make = [this](bool tickets) {
        auto statement = std::make_unique<dataaccess::SqlStatement>(connection_, writes_);
        // The server gives the key and the time (trigger LOGSPARATE_BI); a
        // database without the ticket still lacks that trigger.
        if (tickets) {
            statement->AddLine("INSERT INTO LOGSPARATE(BARCODESPEED, CODICEEANLETTO, STATUS, IDSCANSIONE)");
            statement->AddLine("VALUES (:BARCODESPEED, :CODICEEANLETTO, :STATUS, :IDSCANSIONE)");
        } else {
            statement->AddLine("INSERT INTO LOGSPARATE(ID, DATAORA, BARCODESPEED, CODICEEANLETTO, STATUS)");
            statement->AddLine("VALUES (GEN_ID(IDLOGSPARATECOUNTER,1), CURRENT_TIMESTAMP, :BARCODESPEED, "
                               ":CODICEEANLETTO, :STATUS)");
        }
        statement->AddLine("RETURNING ID");
        statement->Prepare();
        return statement;
    };
    try {
        insert_ = make(true);
        tickets_ = true;
    } catch (const dataaccess::ConnectionLostError&) {
        insert_.reset();
        throw;
    } catch (const dataaccess::DatabaseError&) {
        // A database not yet upgraded: rows go in without a ticket. When the
        // older insert fails as well, the first error is the one to show.
        const std::exception_ptr first = std::current_exception();
        try {
            insert_ = make(false);
            tickets_ = false;
            Note("La tabella LOGSPARATE non ha la colonna IDSCANSIONE: l'esito di una riga la cui risposta va "
                 "persa non potr\xC3\xA0 essere verificato (eseguire colli-admin init)");
        } catch (const dataaccess::ConnectionLostError&) {
            insert_.reset();
            throw;
        } catch (const dataaccess::DatabaseError&) {
            insert_.reset();
            std::rethrow_exception(first);
        }
    }
}

LogResult ScanLogWriter::Write(const std::string& barcodeSpeed, const std::string& eanRead, const std::string& status)
{
    if (pending_ && !Settle()) // the server cannot be asked: nothing new is sent either
        return {LogOutcome::NotRecorded, kNotRecorded + unanswered_};
    try {
        // Reaches the caller unless the link is what failed: then nothing was sent.
        if (!writes_.Active())
            writes_.SetActive(true);
    } catch (const dataaccess::ConnectionLostError& error) {
        return {LogOutcome::NotRecorded, kNotRecorded + std::string(error.what())};
    }
    Row row{barcodeSpeed, eanRead, status, {}, 0};
    return Send(std::move(row));
}

LogResult ScanLogWriter::Send(Row row)
{
    const bool attached = connection_.Connected();
    try {
        try {
            Prepare();
        } catch (const dataaccess::NoAnswerError&) {
            throw; // the server is away, not just the old link
        } catch (const dataaccess::WaitCancelledError&) {
            throw;
        } catch (const dataaccess::ConnectionLostError&) {
            // The insert is prepared at its first use: a link that died since the
            // last call fails here, before anything of the row was sent, so it
            // goes on a new attachment.
            if (!attached)
                throw;
            Prepare();
        }
    } catch (const dataaccess::ConnectionLostError& error) {
        return {LogOutcome::NotRecorded, kNotRecorded + std::string(error.what())};
    } catch (const std::exception& error) {
        return {LogOutcome::NotRecorded, kNotRecorded + std::string(error.what()) + LockHint(error)};
    }
    if (tickets_ && row.ticket.empty())
        row.ticket = NewScanTicket();
    insert_->SetParamText("BARCODESPEED", row.barcodeSpeed);
    if (row.eanRead.empty())
        insert_->SetParamNull("CODICEEANLETTO");
    else
        insert_->SetParamText("CODICEEANLETTO", row.eanRead);
    insert_->SetParamText("STATUS", row.status);
    if (tickets_)
        insert_->SetParamText("IDSCANSIONE", row.ticket);
    row.attachmentId = connection_.AttachmentId();
    if (beforeSend_)
        beforeSend_();
    try {
        insert_->ExecQuery(); // the server commits it with the insert itself
        return {LogOutcome::Recorded, {}, insert_->ResultInteger("ID")};
    } catch (const dataaccess::ConnectionLostError& error) {
        // Sent, and no answer: the server may have committed it.
        const std::string reason = error.what();
        const bool closing = dynamic_cast<const dataaccess::WaitCancelledError*>(&error) != nullptr;
        Note("Esito non noto della " + Described(row.barcodeSpeed, row.status) +
             (row.ticket.empty() ? std::string() : " (biglietto " + row.ticket + ")") + ": " + reason);
        pending_ = std::make_unique<Row>(std::move(row));
        if (!pending_->ticket.empty() && !closing && !resending_) {
            Settle(); // the link broke but the server may answer: ask at once
            if (!pending_)
                return resolution_;
        }
        if (pending_->ticket.empty()) {
            pending_.reset(); // no way to ask: the operator must look at the log
            return {LogOutcome::NotYetKnown, kNotKnown + reason};
        }
        return {LogOutcome::NotYetKnown, kNotYetKnown + reason};
    } catch (const std::exception& error) {
        // Refused: the server undid the statement, nothing of it stays open.
        return {LogOutcome::NotRecorded, kNotRecorded + std::string(error.what()) + LockHint(error)};
    }
}

bool ScanLogWriter::Settle()
{
    if (!pending_)
        return true;
    try {
        return Resolve();
    } catch (const dataaccess::ConnectionLostError& error) {
        unanswered_ = error.what();
        Note("Esito della " + Described(pending_->barcodeSpeed, pending_->status) +
             " non ancora verificabile: " + unanswered_);
        return false;
    } catch (const std::exception& error) {
        // The server answered but would not tell; asked again next time.
        Note("Verifica della " + Described(pending_->barcodeSpeed, pending_->status) + " non riuscita: " +
             error.what());
        return true;
    }
}

bool ScanLogWriter::Resolve()
{
    if (!reads_.Active())
        reads_.SetActive(true); // attaches again when the link was lost
    if (pending_->attachmentId != 0 && pending_->attachmentId != connection_.AttachmentId())
        RemoveAttachment(pending_->attachmentId);
    dataaccess::SqlQuery check(connection_, reads_);
    check.AddLine("EXECUTE PROCEDURE SCANSIONE_REGISTRATA(:IDSCANSIONE)");
    check.SetParamText("IDSCANSIONE", pending_->ticket);
    check.Open();
    const std::string what = Described(pending_->barcodeSpeed, pending_->status) + " (biglietto " +
                             pending_->ticket + ")";
    if (!check.FieldIsNull("ID")) {
        Note("Verificata la " + what + ": registrata con ID " + check.FieldText("ID"));
        resolution_ = {LogOutcome::Recorded, {}, check.FieldInteger("ID")};
        pending_.reset();
        return true;
    }
    Note("Verificata la " + what + ": non registrata, inviata di nuovo");
    Row row = std::move(*pending_);
    pending_.reset();
    resending_ = true;
    LogResult again;
    try {
        again = Send(std::move(row));
    } catch (...) {
        resending_ = false;
        throw;
    }
    resending_ = false;
    if (again.outcome == LogOutcome::Recorded)
        Note("Riga del log registrata con ID " + std::to_string(again.id));
    else
        Note("Riga del log di nuovo senza esito: " + again.message);
    resolution_ = again;
    return again.outcome != LogOutcome::NotYetKnown;
}

void ScanLogWriter::RemoveAttachment(std::int64_t attachmentId)
{
    // The old attachment may still be at work on the insert: once the server
    // no longer lists it, whatever it did is final.
    const std::string id = std::to_string(attachmentId);
    for (int check = 0; check < kRemovalChecks; ++check) {
        dataaccess::Transaction look(connection_);
        look.SetReadCommitted(true);
        const auto listed = dataaccess::SelectOneRow(
            connection_, look, "SELECT COUNT(*) FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = " + id, 1);
        if (listed[0].value_or(0) == 0) {
            look.Commit();
            return;
        }
        if (check == 0) {
            Note("Chiusura del collegamento precedente (" + id + ") rimasto al server");
            dataaccess::SqlStatement remove(connection_, look);
            remove.SetParamCheck(false);
            remove.AddLine("DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = " + id);
            remove.ExecQuery();
        }
        look.Commit();
        std::this_thread::sleep_for(kRemovalPause);
    }
    throw dataaccess::DatabaseError("il collegamento precedente (" + id + ") \xC3\xA8 ancora attivo al server");
}

} // namespace parcels
