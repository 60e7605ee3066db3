#include "PictureBox.h"

#include <QPainter>

PictureBox::PictureBox(const QString& resource, Fit fit, QWidget* parent)
    : QWidget(parent), renderer_(resource), fit_(fit)
{
}

QRectF PictureBox::PictureRect() const
{
    const QSizeF own = renderer_.defaultSize();
    if (fit_ == Fit::Clipped || own.isEmpty())
        return QRectF(QPointF(0, 0), own);
    const QSizeF fitted = own.scaled(QSizeF(size()), Qt::KeepAspectRatio);
    return QRectF(QPointF((width() - fitted.width()) / 2.0, (height() - fitted.height()) / 2.0), fitted);
}

void PictureBox::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setClipRect(rect());
    renderer_.render(&painter, PictureRect());
}
