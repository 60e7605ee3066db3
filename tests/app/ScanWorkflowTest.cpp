// The two-step scan workflow behind the barcode field, on a real embedded database.
#include "StationFixture.h"

#include <sqlite3.h>

#include <algorithm>

#include "Windows1252.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

using Row = std::vector<std::string>;

Row LogRow(const std::vector<std::string>& row)
{
    return Row(row.begin() + 1, row.end()); // without the ID
}

class ScanWorkflow : public StationTest {
protected:
    void SetUp() override
    {
        AddParcel("SPD001", "8001234567890", "0012345678905");
        AddParcel("SPD002", "8009999999999", "<NULL>");
        AddParcel("SPD003", "8005555555555", "8005555555555");
        Start();
        journal.clear();
    }

    void ExpectFieldEmptyAndFocused()
    {
        EXPECT_TRUE(form->EditBarcode->text().isEmpty());
        EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->EditBarcode));
    }
};

TEST_F(ScanWorkflow, FoundCourierBarcodeAsksForTheEanWithoutWindowOrLog)
{
    Scan("SPD001");
    EXPECT_EQ(form->ScanState(), 1);
    EXPECT_EQ(Caption(), "Barcode EAN:");
    EXPECT_EQ(form->CurrentBarcodeSpeed(), "SPD001");
    EXPECT_EQ(form->CurrentCodiceEAN(), "8001234567890");
    EXPECT_EQ(form->CurrentCodiceEANErrato(), "0012345678905");
    EXPECT_EQ(form->StaticBarcodeSpeed->text(), "SPD001");
    EXPECT_TRUE(form->StaticEAN->text().isEmpty());
    EXPECT_TRUE(journal.empty());
    EXPECT_TRUE(LogRows().empty());
    ExpectFieldEmptyAndFocused();
}

TEST_F(ScanWorkflow, UnknownCourierBarcodeShowsTheErrorWindowAndLogsNullEan)
{
    Scan("SPD001");
    Scan("8001234567890"); // EAN OK: back in state 0, StaticEAN shows it
    journal.clear();

    Scan("NOPE42");
    EXPECT_EQ(journal, (Journal{"Outcome 2: codice speed sconosciuto"}));
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_EQ(Caption(), "Barcode Speed:");
    EXPECT_EQ(form->StaticBarcodeSpeed->text(), "NOPE42");
    EXPECT_TRUE(form->StaticEAN->text().isEmpty());
    const auto rows = LogRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(LogRow(rows[1]), (Row{"NOPE42", "<NULL>", "BarCodeSpeedSconosciuto"}));
    EXPECT_FALSE(form->TransactionColli().Active()); // the log row was committed
    ExpectFieldEmptyAndFocused();
}

TEST_F(ScanWorkflow, CorrectEanShowsEanOkLogsAndReturnsToCourierStep)
{
    Scan("SPD001");
    Scan("8001234567890");
    EXPECT_EQ(journal, (Journal{"Outcome 0: EAN OK"}));
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_EQ(Caption(), "Barcode Speed:");
    EXPECT_EQ(form->StaticEAN->text(), "8001234567890");
    const auto rows = LogRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(LogRow(rows[0]), (Row{"SPD001", "8001234567890", "EanCorretto"}));
    EXPECT_TRUE(printer.sent.empty());
    ExpectFieldEmptyAndFocused();
}

TEST_F(ScanWorkflow, FaultyEanShowsWindowThenPrintsThenLogs)
{
    // The row is on the workstation before the window shows, and goes to the
    // server only once the label has been sent.
    std::vector<std::size_t> logRowsAtOutcome, logRowsAtPrint;
    std::vector<long long> keptAtOutcome;
    bool printedBeforeWindowClosed = false;
    auto serverRows = [this] { return folder.Query("SELECT ID FROM LOGSPARATE").size(); };
    boxes.onOutcome = [&] {
        logRowsAtOutcome.push_back(serverRows());
        keptAtOutcome.push_back(form->ScansWaiting().waiting);
        printedBeforeWindowClosed = !printer.sent.empty();
    };
    printer.onSend = [&] { logRowsAtPrint.push_back(serverRows()); };

    Scan("SPD001");
    Scan("0012345678905");

    EXPECT_EQ(journal, (Journal{"Outcome 1: EAN ERRATO: RISTAMPA", "Print: begin", "Print: raw", "Print: end"}));
    EXPECT_FALSE(printedBeforeWindowClosed);
    EXPECT_EQ(logRowsAtOutcome, (std::vector<std::size_t>{0u}));
    EXPECT_EQ(keptAtOutcome, (std::vector<long long>{1}));
    EXPECT_EQ(logRowsAtPrint, (std::vector<std::size_t>{0u}));
    EXPECT_NE(printer.sent.find("^FD8001234567890^FS"), std::string::npos) << printer.sent;
    EXPECT_NE(printer.sent.find("^FD800123456789^FS"), std::string::npos) << printer.sent;
    const auto rows = LogRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(LogRow(rows[0]), (Row{"SPD001", "0012345678905", "EanErrato"}));
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_EQ(Caption(), "Barcode Speed:");
    ExpectFieldEmptyAndFocused();
}

