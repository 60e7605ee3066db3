// Start-up of the main window: layout, creation sequence and its outcomes.
#include "StationFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>

#include <filesystem>
#include <fstream>

namespace {

class Startup : public StationTest {
protected:
    void BreakDatabase()
    {
        std::ofstream(folder.DatabasePath(), std::ios::binary | std::ios::trunc) << "not a database";
    }
    std::string TemplateMissingText() const
    {
        return "Error: File report\r\"" + folder.TemplatePath() + "\"\rnon trovato";
    }
};

TEST_F(Startup, AllStepsSucceed)
{
    Start();
    EXPECT_TRUE(journal.empty());
    EXPECT_TRUE(form->EditBarcode->isEnabled());
    EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->EditBarcode));
    EXPECT_TRUE(form->DatabaseColli().Connected());
    EXPECT_EQ(form->DatabaseColli().DatabaseName(), folder.DatabasePath());
    EXPECT_EQ(form->TemplatePath(), folder.TemplatePath());
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_FALSE(form->TransactionColli().Active());
    EXPECT_EQ(form->ComboStampante->count(), 1);
    EXPECT_EQ(form->ComboStampante->currentText(), "Zebra,zebra,usb");
    EXPECT_FALSE(form->CheckCopiaSuClipBoard->isChecked());
}

TEST_F(Startup, SeveralPrintersLeaveTheChoiceToTheOperator)
{
    printer.printers = {{"A", "a", "p1"}, {"B", "", "p2"}};
    Start();
    EXPECT_EQ(form->ComboStampante->count(), 2);
    EXPECT_EQ(form->ComboStampante->currentIndex(), -1);
    EXPECT_TRUE(form->ComboStampante->currentText().isEmpty());
}

TEST_F(Startup, DatabaseNotOpenedDisablesTheBarcodeFieldOnly)
{
    BreakDatabase();
    Start();
    EXPECT_EQ(journal, (Journal{"Plain: Non trovato dati.ini", "AskServerDialog", "Plain: Apertura / creazione del database non riuscita!"}));
    EXPECT_FALSE(form->EditBarcode->isEnabled());
    EXPECT_FALSE(form->DatabaseColli().Connected());
    EXPECT_EQ(form->TemplatePath(), folder.TemplatePath());
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->ComboStampante));

    // The buttons still respond.
    journal.clear();
    form->ButtonHelp->click();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].rfind("Information: ", 0), 0u);
    journal.clear();
    form->ButtonIntegrazioneEANErrati->click();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].rfind("ApplicationError: ", 0), 0u) << journal[0];
    form->ButtonChiudi->click();
    EXPECT_FALSE(form->isVisible());
}

TEST_F(Startup, MissingTemplateDisablesTheBarcodeField)
{
    std::filesystem::remove(folder.TemplatePath());
    Start();
    EXPECT_EQ(journal, (Journal{TemplateMissingText()}));
    EXPECT_FALSE(form->EditBarcode->isEnabled());
    EXPECT_TRUE(form->DatabaseColli().Connected());
    EXPECT_EQ(form->TemplatePath(), folder.TemplatePath());
    EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->ComboStampante));
}

TEST_F(Startup, FolderNamedLikeTheTemplateIsNoTemplate)
{
    std::filesystem::remove(folder.TemplatePath());
    std::filesystem::create_directory(folder.TemplatePath());
    Start();
    EXPECT_EQ(journal, (Journal{TemplateMissingText()}));
}

TEST_F(Startup, DatabaseMessagesComeBeforeTheTemplateMessage)
{
    BreakDatabase();
    std::filesystem::remove(folder.TemplatePath());
    Start();
    EXPECT_EQ(journal, (Journal{"Plain: Non trovato dati.ini", "AskServerDialog", "Plain: Apertura / creazione del database non riuscita!",
                                TemplateMissingText()}));
    EXPECT_FALSE(form->EditBarcode->isEnabled());
}

TEST_F(Startup, NoDatabaseYetCreatesAnEmptyOne)
{
    std::filesystem::remove(folder.DatabasePath());
    Start();
    EXPECT_EQ(journal, (Journal{"Plain: Effettuata creazione data base"}));
    EXPECT_TRUE(form->DatabaseColli().Connected());
    EXPECT_TRUE(form->EditBarcode->isEnabled());
}

TEST_F(Startup, FailedPrinterListStillOpensDatabaseAndChecksTemplate)
{
    printer.printers.clear();
    Start();
    EXPECT_TRUE(journal.empty());
    EXPECT_EQ(form->ComboStampante->count(), 0);
    EXPECT_TRUE(form->DatabaseColli().Connected());
    EXPECT_EQ(form->TemplatePath(), folder.TemplatePath());
    EXPECT_TRUE(form->EditBarcode->isEnabled());
}

