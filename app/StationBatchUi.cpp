#include "StationBatchUi.h"

#include "MessageBoxes.h"

#include <QCloseEvent>
#include <QProgressDialog>
#include <QPushButton>

#include <algorithm>
#include <climits>

// The window stays up until the run has ended, stopped or not: the button
// only asks, and the run (or the wait it is in) ends at once. While it is
// shown it also keeps every other window of the station from taking a click;
// a scan waits for the batch's end.
class BatchProgressDialog : public QProgressDialog {
public:
    BatchProgressDialog(QWidget* owner, bool& stopAsked)
        : QProgressDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
    {
        setCancelButtonText(QStringLiteral("Interrompi"));
        // Qt's own cancel would hide the window while the run still ends.
        disconnect(this, SIGNAL(canceled()), this, SLOT(cancel()));
        connect(this, &QProgressDialog::canceled, this, [this, &stopAsked] {
            stopAsked = true;
            EnableStop(false);
        });
        setWindowModality(Qt::ApplicationModal);
    }

    void reject() override {}

    void EnableStop(bool on)
    {
        for (QPushButton* button : findChildren<QPushButton*>())
            button->setEnabled(on);
    }

protected:
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

namespace {

// QProgressDialog counts in int; scale larger totals down.
int ProgressUnits(long long value, long long total)
{
    if (total <= INT_MAX)
        return static_cast<int>(value);
    return static_cast<int>(value / (total / INT_MAX + 1));
}

} // namespace

StationBatchUi::StationBatchUi(QWidget* owner, MessageBoxes& boxes) : owner_(owner), boxes_(boxes) {}

StationBatchUi::~StationBatchUi() = default;

void StationBatchUi::Warning(const std::string& text)
{
    boxes_.Warning(owner_, QString::fromStdString(text));
}

void StationBatchUi::Error(const std::string& text)
{
    boxes_.Error(owner_, QString::fromStdString(text));
}

void StationBatchUi::Information(const std::string& text)
{
    boxes_.Information(owner_, QString::fromStdString(text));
}

bool StationBatchUi::Confirm(const std::string& text)
{
    return boxes_.Confirm(owner_, QString::fromStdString(text));
}

void StationBatchUi::Progress(long long done, long long total)
{
    if (!progress_) {
        progress_ = std::make_unique<BatchProgressDialog>(owner_, stopAsked_);
        progress_->setWindowTitle(QString::fromUtf8(kApplicationTitle));
        progress_->setLabelText(QStringLiteral("Integrazione EAN errati in corso..."));
        progress_->setAutoClose(false);
        progress_->setAutoReset(false);
        progress_->setMinimumDuration(500);
        progress_->setMinimum(0);
    }
    const long long top = std::max(total, 1LL);
    progress_->setMaximum(ProgressUnits(top, top));
    progress_->setValue(ProgressUnits(std::clamp(done, 0LL, top), top));
}

void StationBatchUi::ProgressFinished()
{
    progress_.reset();
}

void StationBatchUi::Committing()
{
    if (progress_)
        progress_->EnableStop(false);
}
