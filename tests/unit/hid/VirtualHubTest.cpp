#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdlib>
#include <numeric>

#include "tests/unit/hid/ControllerHarness.h"
#include "tests/unit/hid/UhidPeer.h"

namespace {

using namespace hidtest;

Bytes counting(std::size_t size, uint8_t first = 1) {
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

class VirtualHubTest : public testing::Test {
protected:
    void SetUp() override { h.controller.Start(); }

    void attach(UhidPeer& peer) { hub.AddConnection(peer.connect()); }
    bool waitCount(int count) { return h.runUntil([&] { return h.controller.Count() == count; }); }

    // A peer with one device of the given product, already known to the controller.
    void arrive(UhidPeer& peer, uint16_t product = kRunProduct, const Bytes& descriptor = kVendorDescriptor) {
        int before = h.controller.Count();
        attach(peer);
        ASSERT_TRUE(peer.create(kVendor, product, descriptor));
        ASSERT_TRUE(waitCount(before + 1));
    }

    hid::Device* checkOut(UhidPeer& peer, int index = 0) {
        hid::Device* device = nullptr;
        EXPECT_TRUE(h.controller.CheckOutByIndex(device, index));
        EXPECT_TRUE(peer.readType(UHID_OPEN).has_value());
        return device;
    }

    bool waitReports(std::size_t count) { return h.runUntil([&] { return h.reports.size() >= count; }); }

    hid::VirtualHub hub;
    Harness h{hub.MakeBackend()};
};

TEST_F(VirtualHubTest, FirstScanRaisesDeviceChangeOnly) {
    ASSERT_TRUE(h.runUntil([&] { return h.changes == 1; }));
    EXPECT_EQ(h.controller.Count(), 0);
    EXPECT_EQ(h.log, std::vector<std::string>{"change"});
}

TEST_F(VirtualHubTest, CreatedDeviceIsListedWithIdsAndLengths) {
    UhidPeer peer;
    arrive(peer);
    auto seen = h.enumerate();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].vendor, kVendor);
    EXPECT_EQ(seen[0].product, kRunProduct);
    EXPECT_EQ(seen[0].output, 65);
    EXPECT_EQ(seen[0].input, 65);
    EXPECT_FALSE(seen[0].path.empty());
    EXPECT_FALSE(seen[0].device->IsCheckedOut());
    EXPECT_TRUE(peer.readType(UHID_START).has_value());
    EXPECT_TRUE(h.runUntil([&] { return !h.log.empty() && h.log.back() == "change"; }));
}

TEST_F(VirtualHubTest, CheckedOutDeviceExchangesReports) {
    UhidPeer peer;
    arrive(peer);
    hid::Device* device = checkOut(peer);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->IsCheckedOut());

    hid::Device* other = nullptr;
    EXPECT_FALSE(h.controller.CheckOutByIndex(other, 0));  // already checked out
    EXPECT_FALSE(h.controller.CheckOutByIndex(other, 1));
    EXPECT_FALSE(h.controller.CheckOutByIndex(other, -1));
    EXPECT_EQ(other, nullptr);

    Bytes input = counting(64, 0x80);
    ASSERT_TRUE(peer.input(input));
    ASSERT_TRUE(waitReports(1));
    EXPECT_EQ(h.reports[0].device, device);
    EXPECT_EQ(h.reports[0].id, 0);
    EXPECT_EQ(h.reports[0].data, input);

    Bytes output = counting(65, 0);
    ASSERT_TRUE(device->WriteReport(output.data(), output.size()));
    auto written = peer.readType(UHID_OUTPUT);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->u.output.size, 65);
    EXPECT_EQ(written->u.output.rtype, UHID_OUTPUT_REPORT);
    EXPECT_EQ(Bytes(written->u.output.data, written->u.output.data + 65), output);

    hid::Device* stale = device;
    h.controller.CheckIn(device);
    EXPECT_EQ(device, nullptr);
    EXPECT_TRUE(peer.readType(UHID_CLOSE).has_value());
    EXPECT_FALSE(stale->IsCheckedOut());
    EXPECT_FALSE(stale->WriteReport(output.data(), output.size()));

    device = checkOut(peer);  // a checked-in device can be checked out again
    ASSERT_NE(device, nullptr);
}

