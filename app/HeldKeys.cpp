#include "HeldKeys.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QWidget>

#ifndef _WIN32
#include <xcb/xcb.h>
#endif

namespace {

// A field the operator types into, in a dialog of its own.
bool TakesTyping(QObject* widget)
{
    const auto* field = qobject_cast<QLineEdit*>(widget);
    return field && !field->isReadOnly();
}

bool IsEnter(int key) { return key == Qt::Key_Return || key == Qt::Key_Enter; }

bool IsKey(const QEvent* event)
{
    return event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease;
}

// The station's steps start on the release of Enter: that ends a line.
bool EndsLine(const QEvent* event)
{
    return event->type() == QEvent::KeyRelease && IsEnter(static_cast<const QKeyEvent*>(event)->key());
}

} // namespace

QString TypedText(const std::deque<std::unique_ptr<QEvent>>& keys)
{
    QString text;
    for (const auto& event : keys) {
        if (event->type() != QEvent::KeyPress)
            continue;
        const auto* key = static_cast<const QKeyEvent*>(event.get());
        if (!IsEnter(key->key()))
            text += key->text();
    }
    return text;
}

HeldKeys::HeldKeys(QWidget* window, std::function<bool()> holding, std::function<void(const QString&)> ignored)
    : window_(window), holding_(std::move(holding)), ignored_(std::move(ignored))
{
    lineGap_.setSingleShot(true);
    lineGap_.setInterval(kLineGapMs);
    connect(&lineGap_, &QTimer::timeout, this, [this] { EndDroppedLine(); });
    QCoreApplication::instance()->installEventFilter(this);
    QCoreApplication::instance()->installNativeEventFilter(this);
}

HeldKeys::~HeldKeys()
{
    if (QCoreApplication::instance()) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
        QCoreApplication::instance()->removeEventFilter(this);
    }
}

bool HeldKeys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
#ifndef _WIN32
    if (eventType != "xcb_generic_event_t" || !holding_())
        return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    const auto kind = event->response_type & 0x7f;
    if (kind != XCB_KEY_PRESS && kind != XCB_KEY_RELEASE)
        return false;
    // A release has the press's layout.
    auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
    const QWidget* box = QApplication::activeModalWidget();
    if (box && box != window_ && window_->internalWinId() && key->event == window_->internalWinId() &&
        box->internalWinId())
        key->event = static_cast<xcb_window_t>(box->internalWinId());
#else
    (void)eventType;
    (void)message;
#endif
    return false;
}

bool HeldKeys::eventFilter(QObject* watched, QEvent* event)
{
    if (!IsKey(event) || !watched->isWidgetType())
        return false;
    const QWidget* window = static_cast<QWidget*>(watched)->window();
    if (window != window_ && TakesTyping(watched))
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (holding_()) {
        // The operator answers a box with Escape or an Alt access key, and
        // copies its text with Ctrl+C; a reader sends none of them.
        if (window != window_ &&
            (key->key() == Qt::Key_Escape || (key->modifiers() & (Qt::AltModifier | Qt::ControlModifier))))
            return false;
        held_.push_back(std::unique_ptr<QEvent>(event->clone()));
        event->accept();
        return true;
    }
    if (dropping_ && window == window_) {
        if (event->type() == QEvent::KeyPress && !IsEnter(key->key()))
            dropped_ += key->text();
        if (EndsLine(event))
            EndDroppedLine();
        else
            lineGap_.start();
        event->accept();
        return true;
    }
    return false;
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

void HeldKeys::DropLines()
{
    std::deque<std::unique_ptr<QEvent>> line;
    while (!held_.empty()) {
        line.push_back(std::move(held_.front()));
        held_.pop_front();
        if (EndsLine(line.back().get())) {
            ignored_(TypedText(line));
            line.clear();
        }
    }
    const QString begun = TypedText(line);
    if (begun.isEmpty() && line.empty())
        return;
    // The rest of this line may still be on its way from the reader.
    dropping_ = true;
    dropped_ += begun;
    lineGap_.start();
}

void HeldKeys::Forget()
{
    held_.clear();
    dropping_ = false;
    dropped_.clear();
    lineGap_.stop();
}

void HeldKeys::EndDroppedLine()
{
    lineGap_.stop();
    if (!dropping_)
        return;
    dropping_ = false;
    const QString text = std::exchange(dropped_, QString());
    if (!text.isEmpty())
        ignored_(text);
}
