#include "Windows1252.h"

#include <QStringDecoder>
#include <QStringEncoder>

std::optional<std::string> ToWindows1252(const QString& text)
{
    if (text.contains(QChar(u'\0')))
        return std::nullopt;
    QStringEncoder encoder("windows-1252", QStringConverter::Flag::Stateless);
    const QByteArray bytes = encoder.encode(text);
    if (encoder.hasError() || FromWindows1252(bytes.toStdString()) != text)
        return std::nullopt;
    return bytes.toStdString();
}

QString FromWindows1252(const std::string& bytes)
{
    QStringDecoder decoder("windows-1252", QStringConverter::Flag::Stateless);
    return decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
}