TEST_F(ScanWorkflow, UnknownEanKeepsTheParcelAndLogsEveryAttempt)
{
    Scan("SPD001");
    for (int i = 0; i < 3; ++i)
        Scan("1111111111111");
    EXPECT_EQ(journal, (Journal{"Outcome 2: codice EAN sconosciuto", "Outcome 2: codice EAN sconosciuto",
                                     "Outcome 2: codice EAN sconosciuto"}));
    EXPECT_EQ(form->ScanState(), 1);
    EXPECT_EQ(Caption(), "Barcode EAN:");
    const auto rows = LogRows();
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& row : rows)
        EXPECT_EQ(LogRow(row), (Row{"SPD001", "1111111111111", "CodiceEanSconosciuto"}));
    EXPECT_LT(std::stoll(rows[0][0]), std::stoll(rows[1][0]));
    EXPECT_LT(std::stoll(rows[1][0]), std::stoll(rows[2][0]));

    // A courier barcode scanned now is taken as an EAN of the same parcel.
    journal.clear();
    Scan("SPD002");
    EXPECT_EQ(journal, (Journal{"Outcome 2: codice EAN sconosciuto"}));
    EXPECT_EQ(form->CurrentBarcodeSpeed(), "SPD001");
    EXPECT_EQ(form->ScanState(), 1);
}

TEST_F(ScanWorkflow, EnterOnAnEmptyFieldChangesNothing)
{
    Scan("SPD001");
    form->ComboStampante->setFocus();
    journal.clear();

    Scan("");
    EXPECT_TRUE(journal.empty()); // not even the printer warning
    EXPECT_EQ(form->ScanState(), 1);
    EXPECT_EQ(form->StaticBarcodeSpeed->text(), "SPD001");
    EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->ComboStampante));
    EXPECT_TRUE(LogRows().empty());
}

TEST_F(ScanWorkflow, CodeOfBlanksIsLookedUpAndClassifiedLikeAnyOther)
{
    Scan("   ");
    EXPECT_EQ(journal, (Journal{"Outcome 2: codice speed sconosciuto"}));
    Scan("SPD001");
    Scan(" ");
    auto rows = LogRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(LogRow(rows[0]), (Row{"   ", "<NULL>", "BarCodeSpeedSconosciuto"}));
    EXPECT_EQ(LogRow(rows[1]), (Row{"SPD001", " ", "CodiceEanSconosciuto"}));
}

TEST_F(ScanWorkflow, TrailingBlankOrOtherLetterCaseIsAnUnknownEan)
{
    AddParcel("SPDX", "ean-Abc", "ean-Faulty");
    Scan("SPDX");
    Scan("ean-Abc ");
    Scan("EAN-ABC");
    Scan("ean-faulty");
    EXPECT_EQ(journal, (Journal{"Outcome 2: codice EAN sconosciuto", "Outcome 2: codice EAN sconosciuto",
                                     "Outcome 2: codice EAN sconosciuto"}));
    const auto rows = LogRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][2], "ean-Abc ");
    EXPECT_EQ(form->ScanState(), 1);
}

TEST_F(ScanWorkflow, CourierBarcodeWithBlanksIsLoggedWithThem)
{
    Scan(" SPD404 ");
    const auto rows = LogRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][1], " SPD404 ");
}

TEST_F(ScanWorkflow, NullFaultyEanNeverYieldsAReprint)
{
    Scan("SPD002");
    EXPECT_EQ(form->CurrentCodiceEANErrato(), "");
    Scan("0099999999990");
    Scan("8009999999999");
    EXPECT_EQ(journal, (Journal{"Outcome 2: codice EAN sconosciuto", "Outcome 0: EAN OK"}));
    EXPECT_TRUE(printer.sent.empty());
}

TEST_F(ScanWorkflow, EanEqualToBothColumnsIsCorrectAndNotReprinted)
{
    Scan("SPD003");
    Scan("8005555555555");
    EXPECT_EQ(journal, (Journal{"Outcome 0: EAN OK"}));
    EXPECT_TRUE(printer.sent.empty());
    EXPECT_EQ(LogRows().at(0)[3], "EanCorretto");
}

