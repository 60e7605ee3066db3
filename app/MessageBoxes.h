#pragma once

#include <QString>

#include <cstdint>
#include <exception>
#include <string>

class QWidget;

inline constexpr const char* kApplicationTitle = "Controllo colli";

// Every modal window the station shows the operator goes through one object of
// this class. The base shows the real windows; tests derive from it to answer
// them without a person at the keyboard.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;

    virtual void Warning(QWidget* parent, const QString& text);
    virtual void Error(QWidget* parent, const QString& text);
    virtual void Information(QWidget* parent, const QString& text);
    virtual bool Confirm(QWidget* parent, const QString& text); // true for Yes
    // No kind: captioned with the application title.
    virtual void Plain(QWidget* parent, const QString& text);
    // The error of an operation that nobody caught; captioned with the application title.
    virtual void ApplicationError(QWidget* parent, const QString& text);
    // The outcome window of one scan step; returns once the operator has closed it.
    virtual void Outcome(QWidget* owner, std::uint8_t kind, const QString& text);
};

// Message texts break lines with single carriage returns; widgets want line feeds.
QString DisplayText(const QString& text);

// The error text as the operator sees it: a full stop is added when the last
// character sorts after ".".
QString UnhandledErrorText(const QString& message);

// The one place where an error that left an operation is shown; the program goes on.
void ReportUnhandledError(MessageBoxes& boxes, QWidget* parent, const std::string& message);
void ReportUnhandledError(MessageBoxes& boxes, QWidget* parent, std::exception_ptr error);
