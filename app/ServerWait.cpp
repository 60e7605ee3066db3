#include "ServerWait.h"

#include "DiagnosticLog.h"

#include <QCoreApplication>
#include <QLabel>
#include <QWidget>

ServerWaitNotice::ServerWaitNotice(QWidget* window, QLabel* notice, DiagnosticLog* log,
                                   std::function<QString()> serverName, std::function<bool()> ending)
    : window_(window), notice_(notice), log_(log), serverName_(std::move(serverName)), ending_(std::move(ending))
{
}

bool ServerWaitNotice::Waiting(std::chrono::milliseconds elapsed)
{
    if (!inWait_) {
        inWait_ = true;
        wasVisible_ = window_->isVisible();
    }
    if (elapsed.count() >= kShowAfterMs) {
        const QString text = QStringLiteral("In attesa del server %1... %2 s")
                                 .arg(serverName_(), QString::number(elapsed.count() / 1000));
        if (notice_->text() != text)
            notice_->setText(text);
        notice_->show();
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if ((wasVisible_ && !window_->isVisible()) || (ending_ && ending_()))
        closing_ = true;
    return !closing_ && !(stopAsked_ && stopAsked_());
}

std::string ServerWaitNotice::StopReason() const
{
    return Closing() ? LinkMonitor::StopReason() : "elaborazione interrotta dall'operatore";
}

void ServerWaitNotice::WaitOver(std::chrono::milliseconds waited)
{
    inWait_ = false;
    notice_->hide();
    if (log_ && waited.count() >= 1000)
        log_->Write(QStringLiteral("Attesa del server %1: %2 ms").arg(serverName_(), QString::number(waited.count())));
}

void ServerWaitNotice::Note(const std::string& text)
{
    if (log_)
        log_->Write(QString::fromStdString(text));
}
