#include "parcels/ScanLog.h"

#include <dataaccess/Errors.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <exception>

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

bool WriteScanLog(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                  const std::string& barcodeSpeed, const std::string& eanRead,
                  const std::string& status,
                  const std::function<void(const std::string&)>& showError,
                  const std::function<void()>& beforeCommit)
{
    dataaccess::SqlStatement statement(connection, transaction);
    // Reuses the read a lookup may have left open; the commit below ends it too.
    transaction.SetActive(true);
    statement.SetParamCheck(false);
    for (std::string& line : ScanLogInsertLines(barcodeSpeed, eanRead, status))
        statement.AddLine(std::move(line));

    std::string message;
    try {
        try {
            statement.ExecQuery();
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
        message = error.what();
    } catch (...) {
        message = "Errore sconosciuto";
    }
    showError("Impossibile storicizzare nel log la scansione:\r" + message);
    return false;
}

} // namespace parcels
