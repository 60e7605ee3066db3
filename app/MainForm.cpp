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
#include <parcels/CopyKeeper.h>
#include <parcels/CourierLookup.h>
#include <parcels/LogForwarder.h>
#include <parcels/ParcelCopy.h>
#include <parcels/ScanJournal.h>
#include <parcels/ScanLog.h>
#include <parcels/WrongEanBatch.h>
#include <printing/LabelPrinter.h>
#include <printing/PrintPlatform.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
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
#include <QPointer>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <optional>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

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
// An idle station ends its read this long after its last step (at most
// twice the wait bound).
constexpr int kIdleEndSeconds = 5;

constexpr int kDefaultCopyRefreshSeconds = 60;
constexpr int kMostCopyRefreshSeconds = 86400;
// A copy older than this is still used, and its age is said.
constexpr qint64 kStaleCopySeconds = 86400;

// Whole seconds from least to most, else the default.
int SecondsSetting(const std::string& text, int fallback, int least, int most)
{
    bool ok = false;
    const int seconds = QString::fromStdString(text).trimmed().toInt(&ok);
    return ok && seconds >= least && seconds <= most ? seconds : fallback;
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
      journalFolder_(std::move(services.journalFolder)),
      maxBarcodeSpeed_(kDefaultCodeLength),
      maxEan_(kDefaultCodeLength)
{
    databaseColli_.SetDefaultTransaction(&transactionColli_);
    databaseColli_.SetSQLDialect(3);
    // Lookups see parcels added since, and only read: the log rows travel on
    // the forwarder's own attachment.
    scanTransaction_.SetReadCommitted(true);
    scanTransaction_.SetReadOnly(true);
    BuildLayout();
    waitNotice_ = std::make_unique<ServerWaitNotice>(
        this, LabelAttesa, log_, [this] { return QString::fromStdString(ServerShown()); }, ending_);
    databaseColli_.SetLinkMonitor(waitNotice_.get());
    heldKeys_ = std::make_unique<HeldKeys>(this, [this] { return busy_; },
                                           [this](const QString& code) { IgnoredCode(code); });
    idleTimer_ = new QTimer(this);
    idleTimer_->setSingleShot(true);
    connect(idleTimer_, &QTimer::timeout, this, [this] {
        if (!busy_ && scanTransaction_.Active())
            Work([this] { EndIdleRead(); });
    });
    Work([this] {
        FormCreate();
        if (EditBarcode->isEnabled())
            EditBarcode->setFocus(Qt::OtherFocusReason);
        else
            ComboStampante->setFocus(Qt::OtherFocusReason);
    });
}

TMainForm::~TMainForm()
{
    copyKeeper_.reset();
    forwarder_.reset();
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
    LabelCopia = new QLabel(PanelClient);
    LabelCopia->setObjectName(QStringLiteral("LabelCopia"));
    LabelCopia->setTextFormat(Qt::PlainText);
    LabelCopia->setAutoFillBackground(true);
    LabelCopia->setStyleSheet(QStringLiteral("color: #ffffff; background: #b05000; font-weight: bold"));
    LabelCopia->setAlignment(Qt::AlignCenter);
    LabelCopia->setFixedHeight(22);
    LabelCopia->hide();

    auto* columns = new QVBoxLayout(PanelClient);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);
    columns->addWidget(PanelTop);
    columns->addWidget(GroupBox1, 1);
    columns->addWidget(LabelCopia);
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
    LabelCodiceIgnorato = new QLabel(GroupBox1);
    LabelCodiceIgnorato->setObjectName(QStringLiteral("LabelCodiceIgnorato"));
    LabelCodiceIgnorato->setTextFormat(Qt::PlainText);
    LabelCodiceIgnorato->setStyleSheet(QStringLiteral("color: #b00000"));
    LabelCodiceIgnorato->setGeometry(8, 90, 540, 15);
    LabelCoda = new QLabel(PanelBottom);
    LabelCoda->setObjectName(QStringLiteral("LabelCoda"));
    LabelCoda->setTextFormat(Qt::PlainText);
    LabelCoda->setGeometry(0, 8, 320, 25);
    LabelAttesa = new QLabel(PanelBottom);
    LabelAttesa->setObjectName(QStringLiteral("LabelAttesa"));
    // Over the queue's line while a call waits.
    LabelAttesa->setAutoFillBackground(true);
    LabelAttesa->setStyleSheet(QStringLiteral("color: #b00000; font-weight: bold"));
    LabelAttesa->setGeometry(0, 8, 320, 25);
    LabelAttesa->hide();

    setTabOrder(EditBarcode, ComboStampante);
    setTabOrder(ComboStampante, CheckCopiaSuClipBoard);

    // While a scan or the batch waits for the server only "Chiudi" is taken.
    connect(ButtonHelp, &QPushButton::clicked, this, [this] {
        if (!busy_)
            Work([this] { ButtonHelpClick(); });
    });
    connect(ButtonChiudi, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonChiudiClick(); }); });
    connect(ButtonIntegrazioneEANErrati, &QPushButton::clicked, this, [this] {
        if (!busy_)
            Work([this] { ButtonIntegrazioneEANErratiClick(); });
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

template <class Handler> void TMainForm::Work(Handler&& handler)
{
    const std::size_t asked = loggedBoxes_.Asked();
    {
        const auto idle = MarkBusy();
        Guarded(handler); // its error box shows while the station is still busy
    }
    AfterHandler(loggedBoxes_.Asked() != asked);
    if (!busy_ && !waitNotice_->Closing())
        idleTimer_->start();
}

template <class Handler> void TMainForm::Guarded(Handler&& handler)
{
    try {
        handler();
    } catch (...) {
        ReportUnhandledError(boxes_, this, std::current_exception());
    }
}

// A row of the journal while its outcome is given: released for the server
// once it is complete, taken back when the step fails before that.
class TMainForm::OutcomeRow {
public:
    OutcomeRow(TMainForm& form, std::string ticket) : form_(form), ticket_(std::move(ticket)) {}
    ~OutcomeRow()
    {
        if (released_ || !form_.journal_)
            return;
        try {
            form_.journal_->Discard(ticket_);
        } catch (const std::exception& error) {
            // Still held: the next start sends it, as after a kill.
            form_.Note(std::string("Giornale: riga di una scansione non completata non tolta: ") + error.what());
        }
    }
    OutcomeRow(const OutcomeRow&) = delete;
    OutcomeRow& operator=(const OutcomeRow&) = delete;

    void Release()
    {
        released_ = true;
        try {
            form_.journal_->Release(ticket_);
        } catch (const std::exception& error) {
            form_.Note(std::string("Giornale: riga rilasciata al prossimo avvio: ") + error.what());
        }
        if (form_.forwarder_)
            form_.forwarder_->Wake();
        form_.ShowScansWaiting();
    }

private:
    TMainForm& form_;
    std::string ticket_;
    bool released_ = false;
};

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
        OpenJournal();
        bool onCopy = false;
        const bool opened = dblocate::LocateAndOpenDatabase(
            databaseColli_, programFolder_, kDatabaseFileName, "", "", locationUi_,
            [this, &onCopy](const std::string& name) { return onCopy = CopyFilledFrom(name); });
        if (opened) {
            ReadCodeWidths();
            // An account without its role would answer every scan with a refusal.
            const std::string missingRole =
                dblocate::MissingRoleText(databaseColli_, scanTransaction_, programFolder_);
            if (!missingRole.empty()) {
                boxes_.Error(this, QString::fromStdString(missingRole));
                EditBarcode->setEnabled(false);
            }
        }
        if (opened || onCopy) {
            StartForwarder();
            StartCopyKeeper();
        } else {
            EditBarcode->setEnabled(false);
        }
        if (onCopy)
            CheckOnCopy("il server non \xC3\xA8 raggiungibile all'avvio");
        ShowScansWaiting();

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
    const int bound = SecondsSetting(settings.ReadString("CONFIG", "Attesa Server"), kDefaultWaitSeconds, 1,
                                     kMaxWaitSeconds);
    using dataaccess::LongWork;
    longWorkSeconds_ = std::max(bound, SecondsSetting(settings.ReadString("CONFIG", "Attesa Elaborazioni"),
                                                      LongWork::kDefaultSeconds, 1, LongWork::kMostSeconds));
    databaseColli_.SetWaitBound(bound);
    // 0 turns the copy off.
    copyRefreshSeconds_ = SecondsSetting(settings.ReadString("CONFIG", "Aggiornamento Copia"),
                                         kDefaultCopyRefreshSeconds, 0, kMostCopyRefreshSeconds);
    idleTimer_->setInterval(std::min(kIdleEndSeconds, 2 * bound) * 1000);
    // Locked rows make the server itself wait: that wait ends first, with a
    // lock conflict, so the call is not taken for a dead link.
    transactionColli_.SetLockTimeout(std::max(1, bound * 2 / 3));
    scanTransaction_.SetLockTimeout(std::max(1, bound * 2 / 3));
}

void TMainForm::OpenJournal()
{
    if (journalFolder_.empty()) {
        // A site may put it elsewhere (a terminal server's shared folder).
        const dblocate::SettingsFile settings(programFolder_ + "dati.ini");
        const std::string chosen = settings.ReadString("CONFIG", "Cartella Giornale");
        journalFolder_ = chosen.empty() ? StationJournalFolder(programFolder_)
                                        : parcels::JournalFolder({chosen});
    } else {
        journalFolder_ = parcels::JournalFolder({journalFolder_});
    }
    if (journalFolder_.empty()) {
        EditBarcode->setEnabled(false);
        boxes_.Error(this, QStringLiteral("Nessuna cartella della postazione pu\u00f2 accogliere il giornale delle "
                                          "scansioni: le scansioni non possono essere accettate."));
        return;
    }
    journalPath_ = QDir(QString::fromStdString(journalFolder_))
                       .filePath(QString::fromLatin1(parcels::ScanJournal::kFileName))
                       .toStdString();
    try {
        journal_ = std::make_unique<parcels::ScanJournal>(journalPath_);
        // Outcomes shown by a run that ended before it released them.
        if (const long long left = journal_->ReleaseLeftOver(); left > 0)
            Note("Giornale: " + std::to_string(left) + " scansioni lasciate da un'esecuzione interrotta, da inviare");
    } catch (const parcels::JournalError& error) {
        journal_.reset();
        EditBarcode->setEnabled(false);
        boxes_.Error(this, QString::fromStdString(error.what()) +
                               QStringLiteral("\rLe scansioni non possono essere accettate."));
    }
}

parcels::StationLink TMainForm::BackgroundLink() const
{
    parcels::StationLink link;
    link.databaseName = databaseColli_.DatabaseName();
    // Started on the copy, the window has not attached yet: the lines it will attach with.
    link.params = databaseColli_.AttachedParams().empty() ? databaseColli_.Params() : databaseColli_.AttachedParams();
    link.waitBound = databaseColli_.WaitBound();
    link.lockTimeout = std::max(1, link.waitBound * 2 / 3);
    link.idleEndSeconds = std::min(kIdleEndSeconds, 2 * link.waitBound);
    return link;
}

template <class Event>
std::function<void(const Event&)> TMainForm::HeardOnWindowThread(void (TMainForm::*handler)(const Event&))
{
    // Told on the worker's thread: the window hears of it in its own, while it lives.
    const QPointer<TMainForm> self(this);
    return [self, handler](const Event& event) {
        QMetaObject::invokeMethod(
            self.data(), [self, handler, event] {
                if (self)
                    (self.data()->*handler)(event);
            },
            Qt::QueuedConnection);
    };
}

dataaccess::ConnectionLostError TMainForm::NotRecorded(const std::string& reason) const
{
    return dataaccess::ConnectionLostError("Server \"" + ServerShown() +
                                           "\" non raggiungibile: la scansione non \xC3\xA8 stata registrata.\r" +
                                           reason);
}

void TMainForm::StartForwarder()
{
    if (!journal_)
        return;
    forwarder_ = std::make_unique<parcels::LogForwarder>(journalPath_, BackgroundLink(),
                                                         HeardOnWindowThread(&TMainForm::OnForwardEvent));
    const parcels::JournalCounts counts = ScansWaiting();
    if (counts.otherDatabases > 0)
        Note("Giornale: " + std::to_string(counts.otherDatabases) +
             " scansioni sono per un altro database e restano nel giornale");
}

void TMainForm::OnForwardEvent(const parcels::ForwardEvent& event)
{
    using Kind = parcels::ForwardEvent::Kind;
    const std::string what = parcels::Described(event.row);
    switch (event.kind) {
    case Kind::Forwarded:
        break;
    case Kind::AlreadyRecorded:
        Note("Giornale: la " + what + " era gi\xC3\xA0 registrata" +
             (event.id ? " con ID " + std::to_string(event.id) : std::string()));
        break;
    case Kind::Refused:
        Note("Giornale: la " + what + " \xC3\xA8 stata rifiutata dal server e resta nel giornale: " + event.reason);
        break;
    case Kind::Unreachable:
        Note("Giornale: server non raggiungibile, le scansioni restano sulla postazione: " + event.reason);
        CheckOnCopy(event.reason);
        break;
    case Kind::Reachable:
        Note("Giornale: il server risponde di nuovo, invio delle scansioni in attesa");
        ServerAnswers();
        break;
    case Kind::Note:
        Note(event.reason);
        break;
    }
    ShowScansWaiting();
}

void TMainForm::StartCopyKeeper()
{
    if (!journal_ || copyRefreshSeconds_ == 0)
        return;
    try {
        // The journal's own file: the copy goes wherever the journal may.
        lookupCopy_ = std::make_unique<parcels::ParcelCopy>(journalPath_);
        const parcels::CopyState state = lookupCopy_->State();
        if (state.filled) {
            copyDatabase_ = state.database;
            copyRefreshedAt_ = state.refreshedAt;
        }
    } catch (const parcels::CopyStoreError& error) {
        lookupCopy_.reset();
        Note(error.what());
        return;
    }
    copyKeeper_ = std::make_unique<parcels::CopyKeeper>(journalPath_, BackgroundLink(), copyRefreshSeconds_,
                                                        HeardOnWindowThread(&TMainForm::OnCopyEvent));
}

void TMainForm::OnCopyEvent(const parcels::CopyEvent& event)
{
    using Kind = parcels::CopyEvent::Kind;
    switch (event.kind) {
    case Kind::Ready:
        if (copyDatabase_.empty())
            Note("Copia dei colli pronta (" + event.state.refreshedAt + ")");
        copyDatabase_ = event.state.database;
        copyRefreshedAt_ = event.state.refreshedAt;
        ServerAnswers();
        break;
    case Kind::Unavailable:
        Note(event.reason + " (eseguire colli-admin init)");
        break;
    case Kind::Unreachable:
        Note("Copia dei colli: server non raggiungibile: " + event.reason);
        CheckOnCopy(event.reason);
        break;
    case Kind::Reachable:
        Note("Copia dei colli: il server risponde di nuovo");
        ServerAnswers();
        break;
    case Kind::Note:
        Note(event.reason);
        break;
    }
    ShowCopyNotice();
}

bool TMainForm::CopyFilledFrom(const std::string& databaseName) const
{
    if (!journal_ || copyRefreshSeconds_ == 0)
        return false;
    try {
        const parcels::CopyState state = parcels::ParcelCopy(journalPath_).State();
        return state.filled && state.database == databaseName;
    } catch (const parcels::CopyStoreError& error) {
        Note(error.what());
        return false;
    }
}

void TMainForm::AttachIfNeverAttached()
{
    // Started on the copy: the first call that finds the server attaches,
    // and reads what the start-up would have read.
    if (databaseColli_.Connected() || !databaseColli_.AttachedParams().empty() || databaseColli_.DatabaseName().empty())
        return;
    databaseColli_.SetConnected(true);
    ReadCodeWidths();
}

bool TMainForm::CopyUsable() const
{
    return lookupCopy_ && !copyDatabase_.empty() && copyDatabase_ == databaseColli_.DatabaseName();
}

bool TMainForm::CheckOnCopy(const std::string& reason)
{
    if (!CopyUsable())
        return false;
    if (!offline_)
        Note("Server non raggiungibile: le scansioni sono controllate sulla copia dei colli delle " +
             copyRefreshedAt_ + " [" + reason + "]");
    offline_ = true;
    // It looks for the server until it answers, and tells.
    if (copyKeeper_)
        copyKeeper_->Watch();
    ShowCopyNotice();
    return true;
}

void TMainForm::ServerAnswers()
{
    if (!offline_)
        return;
    offline_ = false;
    Note("Il server risponde di nuovo: le scansioni sono controllate sul server");
    if (forwarder_)
        forwarder_->Wake();
    ShowCopyNotice();
}

std::optional<parcels::Parcel> TMainForm::FindInCopy(const std::string& code)
{
    try {
        std::optional<parcels::Parcel> parcel = lookupCopy_->Find(code);
        decidedFromCopy_ = true;
        return parcel;
    } catch (const parcels::CopyStoreError& error) {
        throw NotRecorded(error.what());
    }
}

void TMainForm::ShowCopyNotice()
{
    if (!offline_) {
        LabelCopia->hide();
        return;
    }
    LabelCopia->setText(QStringLiteral("Server non raggiungibile: controllo sulla copia dei colli ") +
                        CopyTimeShown(copyRefreshedAt_, QDateTime::currentDateTime()));
    LabelCopia->show();
}

parcels::JournalCounts TMainForm::ScansWaiting() const
{
    if (!journal_)
        return {};
    try {
        return journal_->Count(databaseColli_.DatabaseName());
    } catch (const parcels::JournalError& error) {
        Note(error.what());
        return {};
    }
}

void TMainForm::ShowScansWaiting()
{
    const parcels::JournalCounts counts = ScansWaiting();
    QStringList parts;
    if (counts.waiting > 0)
        parts << (counts.waiting == 1 ? QStringLiteral("1 scansione in attesa del server")
                                      : QStringLiteral("%1 scansioni in attesa del server").arg(counts.waiting));
    if (counts.refused > 0)
        parts << (counts.refused == 1 ? QStringLiteral("1 scansione rifiutata dal server (vedere diagnostica.log)")
                                      : QStringLiteral("%1 scansioni rifiutate dal server (vedere diagnostica.log)")
                                            .arg(counts.refused));
    LabelCoda->setText(parts.join(QStringLiteral("; ")));
    LabelCoda->setStyleSheet(counts.refused > 0 ? QStringLiteral("color: #b00000") : QString());
}

void TMainForm::IgnoredCode(const QString& code)
{
    const QString text = QStringLiteral("Codice letto durante l'avviso, ignorato: ") + code;
    LabelCodiceIgnorato->setText(text);
    if (log_)
        log_->Write(text);
}

void TMainForm::EndIdleRead()
{
    if (!scanTransaction_.Active() || waitNotice_->Closing())
        return;
    try {
        const dataaccess::WaitScope wait(databaseColli_);
        scanTransaction_.Commit();
    } catch (const std::exception& error) {
        // A lost link has ended it as well.
        Note(std::string("Fine della lettura inattiva: ") + error.what());
    }
}

void TMainForm::Note(const std::string& text) const
{
    if (log_)
        log_->Write(QString::fromStdString(text));
}

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

void TMainForm::AfterHandler(bool interrupted)
{
    if (busy_)
        return; // the handler that runs hands them on when it ends
    if (waitNotice_->Closing())
        heldKeys_->Forget();
    else if (interrupted)
        heldKeys_->DropLines();
    else
        heldKeys_->Replay(EditBarcode);
}

void TMainForm::CloseDatabase(int seconds)
{
    idleTimer_->stop();
    copyKeeper_.reset();
    // Rows not yet sent stay in the journal for the next start.
    forwarder_.reset();
    databaseColli_.SetWaitBound(seconds);
    // Only the batch works in this transaction: one left open was cut short,
    // and nothing of it may be committed.
    if (!databaseColli_.CallOut())
        transactionColli_.SetActive(false);
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
        if (!key->isAutoRepeat())
            Work([&] { EditBarcodeKeyUp(watched, key->key(), key->modifiers()); });
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
    LabelCodiceIgnorato->clear();

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
    decidedFromCopy_ = false;
    if (offline_ && CopyUsable()) {
        // Known away: answered at once, while the copy's keeper looks for the server.
        parcel = FindInCopy(currentBarcodeSpeed_);
    } else {
        try {
            // One bound and one attach for the whole lookup, however the link fails.
            const dataaccess::WaitScope wait(databaseColli_);
            AttachIfNeverAttached();
            parcel = courierLookup_->Find(currentBarcodeSpeed_);
        } catch (const dataaccess::DatabaseError& error) {
            const bool unreachable = dynamic_cast<const dataaccess::ConnectionLostError*>(&error) != nullptr ||
                                     error.refusal() == dataaccess::AttachRefusal::NoConnection;
            if (!unreachable)
                throw;
            const bool closing = dynamic_cast<const dataaccess::WaitCancelledError*>(&error) != nullptr;
            if (closing || !CheckOnCopy(error.what()))
                throw NotRecorded(error.what());
            parcel = FindInCopy(currentBarcodeSpeed_);
        }
    }

    if (!parcel) {
        const std::unique_ptr<OutcomeRow> row = WriteScanLog("", parcels::kBarCodeSpeedSconosciuto);
        if (!row)
            return;
        ShowOutcome(QStringLiteral("codice speed sconosciuto"), 2);
        row->Release();
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
        const std::unique_ptr<OutcomeRow> row = WriteScanLog(eanRead, parcels::kCodiceEanSconosciuto);
        if (!row)
            return;
        ShowOutcome(QStringLiteral("codice EAN sconosciuto"), 2);
        row->Release();
        scanState_ = 1;
        SetBarcodeCaption(kCaptionBarcodeEan);
    } else if (eanRead != currentCodiceEAN_) {
        const std::unique_ptr<OutcomeRow> row = WriteScanLog(eanRead, parcels::kEanErrato);
        if (!row)
            return;
        ShowOutcome(QStringLiteral("EAN ERRATO: RISTAMPA"), 1);
        PrintLabel(); // a failed reprint takes the row back: the EAN step stays open
        row->Release();
        scanState_ = 0;
        SetBarcodeCaption(kCaptionBarcodeSpeed);
    } else {
        const std::unique_ptr<OutcomeRow> row = WriteScanLog(eanRead, parcels::kEanCorretto);
        if (!row)
            return;
        ShowOutcome(QStringLiteral("EAN OK"), 0);
        row->Release();
        scanState_ = 0;
        SetBarcodeCaption(kCaptionBarcodeSpeed);
    }
}

void TMainForm::ShowOutcome(const QString& text, std::uint8_t kind)
{
    boxes_.Outcome(this, kind, text);
}

std::unique_ptr<TMainForm::OutcomeRow> TMainForm::WriteScanLog(const std::string& eanRead, const std::string& status)
{
    try {
        if (!journal_)
            throw parcels::JournalError("il giornale delle scansioni non \xC3\xA8 aperto");
        const parcels::JournalRow row =
            journal_->Add(databaseColli_.DatabaseName(), currentBarcodeSpeed_, eanRead, status, decidedFromCopy_);
        return std::make_unique<OutcomeRow>(*this, row.ticket);
    } catch (const parcels::JournalError& error) {
        boxes_.Error(this, QStringLiteral("Impossibile storicizzare nel log la scansione:\r") +
                               QString::fromStdString(error.what()) +
                               QStringLiteral("\rLa scansione non \u00e8 stata accettata: ripetere la lettura."));
        return nullptr;
    }
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
    if (offline_) {
        boxes_.Warning(this, QStringLiteral("Server \"%1\" non raggiungibile: l'integrazione degli EAN errati "
                                            "richiede il server e non pu\u00f2 usare la copia dei colli della "
                                            "postazione.\rRiprovare quando il server risponde.")
                                 .arg(QString::fromStdString(ServerShown())));
        return;
    }
    {
        const dataaccess::WaitScope wait(databaseColli_);
        AttachIfNeverAttached();
    }
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

namespace {

// SQLite's write-ahead log needs the workstation's own disk: a journal on a
// share would be neither safe nor the workstation's alone.
bool OnNetworkDrive(const std::string& folder)
{
#ifdef _WIN32
    const QString path = QDir::toNativeSeparators(QString::fromStdString(folder));
    if (path.startsWith(QStringLiteral("\\\\")))
        return true;
    if (path.size() < 2 || path[1] != u':')
        return false;
    const std::wstring root = path.left(2).toStdWString() + L"\\";
    return ::GetDriveTypeW(root.c_str()) == DRIVE_REMOTE;
#else
    (void)folder;
    return false;
#endif
}

} // namespace

std::string StationJournalFolder(const std::string& programFolder)
{
    std::vector<std::string> candidates;
#ifdef _WIN32
    const QString common = qEnvironmentVariable("ProgramData");
    if (!common.isEmpty()) {
        const QString folder = QDir(common).filePath(QStringLiteral("Controllo colli"));
        // Made here by whoever signs in first: every other operator must write the journal too.
        if (!QFileInfo::exists(folder) && QDir().mkpath(folder))
            parcels::OpenToWorkstationUsers(NativeFolder(folder));
        candidates.push_back(NativeFolder(folder));
    }
#else
    // Made by the package, with the operators' group: never made here.
    if (QFileInfo(QStringLiteral("/var/lib/controllo-colli")).isDir())
        candidates.push_back("/var/lib/controllo-colli/");
#endif
    if (QFileInfo(QString::fromStdString(programFolder)).isDir() && !OnNetworkDrive(programFolder))
        candidates.push_back(programFolder);
    candidates.push_back(NativeFolder(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)));
    return parcels::JournalFolder(candidates);
}

QString CopyTimeShown(const std::string& refreshedAt, const QDateTime& now)
{
    const QDateTime at = QDateTime::fromString(QString::fromStdString(refreshedAt).left(19),
                                               QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!at.isValid())
        return QStringLiteral("di ora sconosciuta");
    if (at.date() == now.date())
        return QStringLiteral("delle ") + at.toString(QStringLiteral("HH:mm"));
    QString shown = QStringLiteral("del ") + at.toString(QStringLiteral("dd/MM/yyyy HH:mm"));
    const qint64 days = at.secsTo(now) / kStaleCopySeconds;
    if (days >= 1)
        shown += days == 1 ? QStringLiteral(", vecchia di 1 giorno")
                           : QStringLiteral(", vecchia di %1 giorni").arg(days);
    return shown;
}

std::string NativeFolder(QString dirPath)
{
    // The root of a drive ("P:/") already ends with its separator.
    if (!dirPath.endsWith(u'/'))
        dirPath += u'/';
    return QDir::toNativeSeparators(dirPath).toStdString();
}
