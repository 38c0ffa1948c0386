// The HID device controller: finds HID devices, checks them out for this program, delivers
// their input reports and reports arrivals and removals. Every event is raised on the main
// thread (through os::MainLoop). No Qt, no Linux header here; the backends hide the system.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/os/Os.h"

namespace hid {

// A system backend (made by the functions below); its interface is private to the controller.
class Backend {
public:
    virtual ~Backend() = default;
};

// One attached HID device as the controller knows it. Owned by the controller.
class Device {
public:
    virtual ~Device() = default;
    virtual uint16_t VendorID() const = 0;
    virtual uint16_t ProductID() const = 0;
    // Length of an output report including the report-ID byte (65 for 64 data bytes).
    virtual int OutputReportLength() const = 0;
    virtual int InputReportLength() const = 0;
    // Synchronous write of one whole output report; report[0] is the report ID.
    // Safe to call from any thread while the device is checked out.
    virtual bool WriteReport(const uint8_t* report, std::size_t length) = 0;
    virtual std::string Path() const = 0;
    virtual bool IsCheckedOut() const = 0;
};

struct Events {
    // After the first scan and after every change of the attached set (removals first reported
    // through OnDeviceUnplug).
    std::function<void()> OnDeviceChange;
    // During Enumerate, once per attached device in list order; false stops the enumeration.
    std::function<bool(Device& device, int index)> OnEnumerate;
    // For every known device removed, checked out or not. The device object lives until the
    // handler returns.
    std::function<void(Device& device)> OnDeviceUnplug;
    // One input report of a checked-out device; the controller's read thread waits until the
    // handler has returned. data holds the report's data bytes (report ID not included).
    std::function<void(Device& device, uint8_t reportId, const uint8_t* data, uint16_t size)>
        OnDeviceData;
    // A read of a checked-out device failed with the system error code (errno).
    std::function<void(Device& device, uint32_t error)> OnDeviceDataError;
    // The system's device-change notice to the main window (WM_DEVICECHANGE), on every change.
    std::function<void()> OnSystemDeviceChange;
    // A device of interest exists but cannot be opened (for instance no permission); raised once
    // per device node, with a text the user can act on.
    std::function<void(const std::string& text)> OnAccessProblem;
    // Asked on the read thread before each input report is handed over: false drops the report
    // there, sparing the main thread a wake-up for a report it would ignore. Empty: all pass.
    // Must be safe to call from any thread.
    std::function<bool()> WantsReports;
};

class Controller {
public:
    Controller(os::MainLoop& loop, std::unique_ptr<Backend> backend);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    Events events;

    // Begins watching: the first scan is reported through OnDeviceChange once the loop runs.
    void Start();
    // Stops watching and checks in every device; no event is raised afterwards.
    void Stop();

    void Enumerate();
    // Reserves the device at index, opens it and starts delivering its reports.
    // False when it is already checked out or the index is out of range.
    bool CheckOutByIndex(Device*& device, int index);
    // Stops delivery, closes and releases the device; device becomes nullptr. A report being
    // handed over at that moment is never delivered.
    void CheckIn(Device*& device);

    // The devices currently known, in list order.
    int Count() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Linux hidraw: /sys/class/hidraw enumeration, /dev/hidrawN, udev or kernel uevent hot-plug.
std::unique_ptr<Backend> MakeHidrawBackend(uint16_t vendorOfInterest);

// Virtual devices, each speaking a stream of struct uhid_event records over one connection
// (socket pair or Unix stream socket): UHID_CREATE2 arrives, UHID_INPUT2 delivers an input
// report, UHID_DESTROY or a closed connection unplugs; output reports go back as UHID_OUTPUT.
// Records towards a peer are queued (bounded, as the kernel's uhid queue is), so a peer that
// stops reading makes writes fail instead of blocking the writer.
class VirtualHub {
public:
    VirtualHub();
    ~VirtualHub();
    // The backend to hand to a Controller; the hub feeds it. Call once.
    std::unique_ptr<Backend> MakeBackend();
    // Takes ownership of a connected stream socket: one device slot.
    void AddConnection(int fd);
    // Listens on a Unix stream socket at path; every accepted connection is one slot.
    bool Listen(const std::string& path, std::string* error);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

// Pure helpers of the hidraw backend, exposed for tests.
struct UeventIds {
    uint16_t bus = 0;
    uint16_t vendor = 0;
    uint16_t product = 0;
    std::string name;
};
// Parses a sysfs uevent text (KEY=VALUE lines); false without a valid HID_ID.
bool ParseHidUevent(const std::string& text, UeventIds* ids);
// Output (or input) report length in bytes including the report-ID byte, 0 when none.
int OutputReportLength(const uint8_t* descriptor, std::size_t size);
int InputReportLength(const uint8_t* descriptor, std::size_t size);

}  // namespace hid
