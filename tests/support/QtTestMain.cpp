// GoogleTest main for tests that need the window layer: one application for the whole run, on
// the offscreen platform unless a display was chosen.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/ui/Ui.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    ui::Application application(argc, argv, "dsp-updater-tests");
    return RUN_ALL_TESTS();
}
