#include "ColliApplication.h"
#include "MessageBoxes.h"

#include <gtest/gtest.h>

#include <QtGlobal>

int main(int argc, char** argv)
{
    // Test listing at build time has no display either.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    MessageBoxes boxes;
    ColliApplication application(argc, argv, boxes);
    return RUN_ALL_TESTS();
}
