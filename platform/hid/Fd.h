// Small owners of file descriptors used by the HID backends and the read threads.
#pragma once

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace hid {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// An eventfd used to wake a thread out of poll(). Once signalled it stays readable until
// drained, so a stop request is never lost.
class WakeFd {
public:
    WakeFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    int get() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }
    void signal() const {
        uint64_t one = 1;
        // A full counter is still readable, which is all a wake-up needs.
        [[maybe_unused]] ssize_t written = ::write(fd_.get(), &one, sizeof one);
    }
    void drain() const {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t got = ::read(fd_.get(), &count, sizeof count);
    }

private:
    UniqueFd fd_;
};

// poll() that retries on EINTR; returns the poll result (0 on time-out, -1 on error).
inline int pollRetry(pollfd* fds, nfds_t count, int timeoutMs) {
    int result;
    do {
        result = ::poll(fds, count, timeoutMs);
    } while (result < 0 && errno == EINTR);
    return result;
}

}  // namespace hid
