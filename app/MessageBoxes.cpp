#include "MessageBoxes.h"

#include "MessaggioForm.h"

#include <QMessageBox>

namespace {

QMessageBox::StandardButton ShowBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                                    const QString& text, QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, caption, DisplayText(text), buttons, parent);
    // Messages carry codes, paths and server texts: a "<b>" in them is text, not markup.
    box.setTextFormat(Qt::PlainText);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

} // namespace

void MessageBoxes::Warning(QWidget* parent, const QString& text)
{
    ShowBox(parent, QMessageBox::Warning, QStringLiteral("Warning"), text, QMessageBox::Ok);
}

void MessageBoxes::Error(QWidget* parent, const QString& text)
{
    ShowBox(parent, QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok);
}

void MessageBoxes::Information(QWidget* parent, const QString& text)
{
    ShowBox(parent, QMessageBox::Information, QStringLiteral("Information"), text, QMessageBox::Ok);
}

bool MessageBoxes::Confirm(QWidget* parent, const QString& text)
{
    return ShowBox(parent, QMessageBox::Question, QStringLiteral("Confirm"), text,
                   QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void MessageBoxes::Plain(QWidget* parent, const QString& text)
{
    ShowBox(parent, QMessageBox::NoIcon, QString::fromUtf8(kApplicationTitle), text, QMessageBox::Ok);
}

void MessageBoxes::ApplicationError(QWidget* parent, const QString& text)
{
    ShowBox(parent, QMessageBox::Critical, QString::fromUtf8(kApplicationTitle), text, QMessageBox::Ok);
}

void MessageBoxes::Outcome(QWidget* owner, std::uint8_t kind, const QString& text)
{
    TMessaggioForm form(owner, kind, text);
    form.exec();
}

QString DisplayText(const QString& text)
{
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QChar(u'\r'), QChar(u'\n'));
    return shown;
}

QString UnhandledErrorText(const QString& message)
{
    QString text = message;
    if (!text.isEmpty() && text.back() > QChar(u'.'))
        text += QChar(u'.');
    return text;
}

void ReportUnhandledError(MessageBoxes& boxes, QWidget* parent, const std::string& message)
{
    boxes.ApplicationError(parent, UnhandledErrorText(QString::fromUtf8(message)));
}

void ReportUnhandledError(MessageBoxes& boxes, QWidget* parent, std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        ReportUnhandledError(boxes, parent, std::string(e.what()));
    } catch (...) {
        ReportUnhandledError(boxes, parent, std::string("Unknown error"));
    }
}
