#include "CaptionFit.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <cmath>

namespace {

constexpr int kSmallestPixelSize = 7;

QString CaptionOf(const QWidget* widget)
{
    if (const auto* label = qobject_cast<const QLabel*>(widget))
        return label->text();
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget))
        return button->text();
    return {};
}

bool Fits(const QWidget* widget, const QFont& font, const QStringList& texts)
{
    const QFontMetricsF metrics(font);
    const int room = CaptionRoom(widget);
    for (const QString& text : texts)
        if (std::ceil(metrics.horizontalAdvance(text)) > room)
            return false;
    return true;
}

} // namespace

int CaptionRoom(const QWidget* widget)
{
    if (const auto* label = qobject_cast<const QLabel*>(widget))
        return label->contentsRect().width() - 2 * label->margin() - std::max(label->indent(), 0);
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const bool check = qobject_cast<const QCheckBox*>(button) != nullptr;
        const QRect contents = button->style()->subElementRect(
            check ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents, &option, button);
        if (check)
            return contents.width();
        // Half the style's margin on either side, as its size hint keeps.
        return contents.width() - button->style()->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
    }
    return widget->contentsRect().width();
}

void FitCaption(QWidget* widget, const QStringList& texts)
{
    QFont font = widget->font();
    // A font in points is first turned into pixels, so that one step is one pixel.
    if (font.pixelSize() <= 0)
        font.setPixelSize(QFontInfo(font).pixelSize());
    bool changed = false;
    while (!Fits(widget, font, texts) && font.pixelSize() > kSmallestPixelSize) {
        font.setPixelSize(font.pixelSize() - 1);
        changed = true;
    }
    if (changed)
        widget->setFont(font);
}

void FitCaptions(QWidget* window)
{
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        if (qobject_cast<QLabel*>(widget) || qobject_cast<QAbstractButton*>(widget)) {
            const QString text = CaptionOf(widget);
            if (!text.isEmpty())
                FitCaption(widget, {text});
        }
    }
}
