#include "app/Updater.h"

UpdaterWindows::UpdaterWindows(std::unique_ptr<hid::Backend> hidBackend)
    : isp_(std::make_unique<TfmIsp>(std::move(hidBackend))),
      hidData_(std::make_unique<TfmHidData>()),
      progData_(std::make_unique<TfmProgData>()) {
    fmIsp = isp_.get();
    fmHidData = hidData_.get();
    fmProgData = progData_.get();
}

UpdaterWindows::~UpdaterWindows() {
    // The main window goes first: its link worker may still be logging to the HID log.
    isp_.reset();
    fmIsp = nullptr;
    fmHidData = nullptr;
    fmProgData = nullptr;
}

void UpdaterWindows::Start(bool show) {
    if (show) isp_->Show();
    isp_->HidCtl->Start();
}
