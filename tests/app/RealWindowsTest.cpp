// The real modal windows: standard boxes, the outcome window in a scan, and the
// one handler of errors that leave an event handler.
#include "ColliApplication.h"
#include "HeldKeys.h"
#include "MessaggioForm.h"
#include "PictureBox.h"
#include "StationFixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <dblocate/QuenIn2Form.h>

#include <fstream>

#include <stdexcept>

namespace {

struct SeenBox {
    QString caption;
    QString text;
    QStringList buttons;
};

// While a modal box is open: note what it shows and press the button with the given text.
void AnswerNextBox(SeenBox& seen, const QString& press)
{
    QTimer::singleShot(0, [&seen, press] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        seen.caption = box->windowTitle();
        seen.text = box->text();
        for (QAbstractButton* button : box->buttons())
            seen.buttons << button->text();
        for (QAbstractButton* button : box->buttons())
            if (button->text() == press)
                button->click();
    });
}

TEST(RealWindows, StandardBoxesKeepTheirCaptionsAndButtons)
{
    MessageBoxes boxes;
    SeenBox seen;

    AnswerNextBox(seen, "OK");
    boxes.Warning(nullptr, "Selezionare una stampante");
    EXPECT_EQ(seen.caption, "Warning");
    EXPECT_EQ(seen.buttons, QStringList{"OK"});

    seen = {};
    AnswerNextBox(seen, "OK");
    boxes.Error(nullptr, "Impossibile storicizzare nel log la scansione:\rtable unknown");
    EXPECT_EQ(seen.caption, "Error");
    EXPECT_EQ(seen.text, "Impossibile storicizzare nel log la scansione:\ntable unknown");

    seen = {};
    AnswerNextBox(seen, "OK");
    boxes.Information(nullptr, "Elaborazione completata");
    EXPECT_EQ(seen.caption, "Information");

    seen = {};
    AnswerNextBox(seen, "&Yes");
    EXPECT_TRUE(boxes.Confirm(nullptr, "procedere?"));
    EXPECT_EQ(seen.caption, "Confirm");
    EXPECT_EQ(seen.buttons, (QStringList{"&Yes", "&No"}));
    seen = {};
    AnswerNextBox(seen, "&No");
    EXPECT_FALSE(boxes.Confirm(nullptr, "procedere?"));

    seen = {};
    AnswerNextBox(seen, "OK");
    boxes.Plain(nullptr, "Effettuata creazione data base");
    EXPECT_EQ(seen.caption, "Controllo colli");
    EXPECT_EQ(seen.buttons, QStringList{"OK"});
}

TEST(RealWindows, MarkupInAMessageIsShownAsTyped)
{
    MessageBoxes boxes;
    const QString text = "<b>x</b>";
    int shownWidth = -1, typedWidth = 0;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        for (QLabel* label : box->findChildren<QLabel*>()) {
            if (label->text() == text) {
                shownWidth = label->sizeHint().width();
                typedWidth = label->fontMetrics().horizontalAdvance(text);
            }
        }
        box->button(QMessageBox::Ok)->click();
    });
    boxes.Error(nullptr, text);
    // Rendered as markup it would be one bold "x", far narrower than the tags.
    EXPECT_GE(shownWidth, typedWidth);
}

TEST(RealWindows, UnhandledErrorGetsAFullStopOnlyAfterLettersAndDigits)
{
    EXPECT_EQ(UnhandledErrorText("Printer selected is not valid"), "Printer selected is not valid.");
    EXPECT_EQ(UnhandledErrorText("codice 42"), "codice 42.");
    EXPECT_EQ(UnhandledErrorText("Fine."), "Fine.");
    EXPECT_EQ(UnhandledErrorText("Errore!"), "Errore!");
    EXPECT_EQ(UnhandledErrorText("(vedi sopra)"), "(vedi sopra)");
    EXPECT_EQ(UnhandledErrorText("percorso /"), "percorso /.");
    EXPECT_EQ(UnhandledErrorText(""), "");
}

// Throws from its event handler, as a handler of the station may.
class ThrowingObject : public QObject {
public:
    bool event(QEvent* event) override
    {
        if (event->type() == QEvent::User)
            throw std::runtime_error("connection lost");
        return QObject::event(event);
    }
};

TEST(RealWindows, ErrorLeavingAnEventHandlerIsShownAndTheProgramGoesOn)
{
    ASSERT_NE(dynamic_cast<ColliApplication*>(QCoreApplication::instance()), nullptr);
    ThrowingObject object;
    SeenBox seen;
    AnswerNextBox(seen, "OK");
    QEvent event(QEvent::User);
    QCoreApplication::sendEvent(&object, &event);
    EXPECT_EQ(seen.caption, "Controllo colli");
    EXPECT_EQ(seen.text, "connection lost.");
    EXPECT_EQ(seen.buttons, QStringList{"OK"});
}

class RealWindowsStation : public StationTest {};

TEST_F(RealWindowsStation, ScanShowsTheRealOutcomeWindow)
{
    MessageBoxes realBoxes;
    form = std::make_unique<TMainForm>(StationServices{printer, realBoxes, folder.Path(), &locationUi, nullptr, nullptr, folder.Path() + "giornale/"});
    form->show();

    QString shownText;
    bool errorPictureShown = false;
    QTimer::singleShot(0, [&] {
        auto* window = dynamic_cast<TMessaggioForm*>(QApplication::activeModalWidget());
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(window->parentWidget(), form.get());
        shownText = window->LabelAvviso->text();
        errorPictureShown = window->ImageErrore->isVisible();
        window->ButtonChiudi->click();
    });
    Scan("UNKNOWN");
    EXPECT_EQ(shownText, "codice speed sconosciuto");
    EXPECT_TRUE(errorPictureShown);
    EXPECT_EQ(LogRows().size(), 1u);
    EXPECT_TRUE(form->EditBarcode->text().isEmpty());
}

