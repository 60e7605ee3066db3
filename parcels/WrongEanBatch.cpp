#include "parcels/WrongEanBatch.h"

#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <QLocale>
#include <QString>
#include <QStringDecoder>

#include <exception>
#include <memory>
#include <string>

namespace parcels {

namespace {

// Strict decimal conversion of one character of the code (Windows-1252 byte);
// an absent character converts as the empty text and fails the same way.
int DigitValue(const std::string& code, std::size_t index)
{
    if (index < code.size() && code[index] >= '0' && code[index] <= '9')
        return code[index] - '0';
    QString shown;
    if (index < code.size()) {
        QStringDecoder decoder("windows-1252");
        shown = decoder.decode(QByteArrayView(&code[index], 1));
    }
    throw InvalidIntegerError("'" + shown.toStdString() + "' is not a valid integer value");
}

std::string ErrorMessage(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Errore sconosciuto";
    }
}

// The objects of one run and its clean-up block: whatever way the run ends, an
// open transaction is rolled back and the row query and update are freed.
class BatchRun {
public:
    BatchRun(dataaccess::Connection& connection, dataaccess::Transaction& transaction)
        : connection_(connection), transaction_(transaction),
          rows_(std::make_unique<dataaccess::SqlQuery>(connection, transaction))
    {
    }

    ~BatchRun()
    {
        if (cleanedUp_)
            return;
        try {
            CleanUp();
        } catch (...) {
            // Already leaving with an error: that one is what the operator sees.
        }
    }

    BatchRun(const BatchRun&) = delete;
    BatchRun& operator=(const BatchRun&) = delete;

    dataaccess::SqlQuery& Rows() { return *rows_; }

    dataaccess::SqlStatement& CreateUpdate()
    {
        update_ = std::make_unique<dataaccess::SqlStatement>(connection_, transaction_);
        return *update_;
    }

    void CleanUp()
    {
        cleanedUp_ = true;
        if (transaction_.Active())
            transaction_.Rollback();
        rows_.reset();
        update_.reset();
    }

private:
    dataaccess::Connection& connection_;
    dataaccess::Transaction& transaction_;
    std::unique_ptr<dataaccess::SqlQuery> rows_;
    std::unique_ptr<dataaccess::SqlStatement> update_;
    bool cleanedUp_ = false;
};

// Tells the operator side once that the update loop is over, on every way out.
class ProgressScope {
public:
    explicit ProgressScope(BatchUi& ui) : ui_(ui) {}
    ~ProgressScope()
    {
        if (finished_)
            return;
        try {
            ui_.ProgressFinished();
        } catch (...) {
            // Already leaving with an error.
        }
    }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

    void Finish()
    {
        if (finished_)
            return;
        finished_ = true;
        ui_.ProgressFinished();
    }

private:
    BatchUi& ui_;
    bool finished_ = false;
};

void AddRowQueryLines(dataaccess::SqlQuery& query)
{
    for (const char* line : {"SELECT", "  BARCODESPEED,", "  CODICEEAN", "FROM", "  COLLI", "WHERE",
                             "  CODICEEAN_ERRATO IS NULL", "  AND", "  CHAR_LENGTH(CODICEEAN)=13",
                             "ORDER BY", "  BARCODESPEED"})
        query.AddLine(line);
}

long long CountRows(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                    const dataaccess::SqlQuery& rows)
{
    dataaccess::SqlQuery count(connection, transaction);
    count.SetParamCheck(false);
    count.SetUniDirectional(true);
    count.AddLine("SELECT");
    count.AddLine("  COUNT(*) AS TOT");
    count.AddLine("FROM");
    count.AddLine("  (");
    count.CopyLinesFrom(rows);
    count.AddLine("  )");
    count.Open();
    return count.FieldInteger("TOT");
}

} // namespace

std::string FaultyEan(const std::string& codiceEan)
{
    const std::string twelve = codiceEan.size() > 1 ? codiceEan.substr(1, 12) : std::string();
    // Converted in this order on purpose: it decides which bad character is named.
    int evenSum = 0;
    for (std::size_t index = 1; index < 12; index += 2)
        evenSum += DigitValue(twelve, index);
    int oddSum = 0;
    for (std::size_t index = 0; index < 12; index += 2)
        oddSum += DigitValue(twelve, index);
    const int sum = oddSum + 3 * evenSum;
    const int check = (10 - sum % 10) % 10;
    return twelve + static_cast<char>('0' + check);
}

std::string FormatCount(long long count, const QLocale& locale)
{
    const bool negative = count < 0;
    unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(count)
                                            : static_cast<unsigned long long>(count);
    const std::string digits = std::to_string(magnitude);
    const QString separator = locale.groupSeparator();
    QString text;
    if (negative)
        text += locale.negativeSign();
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += separator;
        text += QLatin1Char(digits[i]);
    }
    return text.toStdString();
}

std::string FormatCount(long long count)
{
    return FormatCount(count, QLocale::system());
}

void RunWrongEanBatch(dataaccess::Connection& connection, dataaccess::Transaction& transaction,
                      BatchUi& ui)
{
    BatchRun run(connection, transaction);
    // Drops whatever read was left open and starts the run's own snapshot.
    transaction.SetActive(false);
    transaction.SetActive(true);

    dataaccess::SqlQuery& rows = run.Rows();
    rows.SetParamCheck(false);
    rows.SetUniDirectional(true);
    AddRowQueryLines(rows);
    rows.Open();

    if (rows.FetchedCount() == 0) {
        ui.Warning("Non \xC3\xA8 stato trovato nessun record con il campo \"CODICEEAN_ERRATO\" "
                   "da valorizzare");
        run.CleanUp();
        return;
    }

    const long long total = CountRows(connection, transaction, rows);
    if (!ui.Confirm("Trovati " + FormatCount(total) + " record da " + "valorizzare: procedere?")) {
        run.CleanUp();
        return;
    }

    dataaccess::SqlStatement& update = run.CreateUpdate();
    update.SetParamCheck(true);
    update.AddLine("UPDATE COLLI SET");
    update.AddLine("CODICEEAN_ERRATO=:CODICEEAN_ERRATO");
    update.AddLine("WHERE");
    update.AddLine("  BARCODESPEED=:BARCODESPEED");
    update.Prepare();

    ProgressScope progress(ui);
    ui.Progress(0, total);
    long long done = 0;
    while (!rows.AtEnd()) {
        std::string faultyEan = FaultyEan(rows.FieldText("CODICEEAN"));
        update.SetParamText("BARCODESPEED", rows.FieldText("BARCODESPEED"));
        update.SetParamText("CODICEEAN_ERRATO", std::move(faultyEan));
        try {
            update.ExecQuery();
        } catch (...) {
            const std::string message = ErrorMessage(std::current_exception());
            progress.Finish();
            ui.Error("Errore interno durante l'elaborazione:\r" + message);
            run.CleanUp();
            return;
        }
        rows.NextRow();
        if (++done % kProgressStep == 0)
            ui.Progress(done, total);
    }

    if (transaction.Active())
        transaction.Commit();
    run.CleanUp();
    progress.Finish();
    ui.Information("Elaborazione completata");
}

} // namespace parcels
