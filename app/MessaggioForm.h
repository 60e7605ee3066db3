#pragma once

#include <QDialog>

#include <cstdint>

class QFrame;
class QLabel;
class QPushButton;
class PictureBox;

// The modal window that shows the outcome of one scan step beside its picture.
// Only its "Ok" button closes it: neither Enter (a scanner's suffix) nor Esc does.
class TMessaggioForm : public QDialog {
public:
    // kind 0: ImageAvviso, 1: ImageNotifica, 2: ImageErrore, anything else no picture.
    TMessaggioForm(QWidget* owner, std::uint8_t kind, const QString& text);

    QFrame* PanelClient;
    QLabel* LabelAvviso;
    PictureBox* ImageErrore;
    QPushButton* ButtonChiudi;
    PictureBox* ImageNotifica;
    PictureBox* ImageAvviso;

    void ButtonChiudiClick();

    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
};
