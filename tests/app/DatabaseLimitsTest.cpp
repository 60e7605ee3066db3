// What the attached database itself decides: the longest code accepted, and
// how long the batch waits for rows another transaction holds.
#include "StationFixture.h"

#include <dataaccess/Connection.h>
#include <dataaccess/SqlStatement.h>
#include <dataaccess/Transaction.h>

#include <QElapsedTimer>
#include <QPushButton>

#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

class DatabaseLimits : public StationTest {};

TEST_F(DatabaseLimits, LongestCodeIsTheWidthOfTheLogColumnsOfTheAttachedDatabase)
{
    folder.Execute("ALTER TABLE COLLI ALTER BARCODESPEED TYPE VARCHAR(400);"
                   "ALTER TABLE COLLI ALTER CODICEEAN TYPE VARCHAR(400);"
                   "ALTER TABLE LOGSPARATE ALTER BARCODESPEED TYPE VARCHAR(400);"
                   "ALTER TABLE LOGSPARATE ALTER CODICEEANLETTO TYPE VARCHAR(300)");
    const std::string courier(300, '7');
    const std::string ean(300, '8');
    AddParcel(courier, ean, "<NULL>");
    Start();
    EXPECT_EQ(form->MaxBarcodeSpeedLength(), 400u);
    EXPECT_EQ(form->MaxEanLength(), 300u);

    Scan(QString::fromStdString(courier));
    EXPECT_EQ(form->ScanState(), 1);
    Scan(QString::fromStdString(ean + "8")); // one past the EAN column
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_NE(journal[0].find("(301 caratteri, al massimo 300)"), std::string::npos) << journal[0];
    Scan(QString::fromStdString(ean));
    EXPECT_EQ(journal.back(), "Outcome 0: EAN OK");
    ASSERT_EQ(LogRows().size(), 1u);
    EXPECT_EQ(LogRows()[0][1], courier);
    EXPECT_EQ(LogRows()[0][2], ean);
}

// Another station's transaction (or one of a dead link the server has not
// noticed yet) holds a parcel's row: the batch waits for it only a bounded
// time, then says who may hold it, and changes nothing.
TEST_F(DatabaseLimits, BatchWaitsABoundedTimeForLockedRowsAndSaysWhoMayHoldThem)
{
    AddParcel("SPD001", "8001234567890", "<NULL>");
    AddParcel("SPD002", "8001234567906", "<NULL>");
    std::ofstream(folder.Path() + "dati.ini") << "[CONFIG]\r\nAttesa Server=3\r\n";
    Start();

    dataaccess::Connection other;
    other.SetDatabaseName(folder.DatabasePath());
    other.Params() = {"user_name=SYSDBA", "password=plumtrove"};
    dataaccess::Transaction holder(other);
    other.SetConnected(true);
    holder.SetActive(true);
    dataaccess::SqlStatement hold(other, holder);
    hold.SetParamCheck(false);
    hold.AddLine("UPDATE COLLI SET CODICEEAN = CODICEEAN WHERE BARCODESPEED = 'SPD002'");
    hold.ExecQuery();

    QElapsedTimer clock;
    clock.start();
    form->ButtonIntegrazioneEANErrati->click();
    const qint64 took = clock.elapsed();
    std::cout << "[  FIGURES ] batch on a locked row: error after " << took << " ms (lock timeout "
              << form->TransactionColli().LockTimeout() << " s)\n";
    EXPECT_EQ(form->TransactionColli().LockTimeout(), 2);
    EXPECT_LT(took, 3000 + 1500);
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.back().rfind("Error: Errore interno durante l'elaborazione:\r", 0), 0u) << journal.back();
    EXPECT_NE(journal.back().find("bloccati da un'altra postazione o da un collegamento perso"), std::string::npos)
        << journal.back();
    holder.Rollback();
    EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM COLLI WHERE CODICEEAN_ERRATO IS NOT NULL")[0][0], "0");
}

TEST(DiagnosticLogFile, KeepsOnePreviousFileWhenFull)
{
    StationFolder folder;
    DiagnosticLog log(QString::fromStdString(folder.Path() + "log"));
    const QString line(1000, QChar(u'x'));
    for (qint64 written = 0; written <= 2 * DiagnosticLog::kMaxBytes; written += line.size())
        log.Write(line);
    log.Write(QStringLiteral("ultima\rriga"));
    std::ifstream current(log.FilePath().toStdString());
    std::string last;
    for (std::string text; std::getline(current, text);)
        last = text;
    EXPECT_NE(last.find(" ultima | riga"), std::string::npos) << last;
    EXPECT_LE(std::filesystem::file_size(log.FilePath().toStdString()), static_cast<std::uintmax_t>(DiagnosticLog::kMaxBytes) + 2000);
    EXPECT_TRUE(std::filesystem::exists(folder.Path() + "log/diagnostica.1.log"));
}

} // namespace
