#include "dblocate/QuenIn2Form.h"

#include <QEvent>
#include <QFont>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

TQuenIn2Form::TQuenIn2Form(QWidget* owner)
    : QDialog(owner)
    , Bevel1(new QFrame(this))
    , Label1(new QLabel(this))
    , Edit1(new QLineEdit(this))
    , Edit2(new QLineEdit(this))
    , OKBtn(new QPushButton(QStringLiteral("OK"), this))
    , CancelBtn(new QPushButton(QStringLiteral("Cancel"), this))
{
    setFixedSize(329, 148);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);
    setAutoFillBackground(true);

    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 313, 89);

    Label1->setGeometry(13, 32, 192, 12);
    Edit1->setGeometry(24, 56, 129, 20);
    Edit2->setGeometry(168, 56, 127, 20);

    OKBtn->setGeometry(93, 108, 77, 27);
    OKBtn->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    OKBtn->setDefault(true);
    CancelBtn->setGeometry(177, 108, 77, 27);
    CancelBtn->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));

    setTabOrder(Edit2, OKBtn);
    setTabOrder(OKBtn, CancelBtn);
    setTabOrder(CancelBtn, Edit1);

    connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
    connect(CancelBtn, &QPushButton::clicked, this, [this] { CancelBtnClick(); });
}

void TQuenIn2Form::FormActivate()
{
    Edit1->setFocus(Qt::ActiveWindowFocusReason);
}

void TQuenIn2Form::OKBtnClick()
{
    PressedButton = 1;
    accept();
}

void TQuenIn2Form::CancelBtnClick()
{
    PressedButton = 2;
    reject();
}

bool TQuenIn2Form::event(QEvent* event)
{
    const bool handled = QDialog::event(event);
    if (event->type() == QEvent::WindowActivate)
        FormActivate();
    return handled;
}

void TQuenIn2Form::keyPressEvent(QKeyEvent* event)
{
    // Esc is the Cancel button, not a silent close.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        CancelBtn->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TQuenIn2Form::showEvent(QShowEvent* event)
{
    if (!placed_) {
        placed_ = true;
        if (const QScreen* where = screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(where->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QDialog::showEvent(event);
}

namespace dblocate {

LocationUi::ServerAnswer RunServerDialog(QWidget* owner)
{
    TQuenIn2Form form(owner);
    form.setWindowTitle(QStringLiteral("Non trovato dati.ini"));
    form.Label1->setText(QString::fromUtf8("Inserire il nome del computer e la lettera della sua\n"
                                           "unità disco dove risulta ospitato (o sarà ospitato) il database"));
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(8);
    font.setBold(false);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    form.setFont(font);
    form.Label1->move(form.Label1->x(), 22);
    form.Label1->adjustSize();
    form.Edit1->clear();
    form.exec();
    return {form.PressedButton, form.Edit1->text().toStdString(), form.Edit2->text().toStdString()};
}

} // namespace dblocate
