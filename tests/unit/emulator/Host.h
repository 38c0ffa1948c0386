// The host side of an emulated device: hand-written uhid records over a socket pair.
#pragma once

#include <gtest/gtest.h>
#include <linux/uhid.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <thread>

#include "emulator/Emulator.h"

namespace emutest {

using emu::Bytes;
using namespace std::chrono_literals;

// Generous: the machines running the tests are shared and slow at times.
constexpr auto kTimeout = 5000ms;
constexpr std::size_t kOutputRecordSize = 65;  // report ID 0, then 64 bytes

// Small delays so switching personality takes milliseconds.
inline emu::Config FastConfig(emu::Personality start = emu::Personality::RunMode) {
    emu::Config c;
    c.start = start;
    c.timing.toBootLoader = 5ms;
    c.timing.toRunMode = 5ms;
    c.timing.leaveAfterReply = 1ms;
    return c;
}

inline Bytes Padded(std::initializer_list<uint8_t> head) {
    Bytes b(head);
    b.resize(emu::kReportSize, 0);
    return b;
}

class Host {
public:
    explicit Host(emu::Config config) : emulator(std::move(config)) {
        fd = emulator.AttachSocketPair();
    }
    ~Host() {
        emulator.Stop();
        if (fd >= 0) ::close(fd);
    }

    // The next record from the device; false when none arrives in time or the stream ends.
    bool Next(uhid_event* ev, std::chrono::milliseconds timeout = kTimeout) {
        auto* p = reinterpret_cast<uint8_t*>(ev);
        std::size_t got = 0;
        auto end = std::chrono::steady_clock::now() + timeout;
        while (got < sizeof *ev) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd pfd{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&pfd, 1, int(left.count())) <= 0) return false;
            ssize_t n = ::read(fd, p + got, sizeof *ev - got);
            if (n <= 0) return false;
            got += std::size_t(n);
        }
        return true;
    }

    // The type of the next record, 0 when none came.
    uint32_t NextType() {
        uhid_event ev;
        return Next(&ev) ? ev.type : 0;
    }

    uhid_event ExpectCreate(uint16_t product) {
        uhid_event ev{};
        EXPECT_TRUE(Next(&ev));
        EXPECT_EQ(ev.type, uint32_t(UHID_CREATE2));
        EXPECT_EQ(ev.u.create2.product, product);
        return ev;
    }

    // The bytes of the next input report (empty when the next record is something else).
    Bytes NextInput() {
        uhid_event ev;
        if (!Next(&ev) || ev.type != UHID_INPUT2) return {};
        return Bytes(ev.u.input2.data, ev.u.input2.data + ev.u.input2.size);
    }

    // One output report as a hidraw write of 65 bytes arrives: report ID 0 first.
    void SendReport(const Bytes& report) {
        uhid_event ev;
        std::memset(&ev, 0, sizeof ev);
        ev.type = UHID_OUTPUT;
        ev.u.output.rtype = UHID_OUTPUT_REPORT;
        ev.u.output.size = kOutputRecordSize;
        std::copy_n(report.begin(), std::min(report.size(), emu::kReportSize), ev.u.output.data + 1);
        Write(&ev, sizeof ev);
    }

    // True once the device has read everything written so far (the socket's send queue is empty).
    bool WaitUntilConsumed() {
        auto end = std::chrono::steady_clock::now() + kTimeout;
        int queued = 0;
        while (::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::yield();
        }
        return queued == 0;
    }

    void Write(const void* bytes, std::size_t size) {
        ASSERT_EQ(::write(fd, bytes, size), ssize_t(size));
    }

    emu::DeviceEmulator emulator;
    int fd = -1;
};

}  // namespace emutest