TEST_F(Startup, ErrorWhileListingPrintersIsShownAndStartUpGoesOn)
{
    printer.listFails = true;
    std::filesystem::remove(folder.TemplatePath());
    Start();
    EXPECT_EQ(journal, (Journal{"ApplicationError: Elenco stampanti non disponibile.", TemplateMissingText()}));
    EXPECT_TRUE(form->DatabaseColli().Connected());
}

TEST_F(Startup, ErrorDuringTheDatabaseStepIsShownAndTheWindowStillOpens)
{
    BreakDatabase();
    locationUi.failWith = "Impossibile scrivere dati.ini";
    Start();
    EXPECT_EQ(journal, (Journal{"Plain: Non trovato dati.ini", "AskServerDialog", "ApplicationError: Impossibile scrivere dati.ini."}));
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(form->TemplatePath().empty()); // later steps were not done
    EXPECT_FALSE(form->EditBarcode->isEnabled()); // never scans on a connection that is not open
    EXPECT_EQ(form->ScanState(), 0);
}

// Taking it for a missing file would start the station as SYSDBA with the
// default password instead of its own account.
TEST_F(Startup, SettingsFileThatCannotBeReadIsReportedNotReplaced)
{
    const std::string settings = folder.Path() + "dati.ini";
    std::filesystem::create_directory(settings); // there, but no file to read
    Start();
    EXPECT_EQ(journal, (Journal{"ApplicationError: Impossibile leggere il file delle impostazioni " + settings + "."}));
    EXPECT_FALSE(form->EditBarcode->isEnabled());
    EXPECT_FALSE(form->DatabaseColli().Connected());
    EXPECT_TRUE(std::filesystem::is_directory(settings));
}

TEST_F(Startup, HelpShowsTheTemplateVariables)
{
    Start();
    form->ButtonHelp->click();
    EXPECT_EQ(journal, (Journal{"Information: La stampa si appoggia al report \"ETICHETTA.TXT\" e riconosce le seguenti "
                                "variabili:\r- <CODICEEAN> (contenuto completo del campo)\r- <CODICEEAN_SHORT> (primi 12 "
                                "caratteri del campo)"}));
    EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->EditBarcode));
}

TEST_F(Startup, LayoutMatchesTheDesign)
{
    Start();
    EXPECT_EQ(form->windowTitle(), "MainForm");
    EXPECT_EQ(form->size(), QSize(576, 247));

    struct Expected {
        const char* name;
        QRect geometry;
        QString caption;
    };
    const Expected controls[] = {
        {"Label2", {0, 11, 141, 13}, "Selezione stampante termica:"},
        {"ComboStampante", {144, 8, 401, 21}, {}},
        {"CheckCopiaSuClipBoard", {144, 32, 145, 17}, "Copia stampa su clipboard"},
        {"ButtonHelp", {518, 30, 25, 25}, "?"},
        {"LabelBarcode", {0, 67, 141, 13}, "Barcode Speed:"},
        {"EditBarcode", {144, 64, 250, 21}, {}},
        {"Label3", {56, 35, 86, 13}, "Barcode Speed:"},
        {"StaticBarcodeSpeed", {144, 32, 250, 21}, {}},
        {"Label4", {56, 67, 86, 13}, "EAN:"},
        {"StaticEAN", {144, 64, 250, 21}, {}},
        {"ButtonIntegrazioneEANErrati", {0, 8, 130, 25}, "Integrazione EAN errati"},
        {"ButtonChiudi", {130, 8, 100, 25}, "Chiudi"},
    };
    for (const Expected& control : controls) {
        auto* widget = form->findChild<QWidget*>(control.name);
        ASSERT_NE(widget, nullptr) << control.name;
        EXPECT_EQ(widget->geometry(), control.geometry) << control.name;
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            EXPECT_EQ(label->text(), control.caption) << control.name;
            EXPECT_TRUE(label->alignment() & Qt::AlignRight) << control.name;
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            EXPECT_EQ(button->text(), control.caption) << control.name;
        }
    }
    EXPECT_EQ(form->GroupBox1->title(), "Ultimo barcode letto");
    EXPECT_EQ(form->PanelTop->geometry(), QRect(0, 0, 560, 97));
    EXPECT_EQ(form->GroupBox1->geometry(), QRect(0, 97, 560, 109));
    EXPECT_EQ(form->PanelBottom->geometry(), QRect(0, 206, 560, 41));
    EXPECT_EQ(form->PanelPulsanti->geometry(), QRect(330, 0, 230, 41));

    // Focus: the barcode field first, then the printer list and the check box; the rest never.
    EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->EditBarcode));
    QTest::keyClick(form->EditBarcode, Qt::Key_Tab);
    EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->ComboStampante));
    QTest::keyClick(form->ComboStampante, Qt::Key_Tab);
    EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->CheckCopiaSuClipBoard));
    QTest::keyClick(form->CheckCopiaSuClipBoard, Qt::Key_Tab);
    EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->EditBarcode));
    for (QWidget* w : std::initializer_list<QWidget*>{form->ButtonHelp, form->ButtonChiudi,
                                                       form->ButtonIntegrazioneEANErrati, form->StaticEAN,
                                                       form->StaticBarcodeSpeed})
        EXPECT_EQ(w->focusPolicy(), Qt::NoFocus) << w->objectName().toStdString();
    EXPECT_TRUE(form->StaticEAN->isReadOnly());
    EXPECT_EQ(form->EditBarcode->maxLength(), 32767);
}

