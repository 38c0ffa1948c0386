#include "emulator/Uhid.h"

#include <linux/input.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace emu {

namespace {

// Vendor-defined usage page; 64 bytes in, 64 bytes out, no report ID.
constexpr uint8_t kReportDescriptor[] = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
    0x09, 0x01,        // Usage 1
    0xA1, 0x01,        // Collection (application)
    0x09, 0x02,        //   Usage 2
    0x15, 0x00,        //   Logical Minimum 0
    0x26, 0xFF, 0x00,  //   Logical Maximum 255
    0x75, 0x08,        //   Report Size 8
    0x95, 0x40,        //   Report Count 64
    0x81, 0x02,        //   Input (data, variable, absolute)
    0x09, 0x03,        //   Usage 3
    0x91, 0x02,        //   Output (data, variable, absolute)
    0xC0,              // End Collection
};
constexpr uint32_t kDeviceVersion = 0x0100;
constexpr char kPhys[] = "dsp-device-emulator";

uhid_event Blank(uint32_t type) {
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = type;
    return ev;
}

void CopyText(uint8_t* to, std::size_t capacity, const char* text) {
    std::size_t n = std::min(std::strlen(text), capacity - 1);
    std::memcpy(to, text, n);
}

}  // namespace

uhid_event MakeCreate(Personality personality) {
    uhid_event ev = Blank(UHID_CREATE2);
    uhid_create2_req& req = ev.u.create2;
    bool boot = personality == Personality::BootLoader;
    CopyText(req.name, sizeof req.name, boot ? "DSP Boot Loader" : "DSP Device");
    CopyText(req.phys, sizeof req.phys, kPhys);
    req.rd_size = sizeof kReportDescriptor;
    std::memcpy(req.rd_data, kReportDescriptor, sizeof kReportDescriptor);
    req.bus = BUS_USB;
    req.vendor = kVendorId;
    req.product = boot ? kBootLoaderProductId : kRunModeProductId;
    req.version = kDeviceVersion;
    return ev;
}

uhid_event MakeDestroy() { return Blank(UHID_DESTROY); }

uhid_event MakeInput(const Bytes& report) {
    uhid_event ev = Blank(UHID_INPUT2);
    std::size_t n = std::min<std::size_t>(report.size(), UHID_DATA_MAX);
    ev.u.input2.size = uint16_t(n);
    std::copy_n(report.begin(), n, ev.u.input2.data);
    return ev;
}

uhid_event MakeGetReportRefusal(uint32_t id) {
    uhid_event ev = Blank(UHID_GET_REPORT_REPLY);
    ev.u.get_report_reply.id = id;
    ev.u.get_report_reply.err = EIO;
    return ev;
}

uhid_event MakeSetReportRefusal(uint32_t id) {
    uhid_event ev = Blank(UHID_SET_REPORT_REPLY);
    ev.u.set_report_reply.id = id;
    ev.u.set_report_reply.err = EIO;
    return ev;
}

}  // namespace emu
