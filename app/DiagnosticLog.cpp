#include "DiagnosticLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

DiagnosticLog::DiagnosticLog(QString folder)
    : folder_(std::move(folder)), path_(QDir(folder_).filePath(QStringLiteral("diagnostica.log")))
{
}

QString DiagnosticLog::DefaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

void DiagnosticLog::Write(const QString& text)
{
    if (folder_.isEmpty() || !QDir().mkpath(folder_))
        return;
    if (QFileInfo(path_).size() >= kMaxBytes) {
        const QString previous = QDir(folder_).filePath(QStringLiteral("diagnostica.1.log"));
        QFile::remove(previous);
        QFile::rename(path_, previous);
    }
    QFile file(path_);
    if (!file.open(QIODevice::Append | QIODevice::Text))
        return;
    // One event, one line: message boxes break their lines with CR.
    QString line = text;
    line.replace(QStringLiteral("\r\n"), QStringLiteral(" | "));
    line.replace(QChar(u'\r'), QStringLiteral(" | "));
    line.replace(QChar(u'\n'), QStringLiteral(" | "));
    file.write((QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")) + line + u'\n')
                   .toUtf8());
}