TEST_F(VirtualHubTest, ReportIdOfNumberedDeviceIsSplitOff) {
    const Bytes numbered = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x75, 0x08,
                            0x95, 0x08, 0x09, 0x02, 0x81, 0x02, 0x09, 0x03, 0x91, 0x02, 0xC0};
    UhidPeer peer;
    arrive(peer, kRunProduct, numbered);
    EXPECT_EQ(h.enumerate()[0].output, 9);
    checkOut(peer);
    Bytes input = {0x02, 1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(peer.input(input));
    ASSERT_TRUE(waitReports(1));
    EXPECT_EQ(h.reports[0].id, 2);
    EXPECT_EQ(h.reports[0].data, Bytes(input.begin() + 1, input.end()));
}

TEST_F(VirtualHubTest, RecreatedDeviceIsNewArrivalAndEarlierReportsAreDropped) {
    UhidPeer peer;
    arrive(peer);
    hid::Device* first = h.enumerate()[0].device;
    // Not checked out: this report is lost, as on a closed hidraw node.
    ASSERT_TRUE(peer.input(Bytes(64, 0xAA)));
    ASSERT_TRUE(peer.destroy());
    ASSERT_TRUE(peer.create(kVendor, kBootProduct));
    ASSERT_TRUE(h.runUntil([&] { return h.unplugged.size() == 1 && h.controller.Count() == 1; }));
    EXPECT_EQ(h.unplugged[0], kRunProduct);
    auto seen = h.enumerate();
    EXPECT_EQ(seen[0].product, kBootProduct);
    EXPECT_NE(seen[0].device, first);

    checkOut(peer);
    Bytes input = counting(64);
    ASSERT_TRUE(peer.input(input));
    ASSERT_TRUE(waitReports(1));
    h.drain();
    ASSERT_EQ(h.reports.size(), 1u);
    EXPECT_EQ(h.reports[0].data, input);
}

TEST_F(VirtualHubTest, DestroyUnplugsBeforeTheChangeNotices) {
    UhidPeer peer;
    arrive(peer);
    hid::Device* device = checkOut(peer);
    int countInHandler = -1;
    h.onUnplug = [&](hid::Device& gone) {
        EXPECT_EQ(&gone, device);
        EXPECT_EQ(gone.VendorID(), kVendor);
        countInHandler = h.controller.Count();
        h.controller.CheckIn(device);
    };
    h.drain();
    h.log.clear();
    ASSERT_TRUE(peer.destroy());
    ASSERT_TRUE(h.runUntil([&] { return h.log.size() == 3; }));
    EXPECT_EQ(h.log, (std::vector<std::string>{"unplug", "system", "change"}));
    EXPECT_EQ(countInHandler, 0);
    EXPECT_EQ(device, nullptr);
}

TEST_F(VirtualHubTest, UnplugChecksInWhatTheHandlerLeftCheckedOut) {
    UhidPeer peer;
    arrive(peer);
    hid::Device* device = checkOut(peer);
    ASSERT_TRUE(peer.destroy());
    ASSERT_TRUE(h.runUntil([&] { return h.unplugged.size() == 1; }));
    EXPECT_FALSE(device->IsCheckedOut());
    uint8_t report[65] = {};
    EXPECT_FALSE(device->WriteReport(report, sizeof report));  // the object outlives the unplug
}

TEST_F(VirtualHubTest, ClosedConnectionUnplugs) {
    UhidPeer peer;
    arrive(peer);
    peer.close();
    ASSERT_TRUE(h.runUntil([&] { return h.unplugged.size() == 1; }));
    EXPECT_EQ(h.controller.Count(), 0);
}

TEST_F(VirtualHubTest, DevicesAreListedInArrivalOrder) {
    UhidPeer run, boot;
    arrive(run, kRunProduct);
    arrive(boot, kBootProduct);
    auto seen = h.enumerate();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].product, kRunProduct);
    EXPECT_EQ(seen[1].product, kBootProduct);

    int visited = 0;
    h.controller.events.OnEnumerate = [&](hid::Device&, int) { return ++visited < 1; };
    h.controller.Enumerate();
    EXPECT_EQ(visited, 1);  // false stops the enumeration

    ASSERT_TRUE(run.destroy());
    ASSERT_TRUE(waitCount(1));
    EXPECT_EQ(h.enumerate()[0].product, kBootProduct);
}

TEST_F(VirtualHubTest, CheckInWhileReportIsHandedOverDropsIt) {
    UhidPeer peer;
    arrive(peer);
    hid::Device* device = checkOut(peer);
    int postsAtFirstReport = 0;
    h.onData = [&](hid::Device&) { postsAtFirstReport = h.loop.posts(); };
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(peer.input(counting(64, static_cast<uint8_t>(i))));
    ASSERT_TRUE(waitReports(1));
    // The read thread has queued the second report and waits for it to be taken.
    ASSERT_TRUE(h.loop.waitPostsAbove(postsAtFirstReport));
    h.controller.CheckIn(device);
    h.drain();
    EXPECT_EQ(h.reports.size(), 1u);
    EXPECT_TRUE(peer.readType(UHID_CLOSE).has_value());
}