TEST_F(ScanWorkflow, DuplicateCourierBarcodeTakesTheFirstRowReturned)
{
    AddParcel("DUP", "1000000000001", "2000000000002");
    AddParcel("DUP", "3000000000003", "4000000000004");
    const auto first = folder.Query("SELECT CODICEEAN, CODICEEAN_ERRATO FROM COLLI WHERE BARCODESPEED='DUP'").at(0);
    Scan("DUP");
    EXPECT_EQ(form->CurrentCodiceEAN(), first[0]);
    EXPECT_EQ(form->CurrentCodiceEANErrato(), first[1]);
}

TEST_F(ScanWorkflow, QuotesInCodesAreTextNotSql)
{
    AddParcel("O'BRIEN", "8000000000017", "x'y");
    Scan("x' OR '1'='1");
    EXPECT_EQ(journal, (Journal{"Outcome 2: codice speed sconosciuto"}));
    EXPECT_EQ(form->ScanState(), 0);

    Scan("O'BRIEN");
    EXPECT_EQ(form->ScanState(), 1);
    EXPECT_EQ(form->CurrentCodiceEANErrato(), "x'y");
    Scan("'); DELETE FROM COLLI; --");
    Scan("x'y");

    const auto rows = LogRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(LogRow(rows[0]), (Row{"x' OR '1'='1", "<NULL>", "BarCodeSpeedSconosciuto"}));
    EXPECT_EQ(LogRow(rows[1]), (Row{"O'BRIEN", "'); DELETE FROM COLLI; --", "CodiceEanSconosciuto"}));
    EXPECT_EQ(LogRow(rows[2]), (Row{"O'BRIEN", "x'y", "EanErrato"}));
    EXPECT_EQ(folder.Query("SELECT COUNT(*) FROM COLLI").at(0).at(0), "4");
    for (const auto& entry : journal)
        EXPECT_EQ(entry.rfind("ApplicationError", 0), std::string::npos) << entry;
}

TEST_F(ScanWorkflow, ColonInACodeIsNotAParameter)
{
    AddParcel("AB:CD", "8000000000024", "<NULL>");
    Scan("AB:CD");
    EXPECT_EQ(form->ScanState(), 1);
    EXPECT_EQ(form->CurrentCodiceEAN(), "8000000000024");
}

TEST_F(ScanWorkflow, AccentedCodesTravelAsWindows1252)
{
    const std::string code = *ToWindows1252(QString::fromUtf8("CAFÉ€1"));
    ASSERT_EQ(code.size(), 6u);
    AddParcel(code, *ToWindows1252(QString::fromUtf8("EAN-é")), "<NULL>");
    Scan(QString::fromUtf8("CAFÉ€1"));
    EXPECT_EQ(form->ScanState(), 1);
    Scan(QString::fromUtf8("EAN-é"));
    EXPECT_EQ(journal, (Journal{"Outcome 0: EAN OK"}));
    EXPECT_EQ(LogRows().at(0)[1], code);
}

TEST_F(ScanWorkflow, CharacterWithoutWindows1252ByteRefusesTheScan)
{
    Scan(QString::fromUtf8("SPD\u4e2d001"));
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].rfind("Warning: ", 0), 0u) << journal[0];
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_TRUE(form->StaticBarcodeSpeed->text().isEmpty());
    EXPECT_TRUE(LogRows().empty());
    ExpectFieldEmptyAndFocused();

    Scan("SPD001");
    journal.clear();
    Scan(QString::fromUtf8("800123456789\u0100"));
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].rfind("Warning: ", 0), 0u);
    EXPECT_EQ(form->ScanState(), 1);
    EXPECT_TRUE(form->StaticEAN->text().isEmpty());
    EXPECT_TRUE(LogRows().empty());
}