TEST_F(RealWindowsStation, PrinterWarningIsARealWarningBox)
{
    AddParcel("SPD001", "8001234567890", "<NULL>");
    printer.printers = {{"A", "", ""}, {"B", "", ""}};
    MessageBoxes realBoxes;
    form = std::make_unique<TMainForm>(StationServices{printer, realBoxes, folder.Path(), &locationUi, nullptr, nullptr, folder.Path() + "giornale/"});
    form->show();
    Scan("SPD001");
    SeenBox seen;
    AnswerNextBox(seen, "OK");
    Scan("8001234567890");
    EXPECT_EQ(seen.caption, "Warning");
    EXPECT_EQ(seen.text, "Selezionare una stampante");
    EXPECT_EQ(form->focusWidget(), static_cast<QWidget*>(form->ComboStampante));
}

// The reader types into whatever window is up: a box is never closed by its
// Enter, and every code read while the box was up is dropped whole and
// named, also the part of one that arrives after the operator closed it.
TEST_F(RealWindowsStation, TheReaderCannotCloseABoxAndCodesReadDuringItAreDroppedWhole)
{
    AddParcel("SPD001", "8001234567890", "<NULL>");
    AddParcel("SPD002", "8001234567906", "<NULL>");
    printer.printers = {{"A", "", ""}, {"B", "", ""}};
    MessageBoxes realBoxes;
    form = std::make_unique<TMainForm>(StationServices{printer, realBoxes, folder.Path(), &locationUi, &diagnostics,
                                                       nullptr, folder.Path() + "giornale/"});
    form->show();
    Scan("SPD001");
    ASSERT_EQ(form->ScanState(), 1);

    bool openAfterEnter = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        QTest::keyClicks(box, "SPD002\r8001234567906\r");
        openAfterEnter = box->isVisible();
        QTest::keyClicks(box, "SPD0");                // the reader is still typing when...
        QTest::keyClick(box, Qt::Key_Escape);         // ...the operator closes the box
    });
    Scan("8001234567890"); // no printer chosen: the warning box
    EXPECT_TRUE(openAfterEnter);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    QTest::keyClicks(form->EditBarcode, "02\r");      // the rest of the code, after the box

    EXPECT_EQ(form->ScanState(), 1); // nothing was looked up or classified
    EXPECT_EQ(form->StaticBarcodeSpeed->text(), "SPD001");
    EXPECT_TRUE(form->EditBarcode->text().isEmpty());
    EXPECT_EQ(form->LabelCodiceIgnorato->text(), "Codice letto durante l'avviso, ignorato: SPD002");
    EXPECT_TRUE(LogRows().empty());
    std::vector<std::string> ignored;
    for (const std::string& line : DiagnosticLines())
        if (const auto at = line.find("ignorato: "); at != std::string::npos)
            ignored.push_back(line.substr(at + 10));
    EXPECT_EQ(ignored, (std::vector<std::string>{"SPD002", "8001234567906", "SPD002"}));

    // A scan a moment later is the operator's next one, taken as usual.
    QTest::qWait(HeldKeys::kLineGapMs + 200);
    form->ComboStampante->setCurrentIndex(0);
    QTimer::singleShot(0, [] {
        if (auto* window = dynamic_cast<TMessaggioForm*>(QApplication::activeModalWidget()))
            window->ButtonChiudi->click();
    });
    Scan("8001234567890");
    EXPECT_EQ(form->ScanState(), 0);
    EXPECT_TRUE(form->LabelCodiceIgnorato->text().isEmpty());
    ASSERT_EQ(LogRows().size(), 1u);
    EXPECT_EQ(LogRows()[0][1] + " " + LogRows()[0][3], "SPD001 EanCorretto");
}

TEST_F(RealWindowsStation, DatabaseSearchAsksThroughTheRealBoxesAndServerDialog)
{
    std::ofstream(folder.DatabasePath(), std::ios::binary | std::ios::trunc) << "not a database";
    std::vector<std::string> seen;
    // Answers each modal window as it comes: OK on boxes, Cancel in the server dialog.
    QTimer answerer;
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen.push_back(box->windowTitle().toStdString() + ": " + box->text().toStdString());
            box->button(QMessageBox::Ok)->click();
        } else if (auto* dialog = dynamic_cast<TQuenIn2Form*>(modal)) {
            seen.push_back("Dialog: " + dialog->windowTitle().toStdString());
            dialog->CancelBtn->click();
        }
    });
    answerer.start(10);
    MessageBoxes realBoxes;
    form = std::make_unique<TMainForm>(StationServices{printer, realBoxes, folder.Path(), nullptr, nullptr, nullptr, folder.Path() + "giornale/"});
    answerer.stop();

    EXPECT_EQ(seen, (std::vector<std::string>{"Controllo colli: Non trovato dati.ini", "Dialog: Non trovato dati.ini",
                                              "Controllo colli: Apertura / creazione del database non riuscita!"}));
    EXPECT_FALSE(form->EditBarcode->isEnabled());
}

} // namespace
