#pragma once

#include <QString>

// A small rotating text log for the site's IT: one line per event, with its
// time. Writing never disturbs the station: a folder that cannot be written
// simply gets nothing.
class DiagnosticLog {
public:
    static constexpr qint64 kMaxBytes = 512 * 1024; // then the file becomes diagnostica.1.log

    explicit DiagnosticLog(QString folder);

    // The user's own data folder for the station (on Windows under %LOCALAPPDATA%).
    static QString DefaultFolder();

    const QString& FilePath() const { return path_; }
    void Write(const QString& text);

private:
    QString folder_;
    QString path_;
};
