#include "MainForm.h"

#include "CaptionFit.h"
#include "DiagnosticLog.h"
#include "HeldKeys.h"
#include "MessageBoxes.h"
#include "ServerWait.h"
#include "StationBatchUi.h"
#include "StationFont.h"
#include "StationLocationUi.h"
#include "Windows1252.h"

#include <dataaccess/Errors.h>
#include <dblocate/DatabaseLocator.h>
#include <dblocate/SettingsFile.h>
#include <parcels/CourierLookup.h>
#include <parcels/ScanLog.h>
#include <parcels/WrongEanBatch.h>
#include <printing/LabelPrinter.h>
#include <printing/PrintPlatform.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <optional>

namespace {

constexpr const char* kCaptionBarcodeSpeed = "Barcode Speed:";
constexpr const char* kCaptionBarcodeEan = "Barcode EAN:";
constexpr const char* kDatabaseFileName = "ARCHIVIOCOLLI.FDB";
constexpr const char* kTemplateFileName = "ETICHETTA.TXT";
// The width of the log's code columns in the project's own schema, used
// until the attached database tells its own.
constexpr std::size_t kDefaultCodeLength = 64;
constexpr int kDefaultWaitSeconds = 10;
constexpr int kMaxWaitSeconds = 600;

// Whole seconds from 1 to most, else the default.
int SecondsSetting(const std::string& text, int fallback, int most)
{
    bool ok = false;
    const int seconds = QString::fromStdString(text).trimmed().toInt(&ok);
    return ok && seconds >= 1 && seconds <= most ? seconds : fallback;
}

QFrame* MakePanel(const char* name, QWidget* parent)
{
    auto* panel = new QFrame(parent);
    panel->setObjectName(QString::fromLatin1(name));
    panel->setFrameShape(QFrame::NoFrame);
    return panel;
}

QLabel* MakeRightLabel(const char* name, const QString& caption, QRect geometry, QWidget* parent)
{
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setGeometry(geometry);
    return label;
}

// A push button that never takes the focus, so a click leaves it where the operator was.
QPushButton* MakeSpeedButton(const char* name, const QString& caption, QRect geometry, QWidget* parent)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setFocusPolicy(Qt::NoFocus);
    button->setAutoDefault(false);
    button->setGeometry(geometry);
    return button;
}

QLineEdit* MakeDisplay(const char* name, QRect geometry, QWidget* parent)
{
    auto* display = new QLineEdit(parent);
    display->setObjectName(QString::fromLatin1(name));
    display->setReadOnly(true);
    display->setFocusPolicy(Qt::NoFocus);
    QPalette palette = display->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    display->setPalette(palette);
    display->setGeometry(geometry);
    return display;
}

// Empties the barcode field and gives the focus back when a scan step ends,
// however it ends.
class ScanCleanup {
public:
    ScanCleanup(QLineEdit* field, QWidget* focusTarget) : field_(field), focusTarget_(focusTarget) {}
    ~ScanCleanup()
    {
        field_->clear();
        focusTarget_->setFocus(Qt::OtherFocusReason);
    }
    ScanCleanup(const ScanCleanup&) = delete;
    ScanCleanup& operator=(const ScanCleanup&) = delete;

    void FocusOn(QWidget* target) { focusTarget_ = target; }

private:
    QLineEdit* field_;
    QWidget* focusTarget_;
};

} // namespace

