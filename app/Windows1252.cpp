#include "Windows1252.h"

#include <dataaccess/Cp1252.h>

std::optional<std::string> ToWindows1252(const QString& text)
{
    if (text.contains(QChar(u'\0')))
        return std::nullopt;
    bool lossy = false;
    std::string bytes = cp1252::FromUtf8(text.toStdString(), &lossy);
    if (lossy || FromWindows1252(bytes) != text)
        return std::nullopt;
    return bytes;
}

QString FromWindows1252(const std::string& bytes)
{
    return QString::fromStdString(cp1252::ToUtf8(bytes));
}