TEST_F(ScanWorkflow, CodeLongerThanTheLogColumnsRefusesTheScan)
{
    const std::string longCode(300, '7');
    const std::string refused = "Warning: Il codice letto \xC3\xA8 troppo lungo per l'archivio (300 caratteri, al "
                                "massimo 64):\r" + longCode.substr(0, 64) + "...\rScansione ignorata: ripetere la lettura.";
    Scan(QString::fromStdString(longCode));
    EXPECT_EQ(journal, Journal{refused});
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_TRUE(form->StaticBarcodeSpeed->text().isEmpty());
    ExpectFieldEmptyAndFocused();

    Scan("SPD001");
    journal.clear();
    Scan(QString::fromStdString(longCode));
    EXPECT_EQ(journal, Journal{refused});
    EXPECT_EQ(form->ScanState(), 1);
    EXPECT_TRUE(form->StaticEAN->text().isEmpty());
    EXPECT_TRUE(LogRows().empty());

    // the widest code the log holds is still looked up and logged whole
    journal.clear();
    Scan("8001234567890");
    const std::string widest(64, '9');
    Scan(QString::fromStdString(widest));
    EXPECT_EQ(journal, (Journal{"Outcome 0: EAN OK", "Outcome 2: codice speed sconosciuto"}));
    ASSERT_EQ(LogRows().size(), 2u);
    EXPECT_EQ(LogRow(LogRows()[1]), (Row{widest, "<NULL>", "BarCodeSpeedSconosciuto"}));
}

TEST_F(ScanWorkflow, EanStepNeedsAPrinterAndResumesOnceOneIsChosen)
{
    form.reset();
    printer.printers = {{"Zebra", "zebra", "usb"}, {"Laser", "", "lpt1"}};
    Start();
    EXPECT_EQ(form->ComboStampante->currentIndex(), -1);
    journal.clear();

    Scan("SPD001"); // the printer is not needed for the courier step
    EXPECT_EQ(form->ScanState(), 1);
    Scan("8001234567890");
    EXPECT_EQ(journal, (Journal{"Warning: Selezionare una stampante"}));
    EXPECT_EQ(form->ScanState(), 1);
    EXPECT_EQ(Caption(), "Barcode EAN:");
    EXPECT_TRUE(form->StaticEAN->text().isEmpty());
    EXPECT_TRUE(form->EditBarcode->text().isEmpty());
    EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->ComboStampante));
    EXPECT_TRUE(LogRows().empty());

    form->ComboStampante->setCurrentIndex(0);
    form->EditBarcode->setFocus();
    Scan("8001234567890");
    EXPECT_EQ(journal.back(), "Outcome 0: EAN OK");
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_EQ(LogRows().size(), 1u);
}

TEST_F(ScanWorkflow, FailedPrintLeavesTheEanStepOpenAndLogsNothing)
{
    printer.failBeginJob = "Printer selected is not valid";
    Scan("SPD001");
    Scan("0012345678905");
    EXPECT_EQ(journal, (Journal{"Outcome 1: EAN ERRATO: RISTAMPA", "Print: begin",
                                     "ApplicationError: Printer selected is not valid."}));
    EXPECT_EQ(form->ScanState(), 1);
    EXPECT_EQ(Caption(), "Barcode EAN:");
    EXPECT_TRUE(LogRows().empty());
    ExpectFieldEmptyAndFocused();
    EXPECT_EQ(printer.defaultDevice, ",,,"); // put back

    printer.failBeginJob.clear();
    Scan("0012345678905");
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_EQ(LogRows().at(0)[3], "EanErrato");
}

TEST_F(ScanWorkflow, PrinterDecliningAfterItsWarningStillLogsTheReprint)
{
    printer.passThrough = false;
    Scan("SPD001");
    Scan("0012345678905");
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[1], "Warning: La stampante selezionata\rZebra,zebra,usb\rnon supporta i comandi Escape");
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_EQ(LogRows().at(0)[3], "EanErrato");
}

TEST_F(ScanWorkflow, MissingParcelTableReachesTheErrorHandler)
{
    form.reset();
    folder.Execute("DROP PROCEDURE COLLI_MODIFICHE_DOPO"); // it reads the table
    folder.Execute("DROP TABLE COLLI");
    Start();
    journal.clear();
    Scan("SPD001");
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].rfind("ApplicationError: ", 0), 0u) << journal[0];
    EXPECT_NE(journal[0].find("COLLI"), std::string::npos) << journal[0];
    EXPECT_EQ(journal[0].back(), '.');
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_EQ(form->StaticBarcodeSpeed->text(), "SPD001");
    ExpectFieldEmptyAndFocused();
}