TEST_F(VirtualHubTest, CheckInFromOwnReportHandler) {
    UhidPeer peer;
    arrive(peer);
    checkOut(peer);
    h.onData = [&](hid::Device& device) {
        hid::Device* held = &device;
        h.controller.CheckIn(held);
        EXPECT_EQ(held, nullptr);
    };
    ASSERT_TRUE(peer.input(counting(64)));
    ASSERT_TRUE(peer.input(counting(64)));
    ASSERT_TRUE(waitReports(1));
    EXPECT_TRUE(peer.readType(UHID_CLOSE).has_value());
    h.drain();
    EXPECT_EQ(h.reports.size(), 1u);

    h.onData = nullptr;
    checkOut(peer);  // the ended read thread is reaped, a new one takes over
    ASSERT_TRUE(peer.input(counting(64)));
    EXPECT_TRUE(waitReports(2));
}

TEST_F(VirtualHubTest, StopEndsAllEvents) {
    UhidPeer peer;
    arrive(peer);
    checkOut(peer);
    h.controller.Stop();
    h.log.clear();
    ASSERT_TRUE(peer.input(counting(64)));
    ASSERT_TRUE(peer.destroy());
    ASSERT_TRUE(peer.create(kVendor, kBootProduct));
    EXPECT_TRUE(peer.readType(UHID_START).has_value());  // the hub has seen the records
    h.drain();
    EXPECT_TRUE(h.log.empty());
    EXPECT_TRUE(h.reports.empty());
}

TEST_F(VirtualHubTest, StopFromReportHandler) {
    UhidPeer peer;
    arrive(peer);
    checkOut(peer);
    h.onData = [&](hid::Device&) { h.controller.Stop(); };
    ASSERT_TRUE(peer.input(counting(64)));
    ASSERT_TRUE(peer.input(counting(64)));
    ASSERT_TRUE(waitReports(1));
    EXPECT_TRUE(peer.readType(UHID_CLOSE).has_value());
    h.drain();
    EXPECT_EQ(h.reports.size(), 1u);
    EXPECT_EQ(h.controller.Count(), 0);
}

