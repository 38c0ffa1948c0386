// Start-up of the updater: the main window and the two hidden diagnostic windows.
#pragma once

#include <memory>

#include "app/Fhiddata.h"
#include "app/Fprogdata.h"
#include "app/Isp.h"

constexpr const char* kAppId = "dsp-updater";

class UpdaterWindows {
public:
    explicit UpdaterWindows(std::unique_ptr<hid::Backend> hidBackend);
    ~UpdaterWindows();
    UpdaterWindows(const UpdaterWindows&) = delete;
    UpdaterWindows& operator=(const UpdaterWindows&) = delete;

    TfmIsp& isp() { return *isp_; }
    // Shows the main window (unless hidden is asked for) and starts watching for devices.
    void Start(bool show = true);

private:
    std::unique_ptr<TfmIsp> isp_;
    std::unique_ptr<TfmHidData> hidData_;
    std::unique_ptr<TfmProgData> progData_;
};
