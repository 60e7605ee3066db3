#include "MessageBoxes.h"
#include "StationBatchUi.h"

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QProgressDialog>
#include <QTest>
#include <QWidget>

namespace {

QProgressDialog* ShownProgress(QWidget& owner, StationBatchUi& ui)
{
    ui.Progress(0, 1000);
    auto* dialog = owner.findChild<QProgressDialog*>();
    if (dialog)
        dialog->show();
    return dialog;
}

} // namespace

// The batch is all or nothing: its progress window neither closes nor hides
// while the run goes on, so the station cannot take another action meanwhile.
TEST(BatchProgress, WindowCannotBeClosedWhileTheRunGoesOn)
{
    QWidget owner;
    owner.show();
    MessageBoxes boxes;
    StationBatchUi ui(&owner, boxes);
    QProgressDialog* dialog = ShownProgress(owner, ui);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowModality(), Qt::ApplicationModal);
    EXPECT_FALSE(dialog->windowFlags() & Qt::WindowCloseButtonHint);

    QTest::keyClick(dialog, Qt::Key_Escape);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->close());
    EXPECT_TRUE(dialog->isVisible());

    ui.Progress(500, 1000);
    EXPECT_EQ(dialog->value(), 500);
    ui.ProgressFinished();
    EXPECT_EQ(owner.findChild<QProgressDialog*>(), nullptr);
}
