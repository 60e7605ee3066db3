#pragma once

#include "DiagnosticLog.h"
#include "MainForm.h"
#include "MessageBoxes.h"

#include <dblocate/DatabaseLocator.h>
#include <parcels/ScanJournal.h>
#include <printing/PrintPlatform.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;

// What happened at the station, in order: windows, boxes and printer calls.
using Journal = std::vector<std::string>;

// Answers every window at once and writes it into the journal, e.g.
// "Outcome 2: codice speed sconosciuto", "Warning: Selezionare una stampante".
class ScriptedBoxes : public MessageBoxes {
public:
    explicit ScriptedBoxes(Journal& journal) : journal_(journal) {}

    void Warning(QWidget*, const QString& text) override { Note("Warning", text); }
    void Error(QWidget*, const QString& text) override { Note("Error", text); }
    void Information(QWidget*, const QString& text) override { Note("Information", text); }
    bool Confirm(QWidget*, const QString& text) override
    {
        Note("Confirm", text);
        if (onConfirm)
            onConfirm();
        return confirmAnswer;
    }
    void Plain(QWidget*, const QString& text) override { Note("Plain", text); }
    void ApplicationError(QWidget*, const QString& text) override { Note("ApplicationError", text); }
    void Outcome(QWidget*, std::uint8_t kind, const QString& text) override
    {
        Note("Outcome " + std::to_string(kind), text);
        if (onOutcome)
            onOutcome();
    }

    bool confirmAnswer = true;
    std::function<void()> onConfirm;
    std::function<void()> onOutcome;

private:
    void Note(const std::string& what, const QString& text) { journal_.push_back(what + ": " + text.toStdString()); }
    Journal& journal_;
};

// A printer backend that records the calls of a label job.
class RecordingPrintPlatform : public printing::PrintPlatform {
public:
    explicit RecordingPrintPlatform(Journal& journal) : journal_(journal) {}

    std::vector<printing::PrinterRecord> ListPrinters() override;
    std::string ReadDefaultDevice() override { return defaultDevice; }
    void WriteDefaultDevice(const std::string& device) override { defaultDevice = device; }
    bool SupportsPassThrough() override { return passThrough; }
    void BeginJob() override;
    void SendRaw(const std::string& bytes) override;
    void EndPage() override {}
    void EndJob() override { journal_.push_back("Print: end"); }
    void SetClipboardText(const std::string& text) override { clipboard = text; }

    std::vector<printing::PrinterRecord> printers{{"Zebra", "zebra", "usb"}};
    bool listFails = false;
    bool passThrough = true;
    std::string failBeginJob; // non-empty: BeginJob raises this
    std::string defaultDevice = ",,,";
    std::string sent;
    std::string clipboard;
    std::function<void()> onSend;

private:
    Journal& journal_;
};

// Answers the database search with no server (the dialog's Cancel).
class ScriptedLocationUi : public dblocate::LocationUi {
public:
    explicit ScriptedLocationUi(Journal& journal) : journal_(journal) {}
    void ShowMessage(const std::string& text) override { journal_.push_back("Plain: " + text); }
    ServerAnswer AskServerDialog() override;

    std::string failWith; // non-empty: the dialog raises this

private:
    Journal& journal_;
};

// A program folder of its own, with ARCHIVIOCOLLI.FDB (the parcel tables) and
// ETICHETTA.TXT; removed with everything in it.
class StationFolder {
public:
    StationFolder();
    ~StationFolder();
    StationFolder(const StationFolder&) = delete;
    StationFolder& operator=(const StationFolder&) = delete;

    const std::string& Path() const { return path_; } // ends with '/'
    std::string DatabasePath() const { return path_ + "ARCHIVIOCOLLI.FDB"; }
    std::string TemplatePath() const { return path_ + "ETICHETTA.TXT"; }

    void CreateDatabase(const std::string& name);
    // Statements separated by semicolons, run on a connection of their own and committed.
    void Execute(const std::string& sql);
    std::vector<std::vector<std::string>> Query(const std::string& sql);

    std::string databaseName; // what Execute and Query attach

private:
    std::string path_;
};

// The window on a fresh station folder; tests fill COLLI before Start().
class StationTest : public ::testing::Test {
protected:
    void Start();
    // Types the code into the barcode field and releases Enter.
    void Scan(const QString& code, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    void ReleaseKey(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, bool autoRepeat = false);
    // Scan() and the milliseconds it took until the step ended.
    qint64 TimedScan(const QString& code);
    // Runs the event loop until done() or the time is up; done() at the end.
    bool WaitFor(int ms, const std::function<bool()>& done);
    void AddParcel(const std::string& barcodeSpeed, const std::string& ean, const std::string& faultyEan);
    // The parcels SPD001 and SPD002 in a database on that server, named by
    // the settings file with its alias (plus moreSettings, CR LF ended lines);
    // then Start() with no local database.
    void StartOnServer(const std::string& serverAddress, const std::string& remotePath,
                       const std::string& moreSettings = "");
    // Until the station's journal has sent every row it can (at most that long).
    void WaitForwarded(std::chrono::seconds most = std::chrono::seconds(60));
    // ID, BARCODESPEED, CODICEEANLETTO ("<NULL>" for NULL), STATUS, in ID order,
    // once the journal has sent what it holds.
    std::vector<std::vector<std::string>> LogRows();
    QString Caption() const;
    // The lines of the station's diagnostic log so far.
    std::vector<std::string> DiagnosticLines() const;
    void TakeJournal(Journal& into) { into.swap(journal); journal.clear(); }

    StationFolder folder;
    Journal journal;
    RecordingPrintPlatform printer{journal};
    ScriptedBoxes boxes{journal};
    ScriptedLocationUi locationUi{journal};
    DiagnosticLog diagnostics{QString::fromStdString(folder.Path() + "diagnostica")};
    std::unique_ptr<TMainForm> form;
};
