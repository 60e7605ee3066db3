#pragma once

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QRectF>
#include <QSize>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

class QPainter;

namespace admin {

// Stacked bars of the outcomes per hour, drawn with the painter alone, so that
// the same drawing goes into the page's SVG and into the PDF.
class ReportChart {
public:
    static constexpr int kSeries = 4;
    struct Bar {
        QString label; // under the bar; empty for none
        std::array<std::int64_t, kSeries> counts{};
    };

    ReportChart(std::vector<Bar> bars, std::array<QString, kSeries> names);

    static QColor SeriesColor(int series);

    void Paint(QPainter& painter, const QRectF& area) const;
    // The drawing as an SVG document of size units (QSvgGenerator).
    QByteArray Svg(const QSize& size, const QString& title) const;
    // The drawing at scale device pixels per unit, on white.
    QImage Image(const QSize& size, qreal scale) const;

private:
    std::vector<Bar> bars_;
    std::array<QString, kSeries> names_;
};

} // namespace admin
