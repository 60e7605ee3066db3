#pragma once

#include "LoggedBoxes.h"

#include <dataaccess/Connection.h>
#include <dataaccess/Errors.h>
#include <dataaccess/Transaction.h>
#include <parcels/CourierLookup.h>

#include <QWidget>

class QDateTime;
class QTimer;

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class MessageBoxes;
class DiagnosticLog;
class ServerWaitNotice;
class HeldKeys;

namespace dblocate { class LocationUi; }
namespace parcels {
class CopyKeeper;
class LogForwarder;
class ParcelCopy;
class ScanJournal;
struct CopyEvent;
struct ForwardEvent;
struct JournalCounts;
struct StationLink;
} // namespace parcels
namespace printing { class PrintPlatform; }

// What the main window works with besides its own controls.
struct StationServices {
    printing::PrintPlatform& printPlatform;
    MessageBoxes& boxes;
    std::string programFolder;                   // UTF-8, ends with the path delimiter
    dblocate::LocationUi* locationUi = nullptr;  // null: the window's own boxes and server dialog
    DiagnosticLog* log = nullptr;                // null: nothing is logged
    std::function<bool()> ending = nullptr;      // true once the program ends (a termination signal)
    std::string journalFolder = {};              // UTF-8; empty: dati.ini's, else StationJournalFolder()
};

// The station's one window: printer choice, barcode field and the two-step scan
// workflow behind it, and the buttons for help, the wrong-EAN batch and exit.
class TMainForm : public QWidget {
public:
    explicit TMainForm(StationServices services, QWidget* parent = nullptr);
    ~TMainForm() override;

    // Controls, named as in the layout.
    QFrame* PanelLeft;
    QFrame* PanelRight;
    QFrame* PanelClient;
    QFrame* PanelTop;
    QLabel* Label2;
    QComboBox* ComboStampante;
    QCheckBox* CheckCopiaSuClipBoard;
    QPushButton* ButtonHelp;
    QLabel* LabelBarcode;
    QLineEdit* EditBarcode;
    QGroupBox* GroupBox1;
    QLabel* Label3;
    QLineEdit* StaticBarcodeSpeed;
    QLabel* Label4;
    QLineEdit* StaticEAN;
    QFrame* PanelBottom;
    QFrame* PanelPulsanti;
    QPushButton* ButtonIntegrazioneEANErrati;
    QPushButton* ButtonChiudi;
    QLabel* LabelAttesa; // shown while a call waits for the server
    QLabel* LabelCoda;   // scans the server does not have yet
    QLabel* LabelCodiceIgnorato; // codes read while a window or box was up
    QLabel* LabelCopia;  // shown while scans are checked on the station's copy of the parcels

    // Event handlers.
    void FormCreate();
    void EditBarcodeKeyUp(QObject* sender, int key, Qt::KeyboardModifiers shift);
    void ButtonHelpClick();
    void ButtonChiudiClick();
    void ButtonIntegrazioneEANErratiClick();

    // State of the window, read by the tests and the benchmark.
    std::uint8_t ScanState() const { return scanState_; }
    const std::string& CurrentBarcodeSpeed() const { return currentBarcodeSpeed_; }
    const std::string& CurrentCodiceEAN() const { return currentCodiceEAN_; }
    const std::string& CurrentCodiceEANErrato() const { return currentCodiceEANErrato_; }
    const std::string& TemplatePath() const { return templatePath_; }
    dataaccess::Connection& DatabaseColli() { return databaseColli_; }
    dataaccess::Transaction& TransactionColli() { return transactionColli_; }
    // The lookups' read-only transaction, ended when the station idles.
    dataaccess::Transaction& ScanTransaction() { return scanTransaction_; }
    // The workstation's journal of outcomes the server does not have yet.
    parcels::JournalCounts ScansWaiting() const;
    const std::string& JournalPath() const { return journalPath_; }
    // Scans are checked on the station's copy of the parcels: the server is away.
    bool CheckingOnCopy() const { return offline_; }
    // The longest courier code and EAN accepted: the widths of the scan log's
    // columns in the attached database.
    std::size_t MaxBarcodeSpeedLength() const { return maxBarcodeSpeed_; }
    std::size_t MaxEanLength() const { return maxEan_; }

