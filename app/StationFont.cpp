#include "StationFont.h"

#include <QFontDatabase>
#include <QStringList>

QFont StationFont()
{
    QFont font;
    if (QFontDatabase::hasFamily(QStringLiteral("Tahoma"))) {
        font.setFamily(QStringLiteral("Tahoma"));
        font.setPixelSize(11); // 8 point at the 96 dpi the pixel layout was designed for
        return font;
    }
    // The Arial-like faces run wider than Tahoma: one pixel less keeps every
    // caption inside the box the layout gives it.
    font.setFamilies(QStringList{QStringLiteral("Liberation Sans"), QStringLiteral("Nimbus Sans"),
                                 QStringLiteral("Arial"), QStringLiteral("DejaVu Sans Condensed"),
                                 QStringLiteral("DejaVu Sans")});
    font.setPixelSize(10);
    return font;
}
