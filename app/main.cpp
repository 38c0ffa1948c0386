// dsp-updater: the updater on the system's HID devices. It takes no command line.
#include <exception>

#include "app/Updater.h"

int main(int argc, char** argv) {
    ui::Application application(argc, argv, kAppId);
    try {
        UpdaterWindows windows(hid::MakeHidrawBackend(kVendorId));
        windows.Start();
        return application.Run();
    } catch (const std::exception& error) {
        application.ShowException(error.what());
    } catch (...) {
        application.ShowException("");
    }
    return 0;
}
