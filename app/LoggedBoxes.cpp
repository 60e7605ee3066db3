#include "LoggedBoxes.h"

#include "DiagnosticLog.h"

LoggedBoxes::LoggedBoxes(MessageBoxes& shown, DiagnosticLog* log, std::function<bool()> closing)
    : shown_(shown), log_(log), closing_(std::move(closing))
{
}

bool LoggedBoxes::Log(const char* kind, const QString& text, bool always)
{
    ++asked_;
    const bool closing = closing_ && closing_();
    if (log_ && (always || closing))
        log_->Write(QString::fromLatin1(kind) + (closing ? QStringLiteral(" (non mostrato: chiusura): ")
                                                         : QStringLiteral(": ")) +
                    text);
    return !closing;
}

void LoggedBoxes::Warning(QWidget* parent, const QString& text)
{
    if (Log("Avviso", text, true))
        shown_.Warning(parent, text);
}

void LoggedBoxes::Error(QWidget* parent, const QString& text)
{
    if (Log("Errore", text, true))
        shown_.Error(parent, text);
}

void LoggedBoxes::Information(QWidget* parent, const QString& text)
{
    if (Log("Informazione", text, false))
        shown_.Information(parent, text);
}

bool LoggedBoxes::Confirm(QWidget* parent, const QString& text)
{
    return Log("Conferma", text, false) && shown_.Confirm(parent, text);
}

void LoggedBoxes::Plain(QWidget* parent, const QString& text)
{
    if (Log("Messaggio", text, true))
        shown_.Plain(parent, text);
}

void LoggedBoxes::ApplicationError(QWidget* parent, const QString& text)
{
    if (Log("Errore", text, true))
        shown_.ApplicationError(parent, text);
}

void LoggedBoxes::Outcome(QWidget* owner, std::uint8_t kind, const QString& text)
{
    if (Log("Esito", text, false))
        shown_.Outcome(owner, kind, text);
}
