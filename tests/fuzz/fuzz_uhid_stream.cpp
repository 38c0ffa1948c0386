// Writes arbitrary bytes as a device's uhid record stream into the virtual hub, with a
// controller that checks out every device that appears and answers each input report with an
// output report. A closing device of its own marks the end of the stream: once the controller
// has seen it, every byte before it has been handled. Then the peer hangs up, the controller
// sees its device go, and everything is torn down; nothing may crash, hang or leak.
#include <linux/uhid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "platform/hid/Hid.h"
#include "platform/os/Os.h"

namespace {

constexpr std::size_t kRecordSize = sizeof(uhid_event);
// Longer inputs are cut: a stream of this many records covers every rule of the hub.
constexpr std::size_t kMaxStreamBytes = 32 * kRecordSize;
// The end-of-stream device; its descriptor gives it 8-byte reports, unlike the device's own.
constexpr uint16_t kMarkerVendor = 0xFACE;
constexpr uint16_t kMarkerProduct = 0xB00C;
constexpr uint8_t kMarkerDescriptor[] = {0x75, 0x08, 0x95, 0x07, 0x81, 0x02, 0x91, 0x02};
// Far beyond what one input needs even under the sanitizers; reaching it means a hang.
constexpr auto kPatience = std::chrono::seconds(30);
constexpr auto kSlice = std::chrono::milliseconds(5);

[[noreturn]] void stuck(const char* what) {
    std::fprintf(stderr, "uhid stream stuck: %s\n", what);
    std::abort();
}

uhid_event markerRecord() {
    uhid_event record{};
    record.type = UHID_CREATE2;
    record.u.create2.rd_size = sizeof kMarkerDescriptor;
    record.u.create2.vendor = kMarkerVendor;
    record.u.create2.product = kMarkerProduct;
    std::memcpy(record.u.create2.rd_data, kMarkerDescriptor, sizeof kMarkerDescriptor);
    return record;
}

// The stream as sent: the input, zeros up to a whole record (a record of type 0 means
// nothing), then the marker device.
std::vector<uint8_t> streamFor(const uint8_t* bytes, std::size_t size) {
    size = std::min(size, kMaxStreamBytes);
    std::vector<uint8_t> stream(bytes, bytes + size);
    stream.resize((size + kRecordSize - 1) / kRecordSize * kRecordSize);
    const uhid_event marker = markerRecord();
    const auto* markerBytes = reinterpret_cast<const uint8_t*>(&marker);
    stream.insert(stream.end(), markerBytes, markerBytes + kRecordSize);
    return stream;
}

// Sends until done or the hub ended the connection.
void sendAll(int fd, const std::vector<uint8_t>& stream) {
    std::size_t sent = 0;
    while (sent < stream.size()) {
        ssize_t n = ::send(fd, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        sent += std::size_t(n);
    }
}

// Reads what the hub sends back; false once the hub has closed its side.
bool drainPeer(int fd) {
    uint8_t buffer[kRecordSize];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n == 0) return false;
        return errno == EAGAIN || errno == EINTR;
    }
}

class Session {
public:
    Session() : controller_(loop_, hub_.MakeBackend()) {
        hid::Events& events = controller_.events;
        events.OnDeviceChange = [this] { controller_.Enumerate(); };
        events.OnEnumerate = [this](hid::Device& device, int index) {
            if (device.VendorID() == kMarkerVendor && device.ProductID() == kMarkerProduct)
                markerSeen_ = true;
            hid::Device* checkedOut = nullptr;
            controller_.CheckOutByIndex(checkedOut, index);
            return true;
        };
        events.OnDeviceUnplug = [this](hid::Device& device) {
            hid::Device* released = &device;
            if (device.IsCheckedOut()) controller_.CheckIn(released);
        };
        events.OnDeviceData = [](hid::Device& device, uint8_t reportId, const uint8_t* data,
                                 uint16_t size) { answer(device, reportId, data, size); };
    }

    void run(const std::vector<uint8_t>& stream) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
        const int peer = fds[0];
        controller_.Start();
        hub_.AddConnection(fds[1]);
        std::thread sender([&] { sendAll(peer, stream); });
        bool connected = true;
        waitFor([&] {
            connected = connected && drainPeer(peer);
            return markerSeen_ || !connected;
        }, "end of stream");
        sender.join();
        ::shutdown(peer, SHUT_WR);
        waitFor([&] {
            drainPeer(peer);
            return controller_.Count() == 0;
        }, "hang-up");
        controller_.Stop();
        ::close(peer);
    }

private:
    // The report back, cut to what the device takes.
    static void answer(hid::Device& device, uint8_t reportId, const uint8_t* data, uint16_t size) {
        const int length = device.OutputReportLength();
        if (length <= 0) return;
        std::vector<uint8_t> report(std::size_t(length), 0);
        report[0] = reportId;
        std::memcpy(report.data() + 1, data, std::min<std::size_t>(size, report.size() - 1));
        device.WriteReport(report.data(), report.size());
    }

    void waitFor(const std::function<bool()>& done, const char* what) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (!loop_.runUntil(done, kSlice))
            if (std::chrono::steady_clock::now() > deadline) stuck(what);
    }

    os::QueueLoop loop_;
    hid::VirtualHub hub_;
    hid::Controller controller_;  // stopped before the hub goes
    bool markerSeen_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
    Session session;
    session.run(streamFor(bytes, size));
    return 0;
}
