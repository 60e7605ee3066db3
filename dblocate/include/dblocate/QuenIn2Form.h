#pragma once

#include "dblocate/DatabaseLocator.h"

#include <QDialog>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

// Small modal dialog asking for the database server's computer name (Edit1)
// and the drive letter of its disk (Edit2).
class TQuenIn2Form : public QDialog {
public:
    explicit TQuenIn2Form(QWidget* owner = nullptr);

    QFrame* Bevel1;
    QLabel* Label1;
    QLineEdit* Edit1;
    QLineEdit* Edit2;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;

    // 0 until a button is pressed, 1 after OK, 2 after Cancel (or Esc).
    qint16 PressedButton = 0;

    void FormActivate();
    void OKBtnClick();
    void CancelBtnClick();

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    bool placed_ = false;
};

namespace dblocate {

// Shows TQuenIn2Form owned by owner, captioned and worded for a missing server
// location, and returns the operator's answer once it closes.
LocationUi::ServerAnswer RunServerDialog(QWidget* owner);

} // namespace dblocate
