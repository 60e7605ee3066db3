#pragma once

#include <parcels/WrongEanBatch.h>

#include <memory>

class MessageBoxes;
class BatchProgressDialog;
class QWidget;

// How the wrong-EAN batch talks to the operator: standard message boxes and a
// progress window whose one button stops the run (all or nothing: a stopped
// run is rolled back).
class StationBatchUi : public parcels::BatchUi {
public:
    StationBatchUi(QWidget* owner, MessageBoxes& boxes);
    ~StationBatchUi() override;

    void Warning(const std::string& text) override;
    void Error(const std::string& text) override;
    void Information(const std::string& text) override;
    bool Confirm(const std::string& text) override;
    void Progress(long long done, long long total) override;
    void ProgressFinished() override;
    bool StopAsked() override { return stopAsked_; }
    void Committing() override;

private:
    QWidget* owner_;
    MessageBoxes& boxes_;
    std::unique_ptr<BatchProgressDialog> progress_;
    bool stopAsked_ = false;
};