TMainForm::TMainForm(StationServices services, QWidget* parent)
    : QWidget(parent),
      printPlatform_(services.printPlatform),
      log_(services.log),
      ending_(std::move(services.ending)),
      loggedBoxes_(services.boxes, services.log, [this] { return waitNotice_ && waitNotice_->Closing(); }),
      boxes_(loggedBoxes_),
      programFolder_(std::move(services.programFolder)),
      ownLocationUi_(services.locationUi ? nullptr : std::make_unique<StationLocationUi>(this, boxes_)),
      locationUi_(services.locationUi ? *services.locationUi : *ownLocationUi_),
      transactionColli_(databaseColli_),
      scanTransaction_(databaseColli_),
      courierLookup_(std::make_unique<parcels::CourierLookup>(databaseColli_, scanTransaction_)),
      scanLog_(std::make_unique<parcels::ScanLogWriter>(databaseColli_, scanTransaction_, scanTransaction_,
                                                        [this](const std::string& text) { Note(text); })),
      maxBarcodeSpeed_(kDefaultCodeLength),
      maxEan_(kDefaultCodeLength)
{
    databaseColli_.SetDefaultTransaction(&transactionColli_);
    databaseColli_.SetSQLDialect(3);
    // Lookups see parcels added since; a log row and its commit travel as one
    // request. One transaction for both: a second one would cost a round trip
    // more at every attach.
    scanTransaction_.SetReadCommitted(true);
    scanTransaction_.SetAutoCommit(true);
    BuildLayout();
    waitNotice_ = std::make_unique<ServerWaitNotice>(
        this, LabelAttesa, log_, [this] { return QString::fromStdString(ServerShown()); }, ending_);
    databaseColli_.SetLinkMonitor(waitNotice_.get());
    heldKeys_ = std::make_unique<HeldKeys>(this, [this] { return busy_; });
    settleTimer_ = new QTimer(this);
    connect(settleTimer_, &QTimer::timeout, this, [this] { SettlePendingRow(); });
    {
        const auto idle = MarkBusy();
        FormCreate();
    }
    if (EditBarcode->isEnabled())
        EditBarcode->setFocus(Qt::OtherFocusReason);
    else
        ComboStampante->setFocus(Qt::OtherFocusReason);
    AfterHandler();
}

TMainForm::~TMainForm()
{
    // Ending the transaction on the way out still has its bound, but nothing
    // is painted any more.
    databaseColli_.SetLinkMonitor(nullptr);
}

