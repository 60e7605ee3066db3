#include "dblocate/QuenIn2Form.h"
#include "dblocate/SettingsFile.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

namespace {

void Type(QWidget* target, const QString& text)
{
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(target, &release);
    }
}

void Press(QWidget* target, int key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

// Waits for the dialog to be up and active, then lets operator act on it.
void WhenDialogShows(std::function<void(TQuenIn2Form&)> operatorActs)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, operatorActs] {
        auto* form = dynamic_cast<TQuenIn2Form*>(QApplication::activeModalWidget());
        if (!form || !form->isActiveWindow())
            return;
        poll->stop();
        poll->deleteLater();
        operatorActs(*form);
    });
    poll->start(10);
}

struct Seen {
    QString caption;
    QString prompt;
    QFont font;
    int promptTop = 0;
    QWidget* focus = nullptr;
    QWidget* edit1 = nullptr;
};

TEST(QuenIn2FormTest, DesignedLayoutAndTabOrder)
{
    TQuenIn2Form form;
    EXPECT_EQ(form.size(), QSize(329, 148));
    EXPECT_EQ(form.PressedButton, 0);
    EXPECT_EQ(form.Bevel1->geometry(), QRect(8, 8, 313, 89));
    EXPECT_EQ(form.Label1->geometry(), QRect(13, 32, 192, 12));
    EXPECT_EQ(form.Edit1->geometry(), QRect(24, 56, 129, 20));
    EXPECT_EQ(form.Edit2->geometry(), QRect(168, 56, 127, 20));
    EXPECT_EQ(form.OKBtn->geometry(), QRect(93, 108, 77, 27));
    EXPECT_EQ(form.CancelBtn->geometry(), QRect(177, 108, 77, 27));
    EXPECT_EQ(form.OKBtn->text(), "OK");
    EXPECT_EQ(form.CancelBtn->text(), "Cancel");
    EXPECT_TRUE(form.OKBtn->isDefault());
    EXPECT_FALSE(form.OKBtn->icon().isNull());
    EXPECT_FALSE(form.CancelBtn->icon().isNull());

    std::vector<QWidget*> order;
    QWidget* w = form.Edit2;
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            order.push_back(w);
        w = w->nextInFocusChain();
    } while (w != form.Edit2);
    EXPECT_EQ(order, (std::vector<QWidget*>{form.Edit2, form.OKBtn, form.CancelBtn, form.Edit1}));
}

TEST(QuenIn2FormTest, OkAfterTypingReturnsBothTexts)
{
    Seen seen;
    WhenDialogShows([&](TQuenIn2Form& form) {
        // coming back to the dialog puts the focus on the computer name again
        form.Edit2->setFocus();
        QEvent activated(QEvent::WindowActivate);
        QApplication::sendEvent(&form, &activated);
        seen = {form.windowTitle(), form.Label1->text(), form.font(), form.Label1->y(),
                QApplication::focusWidget(), form.Edit1};
        Type(form.Edit1, "SRV");
        form.Edit2->setFocus();
        Type(form.Edit2, "D");
        form.OKBtn->click();
    });
    const auto answer = dblocate::RunServerDialog(nullptr);
    EXPECT_EQ(answer.pressedButton, 1);
    EXPECT_EQ(answer.serverName, "SRV");
    EXPECT_EQ(answer.driveLetter, "D");

    EXPECT_EQ(seen.caption, "Non trovato dati.ini");
    EXPECT_EQ(seen.prompt, QString::fromUtf8("Inserire il nome del computer e la lettera della sua\n"
                                             "unità disco dove risulta ospitato (o sarà ospitato) il database"));
    EXPECT_EQ(seen.font.family(), "Arial");
    EXPECT_EQ(seen.font.pointSize(), 8);
    EXPECT_FALSE(seen.font.bold());
    EXPECT_EQ(seen.promptTop, 22);
    EXPECT_EQ(seen.focus, seen.edit1); // focus on the computer name when the dialog is active
}

TEST(QuenIn2FormTest, EnterInEitherFieldConfirms)
{
    WhenDialogShows([](TQuenIn2Form& form) {
        Type(form.Edit1, "SRV");
        Press(form.Edit1, Qt::Key_Return);
    });
    auto answer = dblocate::RunServerDialog(nullptr);
    EXPECT_EQ(answer.pressedButton, 1);
    EXPECT_EQ(answer.serverName, "SRV");

    WhenDialogShows([](TQuenIn2Form& form) {
        form.Edit2->setFocus();
        Type(form.Edit2, "E");
        Press(form.Edit2, Qt::Key_Enter);
    });
    answer = dblocate::RunServerDialog(nullptr);
    EXPECT_EQ(answer.pressedButton, 1);
    EXPECT_EQ(answer.serverName, "");
    EXPECT_EQ(answer.driveLetter, "E");
}

TEST(QuenIn2FormTest, CancelEscAndCloseBox)
{
    WhenDialogShows([](TQuenIn2Form& form) {
        Type(form.Edit1, "SRV");
        form.CancelBtn->click();
    });
    EXPECT_EQ(dblocate::RunServerDialog(nullptr).pressedButton, 2);

    WhenDialogShows([](TQuenIn2Form& form) {
        Type(form.Edit1, "SRV");
        Press(form.Edit1, Qt::Key_Escape);
    });
    EXPECT_EQ(dblocate::RunServerDialog(nullptr).pressedButton, 2);

    WhenDialogShows([](TQuenIn2Form& form) { form.close(); });
    EXPECT_EQ(dblocate::RunServerDialog(nullptr).pressedButton, 0);
}

// The station's way of answering: message boxes left aside, the real dialog.
class DialogUi : public dblocate::LocationUi {
public:
    std::vector<std::string> messages;
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    ServerAnswer AskServerDialog() override { return dblocate::RunServerDialog(nullptr); }
};

TEST(QuenIn2FormTest, AnswerFromTheDialogIsStored)
{
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString() + "/";
    DialogUi ui;
    WhenDialogShows([](TQuenIn2Form& form) {
        Type(form.Edit1, "SRV");
        form.Edit2->setFocus();
        Type(form.Edit2, "D");
        Press(form.Edit2, Qt::Key_Return);
    });
    std::string server, drive;
    dblocate::AskServerLocation(folder, ui, server, drive);
    EXPECT_EQ(ui.messages, std::vector<std::string>{"Non trovato dati.ini"});
    EXPECT_EQ(server, "SRV");
    EXPECT_EQ(drive, "D");
    const dblocate::SettingsFile settings(folder + "dati.ini");
    EXPECT_EQ(settings.ReadString("CONFIG", "Nome Server"), "SRV");
    EXPECT_EQ(settings.ReadString("CONFIG", "Lettera Disco Server"), "D");
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen"); // also when tests are only listed
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
