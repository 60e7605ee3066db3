#include "MessaggioForm.h"

#include "PictureBox.h"
#include "StationFont.h"

#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace {

constexpr QRect kPictureFrame(24, 13, 101, 100);

} // namespace

// The pictures live in a static library: register them before the first window.
static void InitResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(images);
        return true;
    }();
    (void)registered;
}

TMessaggioForm::TMessaggioForm(QWidget* owner, std::uint8_t kind, const QString& text)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    InitResources();
    setWindowTitle(QStringLiteral("Messaggio"));
    setFont(StationFont());
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    setFixedSize(392, 185);
    setSizeGripEnabled(false);

    PanelClient = new QFrame(this);
    PanelClient->setObjectName(QStringLiteral("PanelClient"));
    PanelClient->setFrameShape(QFrame::NoFrame);
    PanelClient->setGeometry(0, 0, 392, 185);

    LabelAvviso = new QLabel(PanelClient);
    LabelAvviso->setObjectName(QStringLiteral("LabelAvviso"));
    LabelAvviso->setGeometry(144, 16, 225, 89);
    LabelAvviso->setAlignment(Qt::AlignCenter);
    LabelAvviso->setWordWrap(true);
    LabelAvviso->setTextFormat(Qt::PlainText);
    LabelAvviso->setForegroundRole(QPalette::WindowText);

    ImageErrore = new PictureBox(QStringLiteral(":/images/errore.svg"), PictureBox::Fit::Proportional, PanelClient);
    ImageErrore->setObjectName(QStringLiteral("ImageErrore"));
    ImageErrore->setGeometry(kPictureFrame);
    ImageErrore->setVisible(false);

    ButtonChiudi = new QPushButton(QStringLiteral("Ok"), PanelClient);
    ButtonChiudi->setObjectName(QStringLiteral("ButtonChiudi"));
    ButtonChiudi->setGeometry(152, 144, 87, 25);
    ButtonChiudi->setFocusPolicy(Qt::NoFocus);
    ButtonChiudi->setAutoDefault(false);
    ButtonChiudi->setDefault(false);
    connect(ButtonChiudi, &QPushButton::clicked, this, [this] { ButtonChiudiClick(); });

    ImageNotifica = new PictureBox(QStringLiteral(":/images/notifica.svg"), PictureBox::Fit::Clipped, PanelClient);
    ImageNotifica->setObjectName(QStringLiteral("ImageNotifica"));
    ImageNotifica->setGeometry(kPictureFrame);
    ImageNotifica->setVisible(false);

    ImageAvviso = new PictureBox(QStringLiteral(":/images/avviso.svg"), PictureBox::Fit::Clipped, PanelClient);
    ImageAvviso->setObjectName(QStringLiteral("ImageAvviso"));
    ImageAvviso->setGeometry(kPictureFrame);

    LabelAvviso->setText(text);
    ImageErrore->setVisible(kind == 2);
    ImageAvviso->setVisible(kind == 0);
    ImageNotifica->setVisible(kind == 1);
}

void TMessaggioForm::ButtonChiudiClick()
{
    done(QDialog::Rejected);
}

// Esc and the window manager's close request both arrive here; only "Ok" closes.
void TMessaggioForm::reject() {}

void TMessaggioForm::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void TMessaggioForm::showEvent(QShowEvent* event)
{
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(event);
}