void TMainForm::BuildLayout()
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("MainForm"));
    setFont(StationFont());
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);

    PanelLeft = MakePanel("PanelLeft", this);
    PanelLeft->setFixedWidth(8);
    PanelRight = MakePanel("PanelRight", this);
    PanelRight->setFixedWidth(8);
    PanelClient = MakePanel("PanelClient", this);
    PanelClient->setMinimumWidth(560);

    auto* rows = new QHBoxLayout(this);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    rows->addWidget(PanelLeft);
    rows->addWidget(PanelClient, 1);
    rows->addWidget(PanelRight);

    PanelTop = MakePanel("PanelTop", PanelClient);
    PanelTop->setFixedHeight(97);
    GroupBox1 = new QGroupBox(QStringLiteral("Ultimo barcode letto"), PanelClient);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setMinimumHeight(109);
    PanelBottom = MakePanel("PanelBottom", PanelClient);
    PanelBottom->setFixedHeight(41);

    auto* columns = new QVBoxLayout(PanelClient);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);
    columns->addWidget(PanelTop);
    columns->addWidget(GroupBox1, 1);
    columns->addWidget(PanelBottom);

    Label2 = MakeRightLabel("Label2", QStringLiteral("Selezione stampante termica:"), QRect(0, 11, 141, 13), PanelTop);
    ComboStampante = new QComboBox(PanelTop);
    ComboStampante->setObjectName(QStringLiteral("ComboStampante"));
    ComboStampante->setEditable(false);
    ComboStampante->setGeometry(144, 8, 401, 21);
    CheckCopiaSuClipBoard = new QCheckBox(QStringLiteral("Copia stampa su clipboard"), PanelTop);
    CheckCopiaSuClipBoard->setObjectName(QStringLiteral("CheckCopiaSuClipBoard"));
    CheckCopiaSuClipBoard->setChecked(false);
    CheckCopiaSuClipBoard->setGeometry(144, 32, 145, 17);
    ButtonHelp = MakeSpeedButton("ButtonHelp", QStringLiteral("?"), QRect(518, 30, 25, 25), PanelTop);
    LabelBarcode = MakeRightLabel("LabelBarcode", QString::fromLatin1(kCaptionBarcodeSpeed), QRect(0, 67, 141, 13), PanelTop);
    EditBarcode = new QLineEdit(PanelTop);
    EditBarcode->setObjectName(QStringLiteral("EditBarcode"));
    EditBarcode->setGeometry(144, 64, 250, 21);
    EditBarcode->installEventFilter(this);

    Label3 = MakeRightLabel("Label3", QString::fromLatin1(kCaptionBarcodeSpeed), QRect(56, 35, 86, 13), GroupBox1);
    StaticBarcodeSpeed = MakeDisplay("StaticBarcodeSpeed", QRect(144, 32, 250, 21), GroupBox1);
    Label4 = MakeRightLabel("Label4", QStringLiteral("EAN:"), QRect(56, 67, 86, 13), GroupBox1);
    StaticEAN = MakeDisplay("StaticEAN", QRect(144, 64, 250, 21), GroupBox1);

    PanelPulsanti = MakePanel("PanelPulsanti", PanelBottom);
    PanelPulsanti->setFixedWidth(230);
    auto* bottom = new QHBoxLayout(PanelBottom);
    bottom->setContentsMargins(0, 0, 0, 0);
    bottom->setSpacing(0);
    bottom->addStretch(1);
    bottom->addWidget(PanelPulsanti);
    ButtonIntegrazioneEANErrati = MakeSpeedButton("ButtonIntegrazioneEANErrati", QStringLiteral("Integrazione EAN errati"),
                                                  QRect(0, 8, 130, 25), PanelPulsanti);
    ButtonChiudi = MakeSpeedButton("ButtonChiudi", QStringLiteral("Chiudi"), QRect(130, 8, 100, 25), PanelPulsanti);
    LabelAttesa = new QLabel(PanelBottom);
    LabelAttesa->setObjectName(QStringLiteral("LabelAttesa"));
    LabelAttesa->setStyleSheet(QStringLiteral("color: #b00000; font-weight: bold"));
    LabelAttesa->setGeometry(0, 8, 320, 25);
    LabelAttesa->hide();

    setTabOrder(EditBarcode, ComboStampante);
    setTabOrder(ComboStampante, CheckCopiaSuClipBoard);

    // While a scan or the batch waits for the server only "Chiudi" is taken.
    connect(ButtonHelp, &QPushButton::clicked, this, [this] {
        if (!busy_)
            Guarded([this] { ButtonHelpClick(); });
    });
    connect(ButtonChiudi, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonChiudiClick(); }); });
    connect(ButtonIntegrazioneEANErrati, &QPushButton::clicked, this, [this] {
        if (busy_)
            return;
        Guarded([this] { ButtonIntegrazioneEANErratiClick(); });
        AfterHandler();
    });

    FitCaptions(this);
    // The barcode caption changes with the scan step: one size for both texts.
    FitCaption(LabelBarcode, {QString::fromLatin1(kCaptionBarcodeSpeed), QString::fromLatin1(kCaptionBarcodeEan)});

    resize(576, 247);
    CenterOnDesktop();
}

