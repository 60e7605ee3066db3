#include "parcels/WrongEanBatch.h"

#include "parcels/ScanLog.h"

#include <dataaccess/Cp1252.h>
#include <dataaccess/Errors.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <QLocale>
#include <QString>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace parcels {

namespace {

// Strict decimal conversion of one character of the code (Windows-1252 byte);
// an absent character converts as the empty text and fails the same way.
int DigitValue(const std::string& code, std::size_t index)
{
    if (index < code.size() && code[index] >= '0' && code[index] <= '9')
        return code[index] - '0';
    const std::string shown = index < code.size() ? cp1252::ToUtf8(std::string_view(&code[index], 1)) : "";
    throw InvalidIntegerError("'" + shown + "' is not a valid integer value");
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

// A failure inside the chunk's block carries the block's position as its last
// line; the operator gets the server's text as for a single update.
std::string WithoutBlockPosition(std::string message)
{
    const std::string marker = "\r\nAt block line: ";
    const std::size_t at = message.rfind(marker);
    if (at != std::string::npos && message.find("\r\n", at + marker.size()) == std::string::npos)
        message.erase(at);
    return message;
}

// Every row of the run, read before any update is sent. With the plain index the
// select is an index walk, and the server re-tests the filter on rows it has not
// delivered yet: a row whose code shares an update already sent would no longer
// qualify and be skipped, although the count announced it.
class WorkList {
public:
    void Add(const std::string& barcodeSpeed, const std::string& codiceEan)
    {
        text_ += barcodeSpeed;
        ends_.push_back(text_.size());
        text_ += codiceEan;
        ends_.push_back(text_.size());
    }
    std::size_t Size() const { return ends_.size() / 2; }
    std::string_view BarcodeSpeed(std::size_t row) const { return Part(2 * row); }
    std::string CodiceEan(std::size_t row) const { return std::string(Part(2 * row + 1)); }

private:
    std::string_view Part(std::size_t index) const
    {
        const std::size_t begin = index == 0 ? 0 : ends_[index - 1];
        return std::string_view(text_).substr(begin, ends_[index] - begin);
    }
    std::string text_;
    std::vector<std::size_t> ends_;
};

// The server compares codes with trailing blanks ignored; so do the groups of
// rows sharing one.
std::string_view ComparedCode(std::string_view code)
{
    while (!code.empty() && code.back() == ' ')
        code.remove_suffix(1);
    return code;
}

// The updates of up to kBatchChunkRows rows as one text for the block: per row a
// five-digit length, the courier code and the 13-character faulty EAN.
// Consecutive rows with the same code keep one entry holding the later row's
// value, and a chunk never splits them: the update fills only empty faulty
// EANs, so all the parcels of a code get the later row's value at once, and
// one filled before (by another run, or by hand) keeps its own.
class Chunk {
public:
    static constexpr std::size_t kMaxBytes = 32000; // the block's parameter width

    bool Empty() const { return rows_ == 0; }
    long long Rows() const { return rows_; }
    const std::string& Text() const { return text_; }
    bool Full(std::size_t barcodeBytes) const
    {
        return rows_ >= kBatchChunkRows || (rows_ > 0 && text_.size() + barcodeBytes + 18 > kMaxBytes);
    }
    // The row belongs to the chunk's last entry.
    bool Continues(std::string_view barcodeSpeed) const
    {
        return rows_ > 0 && ComparedCode(LastBarcode()) == ComparedCode(barcodeSpeed);
    }

    void Add(std::string_view barcodeSpeed, const std::string& faultyEan)
    {
        const bool continues = Continues(barcodeSpeed);
        ++rows_;
        if (continues) {
            text_.replace(text_.size() - faultyEan.size(), faultyEan.size(), faultyEan);
            return;
        }
        char length[8];
        std::snprintf(length, sizeof length, "%05zu", barcodeSpeed.size());
        text_ += length;
        lastStart_ = text_.size();
        text_ += barcodeSpeed;
        text_ += faultyEan;
    }

    void Clear()
    {
        text_.clear();
        rows_ = 0;
    }

private:
    // The last entry's code: from its start to its faulty EAN.
    std::string_view LastBarcode() const
    {
        return std::string_view(text_).substr(lastStart_, text_.size() - 13 - lastStart_);
    }
    std::string text_;
    long long rows_ = 0;
    std::size_t lastStart_ = 0;
};

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

// One round trip for a whole chunk. The variables take the columns' own types,
// as the parameters of a single update would; the blank after each colon keeps
// the layer's parameter parser off the block's variables.
void AddChunkUpdateLines(dataaccess::SqlStatement& update)
{
    for (const char* line :
         {"EXECUTE BLOCK (LISTA VARCHAR(32000) CHARACTER SET NONE = :LISTA)", "AS",
          "  DECLARE P INTEGER = 1;", "  DECLARE N INTEGER;",
          "  DECLARE B TYPE OF COLUMN COLLI.BARCODESPEED;",
          "  DECLARE E TYPE OF COLUMN COLLI.CODICEEAN_ERRATO;", "BEGIN",
          "  WHILE (P <= OCTET_LENGTH(LISTA)) DO", "  BEGIN",
          "    N = CAST(SUBSTRING(LISTA FROM P FOR 5) AS INTEGER);",
          "    B = SUBSTRING(LISTA FROM P + 5 FOR N);", "    E = SUBSTRING(LISTA FROM P + 5 + N FOR 13);",
          "    UPDATE COLLI SET", "    CODICEEAN_ERRATO=: E", "    WHERE", "      BARCODESPEED=: B",
          "      AND CODICEEAN_ERRATO IS NULL;",
          "    P = P + N + 18;", "  END", "END"})
        update.AddLine(line);
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

    // The window, and with it the operator's stop, from the first call on.
    ProgressScope progress(ui);
    ui.Progress(0, total);

    // A stop ends the run where it is; a call cut for it dropped the
    // attachment, and the server the uncommitted work with it.
    auto stop = [&] {
        progress.Finish();
        run.CleanUp();
        ui.Warning(kBatchStoppedText);
    };
    // The bar's first half follows the reading of the rows, its second half the
    // updates, so that the window keeps moving from the start of a long run.
    WorkList work;
    dataaccess::SqlStatement& update = run.CreateUpdate();
    try {
        update.SetParamCheck(true);
        AddChunkUpdateLines(update);
        update.Prepare();
        for (; !rows.AtEnd(); rows.NextRow()) {
            work.Add(rows.FieldText("BARCODESPEED"), rows.FieldText("CODICEEAN"));
            if (static_cast<long long>(work.Size()) % kProgressStep == 0) {
                ui.Progress(static_cast<long long>(work.Size()) / 2, total);
                if (ui.StopAsked())
                    return stop();
            }
        }
    } catch (const dataaccess::WaitCancelledError&) {
        if (!ui.StopAsked())
            throw;
        return stop();
    }
    const long long read = static_cast<long long>(work.Size());

    Chunk chunk;
    long long done = 0;
    // Sends the pending updates; false when the server refused them and the run
    // has ended with the error shown.
    auto send = [&]() -> bool {
        if (chunk.Empty())
            return true;
        update.SetParamText("LISTA", chunk.Text());
        try {
            update.ExecQuery();
        } catch (...) {
            if (ui.StopAsked()) {
                stop();
                return false;
            }
            std::string message = WithoutBlockPosition(ErrorMessage(std::current_exception()));
            try {
                throw;
            } catch (const std::exception& error) {
                message += LockHint(error);
            } catch (...) {
            }
            progress.Finish();
            ui.Error("Errore interno durante l'elaborazione:\r" + message);
            run.CleanUp();
            return false;
        }
        const long long before = done;
        done += chunk.Rows();
        chunk.Clear();
        for (long long step = (before / kProgressStep + 1) * kProgressStep; step <= done;
             step += kProgressStep)
            ui.Progress((read + step) / 2, total);
        if (ui.StopAsked()) {
            stop();
            return false;
        }
        return true;
    };

    for (std::size_t row = 0; row < work.Size(); ++row) {
        const std::string_view barcodeSpeed = work.BarcodeSpeed(row);
        std::string faultyEan;
        try {
            faultyEan = FaultyEan(work.CodiceEan(row));
        } catch (const InvalidIntegerError&) {
            // The rows before this one are updated first, as one by one; a
            // failure there is what the operator sees.
            if (!send())
                return;
            throw;
        }
        if (!chunk.Continues(barcodeSpeed) && chunk.Full(barcodeSpeed.size()) && !send())
            return;
        chunk.Add(barcodeSpeed, faultyEan);
    }
    if (!send())
        return;

    ui.Committing();
    if (transaction.Active())
        transaction.Commit();
    run.CleanUp();
    progress.Finish();
    ui.Information("Elaborazione completata");
}

} // namespace parcels
