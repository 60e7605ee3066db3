#include "ColliApplication.h"
#include "MessageBoxes.h"

#include <gtest/gtest.h>

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    // Test listing at build time has no display either.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    MessageBoxes boxes;
    int status = 0;
    {
        ColliApplication application(argc, argv, boxes);
        status = RUN_ALL_TESTS();
    }
    // As the station ends: without the client library's exit handlers, which
    // would meet a background worker's call still given up inside it.
    std::fflush(nullptr);
    std::_Exit(status);
}
