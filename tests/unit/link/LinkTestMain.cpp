#include <gtest/gtest.h>

#include <cstdlib>

#include "link/Lusb.h"
#include "platform/ui/Ui.h"

int main(int argc, char** argv) {
    // The keep-alive timer needs the window layer; run it headless unless a display was chosen.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testing::InitGoogleTest(&argc, argv);
    ui::Application app(argc, argv, "dsp-link-tests");
    const int result = RUN_ALL_TESTS();
    // Links stopped from inside their own reply may still be finishing.
    if (!LUsb::WaitForAllWorkers(LUsb::kStopWaitMs)) return 1;
    return result;
}
