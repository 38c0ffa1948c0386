// The device side of a virtual HID connection, for tests: writes and reads uhid_event records
// on one end of a socket pair whose other end belongs to the VirtualHub.
#pragma once

#include <linux/uhid.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

namespace hidtest {

using Bytes = std::vector<uint8_t>;

// 64 input and 64 output data bytes, no report IDs.
inline const Bytes kVendorDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02,
                                        0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40,
                                        0x81, 0x02, 0x09, 0x03, 0x91, 0x02, 0xC0};

constexpr uint16_t kVendor = 0x0168;
constexpr uint16_t kRunProduct = 0x0821;
constexpr uint16_t kBootProduct = 0x0904;

class UhidPeer {
public:
    // Returns the hub's end; the peer keeps the other.
    int connect() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        fd_ = fds[0];
        return fds[1];
    }
    explicit UhidPeer(int fd = -1) : fd_(fd) {}
    ~UhidPeer() { close(); }
    UhidPeer(const UhidPeer&) = delete;
    UhidPeer& operator=(const UhidPeer&) = delete;

    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool create(uint16_t vendor, uint16_t product, const Bytes& descriptor = kVendorDescriptor) {
        uhid_event record{};
        record.type = UHID_CREATE2;
        std::strcpy(reinterpret_cast<char*>(record.u.create2.name), "test device");
        record.u.create2.rd_size = static_cast<uint16_t>(descriptor.size());
        record.u.create2.bus = 6;
        record.u.create2.vendor = vendor;
        record.u.create2.product = product;
        std::memcpy(record.u.create2.rd_data, descriptor.data(), descriptor.size());
        return send(record);
    }

    bool input(const Bytes& data) {
        uhid_event record{};
        record.type = UHID_INPUT2;
        record.u.input2.size = static_cast<uint16_t>(data.size());
        std::memcpy(record.u.input2.data, data.data(), data.size());
        return send(record);
    }

    bool destroy() { return sendType(UHID_DESTROY); }

    bool sendType(uint32_t type) {
        uhid_event record{};
        record.type = type;
        return send(record);
    }

    bool send(const uhid_event& record) { return sendBytes(&record, sizeof record); }

    bool sendBytes(const void* bytes, std::size_t size) {
        const auto* at = static_cast<const uint8_t*>(bytes);
        while (size > 0) {
            ssize_t n = ::send(fd_, at, size, MSG_NOSIGNAL);
            if (n <= 0) return false;
            at += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    // The next whole record, or nothing on time-out or end of stream.
    std::optional<uhid_event> read(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        uhid_event record{};
        auto* bytes = reinterpret_cast<uint8_t*>(&record);
        std::size_t filled = 0;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (filled < sizeof record) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd in{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&in, 1, static_cast<int>(left.count())) <= 0)
                return std::nullopt;
            ssize_t n = ::recv(fd_, bytes + filled, sizeof record - filled, 0);
            if (n <= 0) return std::nullopt;
            filled += static_cast<std::size_t>(n);
        }
        return record;
    }

    // Reads until a record of the type; others are skipped.
    std::optional<uhid_event> readType(uint32_t type,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            std::optional<uhid_event> record = read(left);
            if (!record || record->type == type) return record;
        }
    }

    // True when the hub closed its end: the stream ends, whatever records were still queued.
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        uint8_t sink[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd in{fd_, POLLIN, 0};
            if (::poll(&in, 1, 100) <= 0) continue;
            ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
            if (n <= 0) return true;
        }
        return false;
    }

private:
    int fd_ = -1;
};

}  // namespace hidtest