void TMainForm::CenterOnDesktop()
{
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

template <class Handler> void TMainForm::Guarded(Handler&& handler)
{
    try {
        handler();
    } catch (...) {
        ReportUnhandledError(boxes_, this, std::current_exception());
    }
}

void TMainForm::FormCreate()
{
    // A failed printer enumeration still lets the database and the template be
    // set up, so the barcode field never works on a connection that was never opened.
    try {
        const printing::PrinterList printers = printing::FillPrinterList(printPlatform_);
        for (const std::string& device : printers.devices)
            ComboStampante->addItem(QString::fromStdString(device));
        ComboStampante->setCurrentIndex(printers.selectedIndex);
    } catch (...) {
        ReportUnhandledError(boxes_, this, std::current_exception());
    }

    try {
        ReadWaitBound();
        if (!dblocate::LocateAndOpenDatabase(databaseColli_, programFolder_, kDatabaseFileName, "", "", locationUi_))
            EditBarcode->setEnabled(false);
        else
            ReadCodeWidths();

        templatePath_ = programFolder_;
        if (!templatePath_.empty() && templatePath_.back() != '/' && templatePath_.back() != '\\')
            templatePath_ += '/';
        templatePath_ += kTemplateFileName;
        if (!QFileInfo(QString::fromStdString(templatePath_)).isFile()) {
            boxes_.Error(this, QStringLiteral("File report\r\"") + QString::fromStdString(templatePath_) +
                                   QStringLiteral("\"\rnon trovato"));
            EditBarcode->setEnabled(false);
        }
        scanState_ = 0;
    } catch (...) {
        if (!databaseColli_.Connected())
            EditBarcode->setEnabled(false);
        ReportUnhandledError(boxes_, this, std::current_exception());
    }
}

void TMainForm::ReadWaitBound()
{
    const dblocate::SettingsFile settings(programFolder_ + "dati.ini");
    const int bound = SecondsSetting(settings.ReadString("CONFIG", "Attesa Server"), kDefaultWaitSeconds,
                                     kMaxWaitSeconds);
    using dataaccess::LongWork;
    longWorkSeconds_ = std::max(bound, SecondsSetting(settings.ReadString("CONFIG", "Attesa Elaborazioni"),
                                                      LongWork::kDefaultSeconds, LongWork::kMostSeconds));
    databaseColli_.SetWaitBound(bound);
    // While the server stays away each try may wait the bound: at most a
    // third of the idle time goes to waiting.
    settleTimer_->start(std::max(2 * bound, 5) * 1000);
    // Locked rows make the server itself wait: that wait ends first, with a
    // lock conflict, so the call is not taken for a dead link.
    transactionColli_.SetLockTimeout(std::max(1, bound * 2 / 3));
    scanTransaction_.SetLockTimeout(std::max(1, bound * 2 / 3));
}

void TMainForm::SettlePendingRow()
{
    if (busy_ || !scanLog_->Pending() || waitNotice_->Closing())
        return;
    {
        const auto idle = MarkBusy();
        try {
            const dataaccess::WaitScope wait(databaseColli_);
            scanLog_->Settle(); // notes the outcome, or why the server could not be asked
        } catch (const std::exception& error) {
            Note(std::string("Verifica della riga del log rimandata: ") + error.what());
        }
    }
    AfterHandler();
}

void TMainForm::Note(const std::string& text) const
{
    if (log_)
        log_->Write(QString::fromStdString(text));
}

bool TMainForm::LogRowPending() const { return scanLog_->Pending(); }

std::string TMainForm::ServerShown() const
{
    const std::string server = dataaccess::ServerOf(databaseColli_.DatabaseName());
    return server.empty() ? databaseColli_.DatabaseName() : server;
}

std::unique_ptr<bool, void (*)(bool*)> TMainForm::MarkBusy()
{
    busy_ = true;
    return {&busy_, [](bool* busy) { *busy = false; }};
}

void TMainForm::AfterHandler()
{
    if (busy_)
        return; // the handler that runs hands them on when it ends
    if (waitNotice_->Closing())
        heldKeys_->Drop();
    else
        heldKeys_->Replay(EditBarcode);
}

void TMainForm::CloseDatabase(int seconds)
{
    databaseColli_.SetWaitBound(seconds);
    databaseColli_.SetConnected(false);
}

void TMainForm::ReadCodeWidths()
{
    // One round trip after the transaction's start, and the attachment's own
    // facts come with it. The lookup and the log insert are prepared at their
    // first use: preparing them here would cost the start-up a round trip each.
    dataaccess::WaitScope wait(databaseColli_);
    try {
        const parcels::CodeWidths widths = parcels::ReadScanLogCodeWidths(databaseColli_, scanTransaction_);
        if (widths.barcodeSpeed > 0)
            maxBarcodeSpeed_ = static_cast<std::size_t>(widths.barcodeSpeed);
        if (widths.codiceEanLetto > 0)
            maxEan_ = static_cast<std::size_t>(widths.codiceEanLetto);
    } catch (const std::exception& error) {
        // The project's own widths hold.
        Note(std::string("Larghezza dei codici non letta dal database: ") + error.what());
    }
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == EditBarcode && event->type() == QEvent::KeyRelease && !busy_) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (!key->isAutoRepeat()) {
            Guarded([&] { EditBarcodeKeyUp(watched, key->key(), key->modifiers()); });
            AfterHandler();
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TMainForm::EditBarcodeKeyUp(QObject*, int key, Qt::KeyboardModifiers)
{
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return;
    const QString text = EditBarcode->text();
    if (text.isEmpty())
        return;

    ScanCleanup cleanup(EditBarcode, EditBarcode);
    const auto idle = MarkBusy();

    const std::optional<std::string> code = ToWindows1252(text);
    if (!code) {
        boxes_.Warning(this, QStringLiteral("Il codice letto contiene caratteri non validi per l'archivio:\r") + text +
                                 QStringLiteral("\rScansione ignorata: ripetere la lettura."));
        return;
    }
    const std::size_t maxLength = scanState_ == 1 ? maxEan_ : maxBarcodeSpeed_;
    if (code->size() > maxLength) {
        boxes_.Warning(this, QStringLiteral("Il codice letto \u00e8 troppo lungo per l'archivio (%1 caratteri, al massimo %2):\r")
                                     .arg(code->size())
                                     .arg(maxLength)
                                 + text.left(int(std::min<std::size_t>(maxLength, 64))) + QStringLiteral("...")
                                 + QStringLiteral("\rScansione ignorata: ripetere la lettura."));
        return;
    }

    if (scanState_ == 0) {
        LookupBarcodeSpeed(*code);
    } else if (scanState_ == 1) {
        if (ComboStampante->currentText().isEmpty()) {
            boxes_.Warning(this, QStringLiteral("Selezionare una stampante"));
            ComboStampante->setFocus(Qt::OtherFocusReason);
            cleanup.FocusOn(ComboStampante);
            return;
        }
        CheckEAN(*code);
    }
}

void TMainForm::LookupBarcodeSpeed(const std::string& code)
{
    currentBarcodeSpeed_ = code;
    StaticBarcodeSpeed->setText(FromWindows1252(currentBarcodeSpeed_));
    StaticEAN->clear();

    std::optional<parcels::Parcel> parcel;
    try {
        // One bound and one attach for the whole lookup, however the link fails.
        const dataaccess::WaitScope wait(databaseColli_);
        parcel = courierLookup_->Find(currentBarcodeSpeed_);
        // The server answers again: a log row left without an outcome is settled now.
        if (scanLog_->Pending())
            scanLog_->Settle();
    } catch (const dataaccess::ConnectionLostError& error) {
        throw dataaccess::ConnectionLostError("Server \"" + ServerShown() +
                                              "\" non raggiungibile: la scansione non \xC3\xA8 stata registrata.\r" +
                                              error.what());
    }

    if (!parcel) {
        ShowOutcome(QStringLiteral("codice speed sconosciuto"), 2);
        WriteScanLog("", parcels::kBarCodeSpeedSconosciuto);
        scanState_ = 0;
        SetBarcodeCaption(kCaptionBarcodeSpeed);
    } else {
        currentCodiceEAN_ = parcel->codiceEan;
        currentCodiceEANErrato_ = parcel->codiceEanErrato;
        scanState_ = 1;
        SetBarcodeCaption(kCaptionBarcodeEan);
    }
}

void TMainForm::CheckEAN(const std::string& eanRead)
{
    StaticEAN->setText(FromWindows1252(eanRead));

    if (eanRead != currentCodiceEAN_ && eanRead != currentCodiceEANErrato_) {
        ShowOutcome(QStringLiteral("codice EAN sconosciuto"), 2);
        WriteScanLog(eanRead, parcels::kCodiceEanSconosciuto);
        scanState_ = 1;
        SetBarcodeCaption(kCaptionBarcodeEan);
    } else if (eanRead != currentCodiceEAN_) {
        ShowOutcome(QStringLiteral("EAN ERRATO: RISTAMPA"), 1);
        PrintLabel();
        WriteScanLog(eanRead, parcels::kEanErrato);
        scanState_ = 0;
        SetBarcodeCaption(kCaptionBarcodeSpeed);
    } else {
        ShowOutcome(QStringLiteral("EAN OK"), 0);
        WriteScanLog(eanRead, parcels::kEanCorretto);
        scanState_ = 0;
        SetBarcodeCaption(kCaptionBarcodeSpeed);
    }
}

void TMainForm::ShowOutcome(const QString& text, std::uint8_t kind)
{
    boxes_.Outcome(this, kind, text);
}

bool TMainForm::WriteScanLog(const std::string& eanRead, const std::string& status)
{
    const dataaccess::WaitScope wait(databaseColli_);
    const parcels::LogResult result = scanLog_->Write(currentBarcodeSpeed_, eanRead, status);
    switch (result.outcome) {
    case parcels::LogOutcome::Recorded:
        return true;
    case parcels::LogOutcome::NotRecorded:
        boxes_.Error(this, QString::fromStdString(result.message));
        return false;
    case parcels::LogOutcome::NotYetKnown:
        boxes_.Warning(this, QString::fromStdString(result.message));
        return false;
    }
    return false;
}

void TMainForm::PrintLabel()
{
    printing::LabelJob job;
    job.templatePath = templatePath_;
    job.selectedDevice = ComboStampante->currentText().toStdString();
    job.codiceEan = currentCodiceEAN_;
    job.copyToClipboard = CheckCopiaSuClipBoard->isChecked();
    bool declined = false;
    const QString what = QStringLiteral("Etichetta EAN %1 su \"%2\"")
                             .arg(FromWindows1252(currentCodiceEAN_), ComboStampante->currentText());
    try {
        printing::PrintLabel(printPlatform_, job, [this, &declined](const std::string& text) {
            declined = true;
            boxes_.Warning(this, QString::fromStdString(text));
        });
    } catch (const std::exception& error) {
        if (log_)
            log_->Write(what + QStringLiteral(": stampa non riuscita: ") + QString::fromStdString(error.what()));
        throw;
    }
    if (log_)
        log_->Write(what + (declined ? QStringLiteral(": non stampata") : QStringLiteral(": inviata alla stampante")));
}

void TMainForm::SetBarcodeCaption(const char* caption)
{
    LabelBarcode->setText(QString::fromLatin1(caption));
    LabelBarcode->repaint();
}

void TMainForm::ButtonHelpClick()
{
    boxes_.Information(this, QStringLiteral("La stampa si appoggia al report \"ETICHETTA.TXT\" e riconosce le seguenti variabili:\r"
                                            "- <CODICEEAN> (contenuto completo del campo)\r"
                                            "- <CODICEEAN_SHORT> (primi 12 caratteri del campo)"));
}

void TMainForm::ButtonChiudiClick()
{
    close();
}

void TMainForm::ButtonIntegrazioneEANErratiClick()
{
    const auto idle = MarkBusy();
    StationBatchUi ui(this, boxes_);
    const dataaccess::LongWork longWork(databaseColli_, longWorkSeconds_);
    waitNotice_->SetStopAsked([&ui] { return ui.StopAsked(); });
    const std::unique_ptr<ServerWaitNotice, void (*)(ServerWaitNotice*)> stopOff(
        waitNotice_.get(), [](ServerWaitNotice* notice) { notice->SetStopAsked({}); });
    parcels::RunWrongEanBatch(databaseColli_, transactionColli_, ui);
}

std::string ProgramFolder()
{
    // The system's own separators: on Windows the database names are built
    // from "C:\Colli\" or "\\SRV\D\Colli\".
    return NativeFolder(QCoreApplication::applicationDirPath());
}

std::string NativeFolder(QString dirPath)
{
    // The root of a drive ("P:/") already ends with its separator.
    if (!dirPath.endsWith(u'/'))
        dirPath += u'/';
    return QDir::toNativeSeparators(dirPath).toStdString();
}
