// The outcome window: layout, pictures per kind, and the keys that must not close it.
#include "MessaggioForm.h"
#include "PictureBox.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

TEST(MessaggioForm, LayoutMatchesTheDesign)
{
    TMessaggioForm form(nullptr, 0, "EAN OK");
    EXPECT_EQ(form.windowTitle(), "Messaggio");
    EXPECT_EQ(form.size(), QSize(392, 185));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    const Qt::WindowFlags flags = form.windowFlags();
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
    EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(flags & Qt::WindowMinMaxButtonsHint);

    EXPECT_EQ(form.PanelClient->geometry(), QRect(0, 0, 392, 185));
    EXPECT_EQ(form.LabelAvviso->geometry(), QRect(144, 16, 225, 89));
    EXPECT_EQ(form.LabelAvviso->alignment(), Qt::AlignCenter);
    EXPECT_TRUE(form.LabelAvviso->wordWrap());
    EXPECT_EQ(form.LabelAvviso->text(), "EAN OK");
    for (QWidget* picture : {static_cast<QWidget*>(form.ImageErrore), static_cast<QWidget*>(form.ImageNotifica),
                             static_cast<QWidget*>(form.ImageAvviso)})
        EXPECT_EQ(picture->geometry(), QRect(24, 13, 101, 100));
    EXPECT_EQ(form.ButtonChiudi->geometry(), QRect(152, 144, 87, 25));
    EXPECT_EQ(form.ButtonChiudi->text(), "Ok");
    EXPECT_EQ(form.ButtonChiudi->focusPolicy(), Qt::NoFocus);
    EXPECT_FALSE(form.ButtonChiudi->isDefault());
    EXPECT_FALSE(form.ButtonChiudi->autoDefault());

    // Components in declaration order.
    QStringList names;
    for (QObject* child : form.PanelClient->children())
        names << child->objectName();
    EXPECT_EQ(names, (QStringList{"LabelAvviso", "ImageErrore", "ButtonChiudi", "ImageNotifica", "ImageAvviso"}));
}

TEST(MessaggioForm, BackgroundIsTheButtonFace)
{
    TMessaggioForm form(nullptr, 0, "EAN OK");
    QPalette palette = form.palette();
    palette.setColor(QPalette::Window, Qt::red);
    palette.setColor(QPalette::Button, Qt::blue);
    form.setPalette(palette);
    const QImage image = form.grab().toImage();
    EXPECT_EQ(QColor(image.pixel(5, 5)), QColor(Qt::blue));
    EXPECT_EQ(QColor(image.pixel(380, 130)), QColor(Qt::blue));
}

TEST(MessaggioForm, KindChoosesThePicture)
{
    struct Case {
        std::uint8_t kind;
        bool errore, notifica, avviso;
    };
    for (const Case c : {Case{0, false, false, true}, Case{1, false, true, false}, Case{2, true, false, false},
                         Case{3, false, false, false}, Case{255, false, false, false}}) {
        TMessaggioForm form(nullptr, c.kind, "x");
        EXPECT_EQ(!form.ImageErrore->isHidden(), c.errore) << int(c.kind);
        EXPECT_EQ(!form.ImageNotifica->isHidden(), c.notifica) << int(c.kind);
        EXPECT_EQ(!form.ImageAvviso->isHidden(), c.avviso) << int(c.kind);
    }
}

TEST(MessaggioForm, PicturesAreScaledOrClippedByKind)
{
    TMessaggioForm form(nullptr, 0, "x");
    // The error picture shrinks whole into the frame, centred.
    EXPECT_EQ(form.ImageErrore->PictureSize(), QSize(250, 250));
    EXPECT_EQ(form.ImageErrore->PictureRect(), QRectF(0.5, 0, 100, 100));
    // The other two keep their own size from the top-left corner; the frame cuts them.
    EXPECT_EQ(form.ImageAvviso->PictureSize(), QSize(100, 104));
    EXPECT_EQ(form.ImageAvviso->PictureRect(), QRectF(0, 0, 100, 104));
    EXPECT_EQ(form.ImageNotifica->PictureSize(), QSize(475, 338));
    EXPECT_EQ(form.ImageNotifica->PictureRect().topLeft(), QPointF(0, 0));

    // Each picture really draws something in its frame.
    for (std::uint8_t kind : {0, 1, 2}) {
        TMessaggioForm shown(nullptr, kind, "x");
        const QImage image = shown.grab(QRect(24, 13, 101, 100)).toImage();
        int dark = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                dark += qGray(image.pixel(x, y)) < 128;
        EXPECT_GT(dark, 200) << int(kind);
    }
}

TEST(MessaggioForm, LongTextWrapsInsideTheLabel)
{
    const QString text = "codice EAN sconosciuto: controllare l'etichetta del collo e ripetere la lettura del codice";
    TMessaggioForm form(nullptr, 2, text);
    const int lineHeight = form.LabelAvviso->fontMetrics().height();
    EXPECT_GT(form.LabelAvviso->heightForWidth(225), lineHeight);
    EXPECT_LE(form.LabelAvviso->heightForWidth(225), 89);
}

// Runs the window modally; while it is open, check() presses keys at it.
void RunModal(TMessaggioForm& form, const std::function<void()>& whileOpen)
{
    bool ran = false;
    QTimer::singleShot(0, [&] {
        ran = true;
        EXPECT_EQ(QApplication::activeModalWidget(), &form);
        whileOpen();
    });
    form.exec();
    EXPECT_TRUE(ran);
}

TEST(MessaggioForm, EnterAndEscDoNotCloseIt)
{
    TMessaggioForm form(nullptr, 1, "EAN ERRATO: RISTAMPA");
    bool stillOpen = false;
    RunModal(form, [&] {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : &form;
        for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            QTest::keyClick(target, static_cast<Qt::Key>(key));
            QTest::keyClick(&form, static_cast<Qt::Key>(key));
        }
        form.close(); // the window manager's close request
        QCoreApplication::processEvents();
        stillOpen = form.isVisible();
        form.ButtonChiudi->click();
    });
    EXPECT_TRUE(stillOpen);
    EXPECT_FALSE(form.isVisible());
}

TEST(MessaggioForm, OkClosesIt)
{
    TMessaggioForm form(nullptr, 0, "EAN OK");
    RunModal(form, [&] { QTest::mouseClick(form.ButtonChiudi, Qt::LeftButton); });
    EXPECT_FALSE(form.isVisible());
}

} // namespace
