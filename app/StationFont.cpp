#include "StationFont.h"

#include <QStringList>

QFont StationFont()
{
    QFont font;
    font.setFamilies(QStringList{QStringLiteral("Tahoma"), QStringLiteral("Nimbus Sans"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial"), QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(11); // 8 point at the 96 dpi the pixel layout was designed for
    return font;
}