// The server refuses the row: the outcome stands, the row stays in the
// journal, the window says so, and the next scan proceeds.
TEST_F(ScanWorkflow, ARowTheServerRefusesIsKeptAndShownAndTheWorkflowGoesOn)
{
    form.reset();
    folder.Execute("DROP PROCEDURE SCANSIONE_REGISTRATA");
    folder.Execute("DROP TRIGGER LOGSPARATE_COMMIT");
    folder.Execute("DROP TABLE LOGSPARATE");
    Start();
    journal.clear();

    Scan("NOPE");
    EXPECT_EQ(journal, Journal{"Outcome 2: codice speed sconosciuto"});
    EXPECT_EQ(form->ScanState(), 0);
    // The journal has the refusal before the window hears of it: wait for the window's line.
    ASSERT_TRUE(QTest::qWaitFor(
        [this] {
            const auto lines = DiagnosticLines();
            return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
                return line.find("rifiutata dal server e resta nel giornale") != std::string::npos &&
                       line.find("LOGSPARATE") != std::string::npos;
            });
        },
        20000));
    EXPECT_EQ(form->ScansWaiting().refused, 1);
    EXPECT_EQ(form->LabelCoda->text().toStdString(), "1 scansione rifiutata dal server (vedere diagnostica.log)");

    Scan("SPD001");
    EXPECT_EQ(form->ScanState(), 1);
    Scan("8001234567890");
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_EQ(Caption(), "Barcode Speed:");
}

// The workstation cannot keep the row (a full disk): the scan is not taken,
// and the operator is told to repeat it.
TEST_F(ScanWorkflow, AScanTheJournalCannotKeepIsNotTaken)
{
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(form->JournalPath().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "CREATE TRIGGER PIENO BEFORE INSERT ON RIGHE BEGIN "
                                   "SELECT RAISE(ABORT, 'database or disk is full'); END",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    Scan("SPD001");
    Scan("8001234567890");
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].rfind("Error: Impossibile storicizzare nel log la scansione:\r", 0), 0u) << journal[0];
    EXPECT_NE(journal[0].find("disk is full"), std::string::npos) << journal[0];
    EXPECT_NE(journal[0].find("La scansione non \u00e8 stata accettata: ripetere la lettura."), std::string::npos);
    EXPECT_EQ(form->ScanState(), 1); // the EAN is asked for again
    EXPECT_TRUE(LogRows().empty());
}

TEST_F(ScanWorkflow, EnterReleaseStartsAStepWhateverTheModifiers)
{
    Scan("SPD001", Qt::ShiftModifier);
    EXPECT_EQ(form->ScanState(), 1);
    form->EditBarcode->setText("8001234567890");
    ReleaseKey(Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier);
    EXPECT_EQ(journal, (Journal{"Outcome 0: EAN OK"}));
}

TEST_F(ScanWorkflow, OnlyTheReleaseOfEnterStartsAStep)
{
    form->EditBarcode->setFocus();
    QTest::keyClicks(form->EditBarcode, "SPD001");
    QTest::keyClick(form->EditBarcode, Qt::Key_Space, Qt::ShiftModifier);
    QTest::keyClick(form->EditBarcode, Qt::Key_Backspace);
    QTest::keyClick(form->EditBarcode, Qt::Key_F5);
    QTest::keyClick(form->EditBarcode, Qt::Key_Tab);
    form->EditBarcode->setFocus();
    EXPECT_EQ(form->EditBarcode->text(), "SPD001");
    EXPECT_EQ(form->ScanState(), 0);

    QTest::keyPress(form->EditBarcode, Qt::Key_Return);
    EXPECT_EQ(form->ScanState(), 0);
    ReleaseKey(Qt::Key_Return, Qt::NoModifier, /*autoRepeat=*/true);
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_EQ(form->EditBarcode->text(), "SPD001");

    QTest::keyRelease(form->EditBarcode, Qt::Key_Return);
    EXPECT_EQ(form->ScanState(), 1);
    EXPECT_TRUE(form->EditBarcode->text().isEmpty());
    EXPECT_TRUE(journal.empty());
}

TEST_F(ScanWorkflow, BatchDuringTheEanStepLeavesTheCurrentParcelAlone)
{
    AddParcel("SPD010", "2001234567890", "<NULL>");
    Scan("SPD010");
    ASSERT_EQ(form->ScanState(), 1);

    form->ButtonIntegrazioneEANErrati->click();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal.front().rfind("Confirm: Trovati ", 0), 0u) << journal.front();
    EXPECT_EQ(journal.back(), "Information: Elaborazione completata");
    EXPECT_EQ(folder.Query("SELECT CODICEEAN_ERRATO FROM COLLI WHERE BARCODESPEED='SPD010'").at(0).at(0),
              "0012345678905");
    EXPECT_EQ(form->ScanState(), 1);
    EXPECT_EQ(form->CurrentCodiceEANErrato(), "");

    journal.clear();
    Scan("0012345678905"); // still unknown for the parcel as it was looked up
    EXPECT_EQ(journal, (Journal{"Outcome 2: codice EAN sconosciuto"}));
    Scan("2001234567890");
    EXPECT_EQ(form->ScanState(), 0);
}

} // namespace
