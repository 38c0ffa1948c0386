#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/ui/Ui.h"

int main(int argc, char** argv) {
    // Also when the test list is read without the test environment.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testing::InitGoogleTest(&argc, argv);
    ui::Application application(argc, argv, "dsp-updater-tests");
    return RUN_ALL_TESTS();
}
