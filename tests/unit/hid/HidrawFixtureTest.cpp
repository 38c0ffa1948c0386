#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <numeric>

#include "platform/hid/HidrawSource.h"
#include "tests/unit/hid/ControllerHarness.h"
#include "tests/unit/hid/UhidPeer.h"

namespace {

using namespace hidtest;

enum class Node { Fifo, Missing };

// A fake /sys/class/hidraw and /dev in a temporary folder.
class HidrawFixture : public testing::Test {
protected:
    HidrawFixture() {
        char pattern[] = "/tmp/hidraw-fixture.XXXXXX";
        root_ = ::mkdtemp(pattern);
        sys_ = root_ + "/sys/class/hidraw";
        dev_ = root_ + "/dev";
        std::system(("mkdir -p '" + sys_ + "' '" + dev_ + "'").c_str());
    }
    ~HidrawFixture() override { std::system(("rm -rf '" + root_ + "'").c_str()); }

    void addNode(const std::string& name, const std::string& uevent, const Bytes* descriptor, Node node) {
        std::string device = sys_ + "/" + name + "/device";
        std::system(("mkdir -p '" + device + "'").c_str());
        if (!uevent.empty()) std::ofstream(device + "/uevent") << uevent;
        if (descriptor) {
            std::ofstream(device + "/report_descriptor", std::ios::binary)
                .write(reinterpret_cast<const char*>(descriptor->data()),
                       static_cast<std::streamsize>(descriptor->size()));
        }
        if (node == Node::Fifo) {
            ASSERT_EQ(::mkfifo((dev_ + "/" + name).c_str(), 0600), 0);
        }
    }

    std::unique_ptr<hid::Backend> backend() {
        return hid::MakeHidrawSource(kVendor, hid::HidrawRoots{sys_, dev_, false});
    }

    std::string root_, sys_, dev_;
};

const Bytes kMouse = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x03, 0x81, 0x06, 0xC0};

TEST_F(HidrawFixture, ListsNodesInNumberOrderWithIdsAndLengths) {
    addNode("hidraw10", "HID_ID=0003:00000168:00000904\nHID_NAME=boot\n", nullptr, Node::Missing);
    addNode("hidraw2", "HID_ID=0003:00000168:00000821\n", &kVendorDescriptor, Node::Fifo);
    addNode("hidraw1", "HID_ID=0003:0000046D:0000C077\n", &kMouse, Node::Missing);
    addNode("hidraw3", "", nullptr, Node::Fifo);             // no uevent: not a device we can name
    addNode("hidrawx", "HID_ID=0003:00000168:00000821\n", nullptr, Node::Fifo);  // not a node name

    Harness h(backend());
    h.controller.Start();
    ASSERT_TRUE(h.runUntil([&] { return h.changes == 1; }));
    auto seen = h.enumerate();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].path, dev_ + "/hidraw1");
    EXPECT_EQ(seen[0].vendor, 0x046D);
    EXPECT_EQ(seen[0].input, 4);
    EXPECT_EQ(seen[0].output, 0);
    EXPECT_EQ(seen[1].path, dev_ + "/hidraw2");
    EXPECT_EQ(seen[1].product, kRunProduct);
    EXPECT_EQ(seen[1].output, 65);
    // No descriptor and no node to ask: the device's usual lengths.
    EXPECT_EQ(seen[2].path, dev_ + "/hidraw10");
    EXPECT_EQ(seen[2].product, kBootProduct);
    EXPECT_EQ(seen[2].output, 65);
    EXPECT_EQ(seen[2].input, 65);

    // Only the device of interest that cannot be opened is reported; the mouse is not ours.
    ASSERT_EQ(h.problems.size(), 1u);
    EXPECT_EQ(h.problems[0], "Cannot open " + dev_ +
                                 "/hidraw10 (No such file or directory): install the udev rule "
                                 "(see README, Device access) or re-plug the device");
    hid::Device* device = nullptr;
    EXPECT_FALSE(h.controller.CheckOutByIndex(device, 2));
}

TEST_F(HidrawFixture, CheckedOutNodeIsWrittenAndRead) {
    addNode("hidraw0", "HID_ID=0003:00000168:00000821\n", &kVendorDescriptor, Node::Fifo);
    Harness h(backend());
    h.controller.Start();
    ASSERT_TRUE(h.runUntil([&] { return h.controller.Count() == 1; }));
    hid::Device* device = nullptr;
    ASSERT_TRUE(h.controller.CheckOutByIndex(device, 0));

    // The node is a FIFO, so what the device is given comes back as its input.
    Bytes report(65);
    std::iota(report.begin(), report.end(), 0);
    ASSERT_TRUE(device->WriteReport(report.data(), report.size()));
    ASSERT_TRUE(h.runUntil([&] { return h.reports.size() == 1; }));
    EXPECT_EQ(h.reports[0].device, device);
    EXPECT_EQ(h.reports[0].id, 0);
    EXPECT_EQ(h.reports[0].data, report);

    h.controller.CheckIn(device);
    EXPECT_EQ(device, nullptr);
}

TEST(HidrawSystem, StartsAndStopsOnThisMachine) {
    Harness h(hid::MakeHidrawBackend(kVendor));
    h.controller.Start();
    ASSERT_TRUE(h.runUntil([&] { return h.changes == 1; }));
    EXPECT_EQ(static_cast<std::size_t>(h.controller.Count()), h.enumerate().size());
    h.controller.Stop();
}

}  // namespace
