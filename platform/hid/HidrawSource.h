// The Linux hidraw backend, with its file-system roots open for tests.
#pragma once

#include <memory>
#include <string>

#include "platform/hid/DeviceSource.h"

namespace hid {

struct HidrawRoots {
    std::string sysClass = "/sys/class/hidraw";
    std::string dev = "/dev";
    bool watch = true;  // follow hot-plug through a uevent monitor
};

std::unique_ptr<DeviceSource> MakeHidrawSource(uint16_t vendorOfInterest, HidrawRoots roots);

}  // namespace hid