// Every caption whole, in the fonts and at the display scale of the machine
// (run under Wine at 96, 120 and 144 dpi as well).
TEST_F(Startup, EveryCaptionFitsItsControl)
{
    AddParcel("SPD001", "8001234567890", "0012345678905");
    Start();
    form->show();
    auto check = [&](const std::string& when) {
        for (QWidget* widget : form->findChildren<QWidget*>()) {
            QString text;
            int room = widget->contentsRect().width();
            QStyle* style = widget->style();
            if (auto* label = qobject_cast<QLabel*>(widget)) {
                text = label->text();
            } else if (auto* box = qobject_cast<QCheckBox*>(widget)) {
                text = box->text();
                room -= style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, box)
                    + style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, box);
            } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
                text = button->text();
                room -= 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button)
                    + style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
            }
            if (text.isEmpty())
                continue;
            const int needed = widget->fontMetrics().horizontalAdvance(text);
            EXPECT_LE(needed, room) << when << ": " << widget->objectName().toStdString() << " \""
                                    << text.toStdString() << "\" at " << widget->logicalDpiX() << " dpi, "
                                    << widget->devicePixelRatioF() << "x";
        }
    };
    check("at start");
    Scan("SPD001"); // the caption asks for the EAN now
    EXPECT_EQ(form->LabelBarcode->text(), "Barcode EAN:");
    check("after a courier barcode");
}

TEST_F(Startup, PanelsKeepTheirAlignmentOnResize)
{
    Start();
    form->resize(800, 400);
    QCoreApplication::processEvents();
    EXPECT_EQ(form->PanelLeft->geometry(), QRect(0, 0, 8, 400));
    EXPECT_EQ(form->PanelRight->geometry(), QRect(792, 0, 8, 400));
    EXPECT_EQ(form->PanelClient->geometry(), QRect(8, 0, 784, 400));
    EXPECT_EQ(form->PanelTop->height(), 97);
    EXPECT_EQ(form->PanelBottom->geometry(), QRect(0, 359, 784, 41));
    EXPECT_EQ(form->PanelPulsanti->geometry(), QRect(554, 0, 230, 41));
    EXPECT_EQ(form->GroupBox1->geometry(), QRect(0, 97, 784, 262));

    form->resize(300, 247);
    QCoreApplication::processEvents();
    EXPECT_GE(form->PanelClient->width(), 560);
}

TEST_F(Startup, ProgramFolderIsWhereTheProgramFileIs)
{
    const QString before = QDir::currentPath();
    QDir::setCurrent(QDir::tempPath());
    const std::string folderName = ProgramFolder();
    QDir::setCurrent(before);
    EXPECT_EQ(folderName, QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + "/").toStdString());
    const QString programFile = QCoreApplication::applicationFilePath().section('/', -1);
    EXPECT_TRUE(std::filesystem::exists(folderName + programFile.toStdString()));
}

TEST(NativeFolder, EndsWithOneSeparator)
{
#ifdef _WIN32
    EXPECT_EQ(NativeFolder("C:/Colli"), "C:\\Colli\\");
    EXPECT_EQ(NativeFolder("P:/"), "P:\\"); // a program at the root of a drive
    EXPECT_EQ(NativeFolder("//SRV/D/Colli"), "\\\\SRV\\D\\Colli\\");
#else
    EXPECT_EQ(NativeFolder("/opt/controllo-colli"), "/opt/controllo-colli/");
    EXPECT_EQ(NativeFolder("/"), "/");
#endif
}

} // namespace
