#include "ReportChart.h"

#include <QBuffer>
#include <QFont>
#include <QFontMetricsF>
#include <QLocale>
#include <QPainter>
#include <QSvgGenerator>

#include <algorithm>
#include <cmath>

namespace admin {
namespace {

// A step of 1, 2 or 5 times a power of ten that cuts 0..top in at most about five.
std::int64_t GridStep(std::int64_t top)
{
    std::int64_t step = 1;
    for (;;) {
        for (const std::int64_t factor : {1, 2, 5}) {
            if (top <= step * factor * 5)
                return step * factor;
        }
        step *= 10;
    }
}

} // namespace

ReportChart::ReportChart(std::vector<Bar> bars, std::array<QString, kSeries> names)
    : bars_(std::move(bars)), names_(std::move(names))
{
}

QColor ReportChart::SeriesColor(int series)
{
    // Told apart also in grey print: dark to light from the bottom up.
    static const std::array<QColor, kSeries> colors = {QColor(0x1b, 0x5e, 0x20), QColor(0xef, 0x6c, 0x00),
                                                        QColor(0x8e, 0x24, 0xaa), QColor(0xe5, 0x39, 0x35)};
    return colors.at(static_cast<std::size_t>(series));
}

void ReportChart::Paint(QPainter& painter, const QRectF& area) const
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    QFont font = painter.font();
    font.setFamilies({"DejaVu Sans", "Arial"});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    painter.setFont(font);
    const QFontMetricsF metrics(font);
    const qreal line = metrics.height();

    std::int64_t highest = 0;
    for (const Bar& bar : bars_) {
        std::int64_t sum = 0;
        for (const auto n : bar.counts)
            sum += n;
        highest = std::max(highest, sum);
    }
    const std::int64_t step = GridStep(std::max<std::int64_t>(highest, 1));
    const std::int64_t top = ((std::max<std::int64_t>(highest, 1) + step - 1) / step) * step;

    // The page is Italian: 10.000, not 10000.
    const QLocale italian(QLocale::Italian, QLocale::Italy);
    const qreal axisWidth = metrics.horizontalAdvance(italian.toString(static_cast<qlonglong>(top))) + 8;
    const qreal legendHeight = line + 8;
    const QRectF plot(area.left() + axisWidth, area.top() + legendHeight, area.width() - axisWidth - 4,
                      area.height() - legendHeight - line - 6);

    // The legend on one line above the plot.
    qreal x = plot.left();
    for (int s = 0; s < kSeries; ++s) {
        painter.fillRect(QRectF(x, area.top() + 2, line * 0.8, line * 0.8), SeriesColor(s));
        x += line;
        painter.setPen(Qt::black);
        painter.drawText(QPointF(x, area.top() + 2 + metrics.ascent() * 0.85), names_[static_cast<std::size_t>(s)]);
        x += metrics.horizontalAdvance(names_[static_cast<std::size_t>(s)]) + line;
    }

    // Grid lines and their numbers.
    const qreal perUnit = plot.height() / static_cast<qreal>(top);
    for (std::int64_t value = 0; value <= top; value += step) {
        const qreal y = plot.bottom() - static_cast<qreal>(value) * perUnit;
        painter.setPen(QPen(value == 0 ? QColor(0x42, 0x42, 0x42) : QColor(0xdd, 0xdd, 0xdd), 1));
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(QColor(0x42, 0x42, 0x42));
        painter.drawText(QRectF(area.left(), y - line / 2, axisWidth - 4, line), Qt::AlignRight | Qt::AlignVCenter,
                         italian.toString(static_cast<qlonglong>(value)));
    }

    if (!bars_.empty()) {
        const qreal slot = plot.width() / static_cast<qreal>(bars_.size());
        const qreal width = std::max<qreal>(slot * 0.7, 0.5);
        // Labels no closer than their own width, so they never overlap.
        qreal widest = 0;
        for (const Bar& bar : bars_)
            widest = std::max(widest, metrics.horizontalAdvance(bar.label));
        const auto every = static_cast<std::size_t>(std::max<qreal>(1, std::ceil((widest + 6) / slot)));
        painter.setPen(Qt::NoPen);
        for (std::size_t i = 0; i < bars_.size(); ++i) {
            const qreal left = plot.left() + slot * static_cast<qreal>(i) + (slot - width) / 2;
            qreal bottom = plot.bottom();
            for (int s = 0; s < kSeries; ++s) {
                const qreal height = static_cast<qreal>(bars_[i].counts[static_cast<std::size_t>(s)]) * perUnit;
                if (height <= 0)
                    continue;
                painter.fillRect(QRectF(left, bottom - height, width, height), SeriesColor(s));
                bottom -= height;
            }
            if (i % every == 0 && !bars_[i].label.isEmpty()) {
                painter.setPen(QColor(0x42, 0x42, 0x42));
                const qreal centre = left + width / 2;
                painter.drawText(QRectF(centre - slot * static_cast<qreal>(every) / 2, plot.bottom() + 3,
                                        slot * static_cast<qreal>(every), line),
                                 Qt::AlignHCenter | Qt::AlignTop, bars_[i].label);
                painter.setPen(Qt::NoPen);
            }
        }
    }
    painter.restore();
}

QByteArray ReportChart::Svg(const QSize& size, const QString& title) const
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    {
        QSvgGenerator generator;
        generator.setOutputDevice(&buffer);
        generator.setSize(size);
        generator.setViewBox(QRect(QPoint(0, 0), size));
        generator.setTitle(title);
        QPainter painter(&generator);
        Paint(painter, QRectF(QPointF(0, 0), QSizeF(size)));
    }
    return bytes;
}

QImage ReportChart::Image(const QSize& size, qreal scale) const
{
    QImage image(QSize(qRound(size.width() * scale), qRound(size.height() * scale)), QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.scale(scale, scale);
    Paint(painter, QRectF(QPointF(0, 0), QSizeF(size)));
    return image;
}

} // namespace admin
