#include "StationFixture.h"

#include "TestDatabase.h"

#include <dataaccess/Connection.h>
#include <dataaccess/SqlQuery.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

void Attach(dataaccess::Connection& connection, const std::string& name)
{
    connection.SetDatabaseName(name);
    connection.Params() = {"user_name=SYSDBA", "password=plumtrove"};
    connection.SetConnected(true);
}

} // namespace

std::vector<printing::PrinterRecord> RecordingPrintPlatform::ListPrinters()
{
    if (listFails)
        throw std::runtime_error("Elenco stampanti non disponibile");
    return printers;
}

void RecordingPrintPlatform::BeginJob()
{
    journal_.push_back("Print: begin");
    if (!failBeginJob.empty())
        throw std::runtime_error(failBeginJob);
}

void RecordingPrintPlatform::SendRaw(const std::string& bytes)
{
    journal_.push_back("Print: raw");
    sent += bytes;
    if (onSend)
        onSend();
}

dblocate::LocationUi::ServerAnswer ScriptedLocationUi::AskServerDialog()
{
    journal_.push_back("AskServerDialog");
    if (!failWith.empty())
        throw std::runtime_error(failWith);
    ServerAnswer answer;
    answer.pressedButton = 2;
    return answer;
}

StationFolder::StationFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "colli-station-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a temporary folder");
    std::filesystem::permissions(pattern, std::filesystem::perms::all);
    path_ = pattern + "/";
    CreateDatabase(DatabasePath());
    std::ofstream(TemplatePath(), std::ios::binary) << "^XA\r\n^FD<CODICEEAN>^FS\r\n^FD<CODICEEAN_SHORT>^FS\r\n^XZ\r\n";
}

StationFolder::~StationFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void StationFolder::CreateDatabase(const std::string& name)
{
    databaseName = name;
    {
        dataaccess::Connection connection;
        connection.SetDatabaseName(name);
        connection.Params() = {"USER \"SYSDBA\"", "PASSWORD \"plumtrove\"", "PAGE_SIZE 4096"};
        connection.SetSQLDialect(3);
        connection.CreateDatabase();
        connection.SetConnected(false);
    }
    Execute(testsupport::SchemaSql());
}

void StationFolder::Execute(const std::string& sql)
{
    dataaccess::Connection connection;
    dataaccess::Transaction transaction(connection);
    Attach(connection, databaseName);
    for (const std::string& text : testsupport::SplitScript(sql)) {
        transaction.SetActive(true);
        dataaccess::SqlStatement statement(connection, transaction);
        statement.SetParamCheck(false);
        statement.AddLine(text);
        statement.ExecQuery();
        transaction.Commit();
    }
}

std::vector<std::vector<std::string>> StationFolder::Query(const std::string& sql)
{
    dataaccess::Connection connection;
    dataaccess::Transaction transaction(connection);
    Attach(connection, databaseName);
    dataaccess::SqlQuery query(connection, transaction);
    query.SetParamCheck(false);
    query.AddLine(sql);
    query.Open();
    std::vector<std::vector<std::string>> rows;
    for (; !query.AtEnd(); query.NextRow()) {
        auto& row = rows.emplace_back();
        for (int i = 0; i < query.FieldCount(); ++i)
            row.push_back(query.FieldText(i));
    }
    query.Close();
    transaction.Commit();
    return rows;
}

void StationTest::Start()
{
    form = std::make_unique<TMainForm>(StationServices{printer, boxes, folder.Path(), &locationUi});
    form->show();
}

void StationTest::Scan(const QString& code, Qt::KeyboardModifiers modifiers)
{
    form->EditBarcode->setText(code);
    ReleaseKey(Qt::Key_Return, modifiers);
}

void StationTest::ReleaseKey(int key, Qt::KeyboardModifiers modifiers, bool autoRepeat)
{
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, QString(), autoRepeat);
    QCoreApplication::sendEvent(form->EditBarcode, &release);
}

void StationTest::AddParcel(const std::string& barcodeSpeed, const std::string& ean, const std::string& faultyEan)
{
    auto literal = [](const std::string& value) {
        if (value == "<NULL>")
            return std::string("NULL");
        std::string quoted = "'";
        for (char c : value) {
            if (c == '\'')
                quoted += '\'';
            quoted += c;
        }
        return quoted + "'";
    };
    folder.Execute("INSERT INTO COLLI (BARCODESPEED, CODICEEAN, CODICEEAN_ERRATO) VALUES (" + literal(barcodeSpeed) +
                   ", " + literal(ean) + ", " + literal(faultyEan) + ")");
}

std::vector<std::vector<std::string>> StationTest::LogRows()
{
    return folder.Query("SELECT ID, BARCODESPEED, COALESCE(CODICEEANLETTO, '<NULL>'), STATUS FROM LOGSPARATE ORDER BY ID");
}

QString StationTest::Caption() const
{
    return form->LabelBarcode->text();
}