TEST_F(VirtualHubTest, RecordsSplitAcrossWritesAreJoined) {
    UhidPeer peer;
    attach(peer);
    uhid_event record{};
    record.type = UHID_CREATE2;
    record.u.create2.rd_size = static_cast<uint16_t>(kVendorDescriptor.size());
    record.u.create2.vendor = kVendor;
    record.u.create2.product = kBootProduct;
    std::memcpy(record.u.create2.rd_data, kVendorDescriptor.data(), kVendorDescriptor.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    ASSERT_TRUE(peer.sendBytes(bytes, 3));
    h.drain();
    ASSERT_TRUE(peer.sendBytes(bytes + 3, 1000));
    h.drain();
    EXPECT_EQ(h.controller.Count(), 0);
    ASSERT_TRUE(peer.sendBytes(bytes + 1003, sizeof record - 1003));
    ASSERT_TRUE(waitCount(1));
    EXPECT_EQ(h.enumerate()[0].product, kBootProduct);
}

TEST_F(VirtualHubTest, UnknownRecordsAreIgnored) {
    UhidPeer peer;
    arrive(peer);
    checkOut(peer);
    ASSERT_TRUE(peer.sendType(99));
    ASSERT_TRUE(peer.sendType(UHID_OUTPUT));  // a host-bound type coming from the device
    ASSERT_TRUE(peer.sendType(UHID_START));
    Bytes input = counting(64);
    ASSERT_TRUE(peer.input(input));
    ASSERT_TRUE(waitReports(1));
    EXPECT_EQ(h.reports[0].data, input);
    EXPECT_EQ(h.controller.Count(), 1);
}

struct MalformedCase {
    const char* name;
    std::function<void(uhid_event&)> corrupt;
};

void PrintTo(const MalformedCase& c, std::ostream* out) { *out << c.name; }

class MalformedRecord : public VirtualHubTest, public testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedRecord, ClosesTheSlot) {
    UhidPeer peer;
    arrive(peer);
    checkOut(peer);
    uhid_event record{};
    GetParam().corrupt(record);
    ASSERT_TRUE(peer.send(record));
    ASSERT_TRUE(h.runUntil([&] { return h.unplugged.size() == 1; }));
    EXPECT_EQ(h.controller.Count(), 0);
    EXPECT_TRUE(peer.waitClosed());
    h.drain();
    EXPECT_TRUE(h.reports.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Records, MalformedRecord,
    testing::Values(
        MalformedCase{"DescriptorTooLong",
                      [](uhid_event& r) {
                          r.type = UHID_CREATE2;
                          r.u.create2.rd_size = HID_MAX_DESCRIPTOR_SIZE + 1;
                      }},
        MalformedCase{"AllOnesCreate",
                      [](uhid_event& r) {
                          std::memset(&r, 0xFF, sizeof r);
                          r.type = UHID_CREATE2;
                      }},
        MalformedCase{"InputTooLong",
                      [](uhid_event& r) {
                          r.type = UHID_INPUT2;
                          r.u.input2.size = UHID_DATA_MAX + 1;
                      }}),
    [](const testing::TestParamInfo<MalformedCase>& info) { return std::string(info.param.name); });

TEST_F(VirtualHubTest, WriteToStalledPeerFailsInsteadOfBlocking) {
    UhidPeer peer;  // never reads
    arrive(peer);
    hid::Device* device = nullptr;
    ASSERT_TRUE(h.controller.CheckOutByIndex(device, 0));
    Bytes output(65, 0x55);
    bool failed = false;
    for (int i = 0; i < 10000 && !failed; ++i) failed = !device->WriteReport(output.data(), output.size());
    EXPECT_TRUE(failed);
}

// Output reports go straight to the socket while it has room and wait in the hub's queue when it
// has not, so a record may leave in two parts; the peer must still get every accepted report
// whole and in order.
TEST_F(VirtualHubTest, ReportsToASlowPeerArriveWholeAndInOrder) {
    UhidPeer peer;
    int hubEnd = peer.connect();
    // A send buffer so small that the socket takes a record in two pieces (the kernel doubles
    // the value and sends a stream in pieces of about half of it), so one is cut when it fills.
    const int sendBuffer = int(sizeof(uhid_event)) * 9 / 10;
    ASSERT_EQ(::setsockopt(hubEnd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer), 0);
    hub.AddConnection(hubEnd);
    ASSERT_TRUE(peer.create(kVendor, kRunProduct));
    ASSERT_TRUE(waitCount(1));
    hid::Device* device = checkOut(peer);
    ASSERT_NE(device, nullptr);

    int accepted = 0;
    for (; accepted < 1000; ++accepted) {
        Bytes output(65, 0);
        output[1] = static_cast<uint8_t>(accepted);
        output[64] = static_cast<uint8_t>(~accepted);
        if (!device->WriteReport(output.data(), output.size())) break;
    }
    ASSERT_GT(accepted, 2);
    ASSERT_LT(accepted, 1000);  // the peer never read: the queue filled up

    for (int i = 0; i < accepted; ++i) {
        std::optional<uhid_event> record = peer.readType(UHID_OUTPUT);
        ASSERT_TRUE(record.has_value()) << "report " << i;
        ASSERT_EQ(record->u.output.size, 65);
        EXPECT_EQ(record->u.output.data[1], static_cast<uint8_t>(i));
        EXPECT_EQ(record->u.output.data[64], static_cast<uint8_t>(~i));
    }
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/hid-test.XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

int connectTo(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST_F(VirtualHubTest, ListenTakesEachConnectionAsASlot) {
    TempDir dir;
    std::string path = dir.path + "/devices.sock";
    {
        // A socket file left behind by an earlier run.
        int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(stale);
    }
    std::string error;
    ASSERT_TRUE(hub.Listen(path, &error)) << error;
    UhidPeer run(connectTo(path)), boot(connectTo(path));
    ASSERT_GE(run.fd(), 0);
    ASSERT_GE(boot.fd(), 0);
    ASSERT_TRUE(run.create(kVendor, kRunProduct));
    ASSERT_TRUE(waitCount(1));
    ASSERT_TRUE(boot.create(kVendor, kBootProduct));
    ASSERT_TRUE(waitCount(2));
    auto seen = h.enumerate();
    EXPECT_EQ(seen[0].product, kRunProduct);
    EXPECT_EQ(seen[1].product, kBootProduct);
    boot.close();
    ASSERT_TRUE(waitCount(1));
}

TEST_F(VirtualHubTest, ListenKeepsFilesThatAreNoSockets) {
    TempDir dir;
    std::string path = dir.path + "/not-a-socket";
    std::system(("touch '" + path + "'").c_str());
    std::string error;
    EXPECT_FALSE(hub.Listen(path, &error));
    EXPECT_NE(error.find(path), std::string::npos);
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
}

}  // namespace
