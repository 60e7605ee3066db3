#pragma once

#include <QSvgRenderer>
#include <QWidget>

// A picture drawn from an SVG resource into a fixed frame.
class PictureBox : public QWidget {
public:
    enum class Fit {
        Clipped,      // at its own size from the top-left corner, cut at the frame
        Proportional, // shrunk or grown to fit the frame, proportions kept, centred
    };

    PictureBox(const QString& resource, Fit fit, QWidget* parent);

    Fit FitMode() const { return fit_; }
    QSize PictureSize() const { return renderer_.defaultSize(); }
    // Where the picture lands inside the frame.
    QRectF PictureRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QSvgRenderer renderer_;
    Fit fit_;
};
