#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <memory>

class QEvent;
class QWidget;

// Keys meant for the station's window while one of its handlers runs (a wait
// pumps events, the batch shows its progress) are held here instead of
// reaching a field the handler is about to empty, and handed on in order once
// it has ended, as a station on one thread would have taken them. Keys for a
// box or window of the operator's (modal) go to it as always.
class HeldKeys : public QObject {
public:
    // A window marked with this property holds its keys like the station's
    // own window: it only shows that the station is working.
    static constexpr const char* kWaitWindowProperty = "colliHoldsKeys";

    // Installs itself on the application; holding tells when a handler runs.
    HeldKeys(QWidget* window, std::function<bool()> holding);
    ~HeldKeys() override;

    // Hands the held keys, one at a time, to the widget of the window that has
    // the focus (fallback when none); a key that starts another handler holds
    // those after it again, and that handler's end hands them on.
    void Replay(QWidget* fallback);
    void Drop() { held_.clear(); }
    std::size_t Count() const { return held_.size(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* window_;
    std::function<bool()> holding_;
    std::deque<std::unique_ptr<QEvent>> held_;
};