    // Ends the open transaction and detaches, waiting for the server at most
    // about the given seconds whatever the station's bound; a call still out
    // (the program ends from inside its wait) is cut first.
    void CloseDatabase(int seconds);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class OutcomeRow;
    void BuildLayout();
    void LookupBarcodeSpeed(const std::string& code);
    void CheckEAN(const std::string& eanRead);
    void ShowOutcome(const QString& text, std::uint8_t kind);
    // The outcome's log row, durable on the workstation before the operator
    // is told; null (and a box said why) when the journal cannot take it.
    std::unique_ptr<OutcomeRow> WriteScanLog(const std::string& eanRead, const std::string& status);
    void PrintLabel();
    void SetBarcodeCaption(const char* caption);
    void CenterOnDesktop();
    // Every entry into the station's work (a key, a button, a timer) runs
    // here: the station is busy while it runs and shows its errors, then the
    // keys held meanwhile are handed on, or dropped when a window or a box
    // interrupted the operator.
    template <class Handler> void Work(Handler&& handler);
    // Runs one event handler; an error leaving it goes to the one error handler.
    template <class Handler> void Guarded(Handler&& handler);
    void ReadWaitBound();
    void OpenJournal();
    parcels::StationLink BackgroundLink() const;
    // A background worker's report, handed to the window's own thread.
    template <class Event>
    std::function<void(const Event&)> HeardOnWindowThread(void (TMainForm::*handler)(const Event&));
    // The operator's text for a scan that neither the server nor the copy could answer.
    dataaccess::ConnectionLostError NotRecorded(const std::string& reason) const;
    void StartForwarder();
    void OnForwardEvent(const parcels::ForwardEvent& event);
    void StartCopyKeeper();
    void OnCopyEvent(const parcels::CopyEvent& event);
    // The server did not answer a lookup, or a worker found it away: the
    // next scans are checked on the copy, when there is one for this database.
    bool CheckOnCopy(const std::string& reason);
    void ServerAnswers();
    bool CopyUsable() const;
    // A copy of that database is on the workstation: the station may start on it.
    bool CopyFilledFrom(const std::string& databaseName) const;
    void AttachIfNeverAttached();
    std::optional<parcels::Parcel> FindInCopy(const std::string& code);
    void ShowCopyNotice();
    void ShowScansWaiting();
    void IgnoredCode(const QString& code);
    // Ends the lookups' transaction once the station has been idle a while:
    // an idle station holds nothing open at the server.
    void EndIdleRead();
    // The start-up read, in the kept transaction.
    void ReadCodeWidths();
    void Note(const std::string& text) const;
    // The server the database is on, or the whole name of a local file.
    std::string ServerShown() const;
    // Marks a handler as running until the result is dropped.
    [[nodiscard]] std::unique_ptr<bool, void (*)(bool*)> MarkBusy();
    // After a handler: the keys held while it ran go on to the window, or are
    // dropped when it was interrupted or the station is closing.
    void AfterHandler(bool interrupted);

    printing::PrintPlatform& printPlatform_;
    DiagnosticLog* log_;
    std::unique_ptr<ServerWaitNotice> waitNotice_;
    std::function<bool()> ending_;
    LoggedBoxes loggedBoxes_;
    MessageBoxes& boxes_;
    std::string programFolder_;
    std::unique_ptr<dblocate::LocationUi> ownLocationUi_;
    dblocate::LocationUi& locationUi_;

    dataaccess::Connection databaseColli_;
    dataaccess::Transaction transactionColli_;
    dataaccess::Transaction scanTransaction_;
    std::unique_ptr<parcels::CourierLookup> courierLookup_;
    std::string journalFolder_;
    std::string journalPath_;
    std::unique_ptr<parcels::ScanJournal> journal_;
    std::unique_ptr<parcels::LogForwarder> forwarder_;
    int copyRefreshSeconds_ = 60; // 0: no copy of the parcels
    std::unique_ptr<parcels::CopyKeeper> copyKeeper_;
    std::unique_ptr<parcels::ParcelCopy> lookupCopy_; // the copy as the window reads it
    std::string copyDatabase_;    // the database the copy was filled from; empty: no copy yet
    std::string copyRefreshedAt_; // the workstation's time of its last fill or refresh
    bool offline_ = false;        // scans are checked on the copy
    bool decidedFromCopy_ = false; // the current parcel was looked up in the copy

    QTimer* idleTimer_ = nullptr;
    bool busy_ = false; // a handler runs: keys that arrive while it waits are held
    std::unique_ptr<HeldKeys> heldKeys_;
    int longWorkSeconds_ = dataaccess::LongWork::kDefaultSeconds; // each call of the batch may wait this long
    std::size_t maxBarcodeSpeed_;
    std::size_t maxEan_;
    std::uint8_t scanState_ = 0;
    std::string currentBarcodeSpeed_;
    std::string currentCodiceEAN_;
    std::string currentCodiceEANErrato_;
    std::string templatePath_;
};

// The program's folder, from the program file's own location, with a trailing "/".
std::string ProgramFolder();
// Where the workstation keeps its journal: a folder every operator of it can
// write and that is the same whoever logs in (on Windows under ProgramData, on
// Linux /var/lib/controllo-colli when the package made it), else the program's
// folder when it can be written, else the user's own data folder.
std::string StationJournalFolder(const std::string& programFolder);
// How the window names the time of the copy of the parcels (the workstation's
// "yyyy-MM-dd HH:mm:ss.zzz"): "delle 10:42" for a copy of today, else its day
// too, and its age once it is older than a day.
QString CopyTimeShown(const std::string& refreshedAt, const QDateTime& now);
// A folder as Qt names it ("/" separators), in the system's own separators with
// one separator at the end.
std::string NativeFolder(QString dirPath);
