#include "parcels/ScanLog.h"

#include "parcels/ColumnWidths.h"

#include <dataaccess/Errors.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <algorithm>
#include <exception>
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

std::vector<std::string> ScanLogInsertLines(const std::string& barcodeSpeed,
                                            const std::string& eanRead,
                                            const std::string& status)
{
    return {
        "INSERT INTO LOGSPARATE(",
        "ID,",
        "DATAORA,",
        "BARCODESPEED,",
        "CODICEEANLETTO,",
        "STATUS",
        ")",
        "VALUES(",
        "GEN_ID(IDLOGSPARATECOUNTER,1),",
        "CURRENT_TIMESTAMP,",
        QuotedLiteral(barcodeSpeed) + ",",
        eanRead.empty() ? std::string("NULL,") : QuotedLiteral(eanRead) + ",",
        QuotedLiteral(status),
        ")",
    };
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
    const bool started = !transaction.Active();
    const auto columns = ReadColumnWidths(connection, transaction, "LOGSPARATE");
    CodeWidths widths;
    if (const auto it = columns.find("BARCODESPEED"); it != columns.end())
        widths.barcodeSpeed = it->second;
    if (const auto it = columns.find("CODICEEANLETTO"); it != columns.end())
        widths.codiceEanLetto = it->second;
    if (started && transaction.Active())
        transaction.Commit();
    return widths;
}

bool WriteScanLog(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                  const std::string& barcodeSpeed, const std::string& eanRead,
                  const std::string& status,
                  const std::function<void(const std::string&)>& showError,
                  const std::function<void()>& beforeCommit)
{
    const std::string prefix = "Impossibile storicizzare nel log la scansione:\r";
    dataaccess::SqlStatement statement(connection, transaction);
    try {
        // Reuses the read a lookup may have left open; the commit below ends it too.
        transaction.SetActive(true);
    } catch (const dataaccess::ConnectionLostError& error) {
        // An outage already known is found here, one not yet known by the
        // insert: the operator sees the same box and the scan goes on the same way.
        showError(prefix + error.what());
        return false;
    }
    statement.SetParamCheck(false);
    for (std::string& line : ScanLogInsertLines(barcodeSpeed, eanRead, status))
        statement.AddLine(std::move(line));

    std::string message;
    try {
        try {
            statement.ExecQuery();
        } catch (const dataaccess::NoAnswerError&) {
            throw; // the server is away: attaching again would only wait once more
        } catch (const dataaccess::WaitCancelledError&) {
            throw;
        } catch (const dataaccess::ConnectionLostError&) {
            // Nothing was committed: the server dropped the insert with the link,
            // so it is made once more on a new attachment.
            transaction.SetActive(true);
            statement.ExecQuery();
        }
        if (beforeCommit)
            beforeCommit();
        // A link that breaks during the commit leaves the outcome unknown: the
        // operator is told, and the row is not inserted a second time.
        transaction.Commit();
        return true;
    } catch (const std::exception& error) {
        message = error.what() + LockHint(error);
    } catch (...) {
        message = "Errore sconosciuto";
    }
    showError(prefix + message);
    return false;
}

} // namespace parcels
