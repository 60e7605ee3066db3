#include "StationFixture.h"

#include "TestDatabase.h"

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

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
    path_ = testsupport::MakeScratchFolder("colli-station-") + "/";
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
    testsupport::CreateDatabaseAt(name, true);
}

void StationFolder::Execute(const std::string& sql) { testsupport::ExecuteOn(databaseName, sql); }

std::vector<std::vector<std::string>> StationFolder::Query(const std::string& sql)
{
    return testsupport::QueryOn(databaseName, sql);
}

void StationTest::Start()
{
    form = std::make_unique<TMainForm>(StationServices{printer, boxes, folder.Path(), &locationUi, &diagnostics, nullptr, folder.Path() + "giornale/"});
    form->show();
}

void StationTest::Scan(const QString& code, Qt::KeyboardModifiers modifiers)
{
    form->EditBarcode->setText(code);
    ReleaseKey(Qt::Key_Return, modifiers);
}

qint64 StationTest::TimedScan(const QString& code)
{
    QElapsedTimer clock;
    clock.start();
    Scan(code);
    return clock.elapsed();
}

bool StationTest::WaitFor(int ms, const std::function<bool()>& done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QTest::qWait(50);
    return done();
}

void StationTest::ReleaseKey(int key, Qt::KeyboardModifiers modifiers, bool autoRepeat)
{
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, QString(), autoRepeat);
    QCoreApplication::sendEvent(form->EditBarcode, &release);
}

void StationTest::StartOnServer(const std::string& serverAddress, const std::string& remotePath,
                                const std::string& moreSettings)
{
    folder.CreateDatabase(serverAddress + ":" + remotePath);
    AddParcel("SPD001", "8001234567890", "<NULL>");
    AddParcel("SPD002", "8001234567906", "<NULL>");
    std::filesystem::remove(folder.DatabasePath());
    std::ofstream(folder.Path() + "dati.ini") << "[CONFIG]\r\nNome Server=" << serverAddress
                                               << "\r\nAlias=" << remotePath << "\r\n" << moreSettings;
    Start();
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

void StationTest::WaitForwarded(std::chrono::seconds most)
{
    const auto end = std::chrono::steady_clock::now() + most;
    while (form && form->ScansWaiting().waiting > 0 && std::chrono::steady_clock::now() < end)
        QTest::qWait(20);
}

std::vector<std::vector<std::string>> StationTest::LogRows()
{
    WaitForwarded();
    return folder.Query("SELECT ID, BARCODESPEED, COALESCE(CODICEEANLETTO, '<NULL>'), STATUS FROM LOGSPARATE ORDER BY ID");
}

QString StationTest::Caption() const
{
    return form->LabelBarcode->text();
}

std::vector<std::string> StationTest::DiagnosticLines() const
{
    std::vector<std::string> lines;
    std::ifstream file(diagnostics.FilePath().toStdString());
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}
