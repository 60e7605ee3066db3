#pragma once

#include "LoggedBoxes.h"

#include <dataaccess/Connection.h>
#include <dataaccess/Transaction.h>

#include <QWidget>

class QTimer;

#include <cstdint>
#include <functional>
#include <memory>
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
namespace parcels { class CourierLookup; class ScanLogWriter; }
namespace printing { class PrintPlatform; }

// What the main window works with besides its own controls.
struct StationServices {
    printing::PrintPlatform& printPlatform;
    MessageBoxes& boxes;
    std::string programFolder;                   // UTF-8, ends with the path delimiter
    dblocate::LocationUi* locationUi = nullptr;  // null: the window's own boxes and server dialog
    DiagnosticLog* log = nullptr;                // null: nothing is logged
    std::function<bool()> ending = nullptr;      // true once the program ends (a termination signal)
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
    // Kept open for the attachment: the lookups read in it (read committed)
    // and each log insert commits itself in it.
    dataaccess::Transaction& ScanTransaction() { return scanTransaction_; }
    // Whether a log row's outcome is still unknown.
    bool LogRowPending() const;
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
    void BuildLayout();
    void LookupBarcodeSpeed(const std::string& code);
    void CheckEAN(const std::string& eanRead);
    void ShowOutcome(const QString& text, std::uint8_t kind);
    bool WriteScanLog(const std::string& eanRead, const std::string& status);
    void PrintLabel();
    void SetBarcodeCaption(const char* caption);
    void CenterOnDesktop();
    // Runs one event handler; an error leaving it goes to the one error handler.
    template <class Handler> void Guarded(Handler&& handler);
    void ReadWaitBound();
    // A log row whose outcome is not yet known is settled when the station is
    // idle, not only at the next scan: a last scan of the day is settled too.
    void SettlePendingRow();
    // The start-up read, in the kept transaction.
    void ReadCodeWidths();
    void Note(const std::string& text) const;
    // The server the database is on, or the whole name of a local file.
    std::string ServerShown() const;
    // Marks a handler as running until the result is dropped.
    [[nodiscard]] std::unique_ptr<bool, void (*)(bool*)> MarkBusy();
    // After a handler: the keys held while it ran go on to the window, unless
    // the station is closing.
    void AfterHandler();

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
    std::unique_ptr<parcels::ScanLogWriter> scanLog_;

    QTimer* settleTimer_ = nullptr;
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
// A folder as Qt names it ("/" separators), in the system's own separators with
// one separator at the end.
std::string NativeFolder(QString dirPath);
