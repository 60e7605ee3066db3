#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

class QEvent;
class QWidget;

// The one owner of the reader's keys while the station works. Keys typed
// while a step runs (a wait for the server, an outcome window, a box) are
// held here, whatever window they were aimed at, so a box is never closed by
// the reader's Enter and no part of a code reaches a field. When the step
// ended normally the held keys go on to the barcode field in order, as if
// typed after it; when it ended in a window or a box every held line is
// dropped whole and named, and so is the rest of a line begun meanwhile.
// Escape, Alt access keys and Ctrl shortcuts still reach a box (a reader
// sends none of them), and a text field of another window (the server
// dialog's) gets its keys as always.
class HeldKeys : public QObject, public QAbstractNativeEventFilter {
public:
    // Keys of a line begun before a box closed arrive within this time of
    // each other; a longer pause ends the dropped line.
    static constexpr int kLineGapMs = 1000;

    // holding: a step runs. ignored: one dropped line (its text as typed).
    HeldKeys(QWidget* window, std::function<bool()> holding, std::function<void(const QString&)> ignored);
    ~HeldKeys() override;

    // After a step that ended normally: the held keys, one at a time, to the
    // widget of the window that has the focus (fallback when none); a key that
    // starts another step holds those after it again, and that step decides.
    void Replay(QWidget* fallback);
    // After a step that ended in a window or a box.
    void DropLines();
    // The station is closing: nothing is handed on or named.
    void Forget();

    // Keys the system still sends to the station's window once a box blocks
    // it (the reader types on while the box comes up) would be dropped by Qt
    // before any event filter: they are sent to the box instead, where they
    // are held like the rest.
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void EndDroppedLine();

    QWidget* window_;
    std::function<bool()> holding_;
    std::function<void(const QString&)> ignored_;
    std::deque<std::unique_ptr<QEvent>> held_;
    bool dropping_ = false; // the rest of a line begun during a box is dropped too
    QString dropped_;
    QTimer lineGap_;
};

// The text a line's key presses typed, without its Enter.
QString TypedText(const std::deque<std::unique_ptr<QEvent>>& keys);
