#include "HeldKeys.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWidget>

HeldKeys::HeldKeys(QWidget* window, std::function<bool()> holding)
    : window_(window), holding_(std::move(holding))
{
    QCoreApplication::instance()->installEventFilter(this);
}

HeldKeys::~HeldKeys()
{
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(this);
}

bool HeldKeys::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
        return false;
    if (!watched->isWidgetType() || !holding_())
        return false;
    const QWidget* window = static_cast<QWidget*>(watched)->window();
    if (window != window_ && !window->property(kWaitWindowProperty).toBool())
        return false;
    held_.push_back(std::unique_ptr<QEvent>(event->clone()));
    event->accept(); // taken: not handed on to the parents
    return true;
}

void HeldKeys::Replay(QWidget* fallback)
{
    while (!held_.empty() && !holding_()) {
        const std::unique_ptr<QEvent> key = std::move(held_.front());
        held_.pop_front();
        QWidget* target = window_->focusWidget();
        QCoreApplication::sendEvent(target ? target : fallback, key.get());
    }
}
