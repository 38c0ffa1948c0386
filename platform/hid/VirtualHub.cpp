// Virtual HID devices fed by streams of struct uhid_event records, one device slot per
// connection. The records are the ones /dev/uhid speaks, so a device emulator can drive either.
#include <linux/uhid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/hid/DeviceSource.h"
#include "platform/hid/Fd.h"

namespace hid {
namespace {

constexpr std::size_t kRecordSize = sizeof(uhid_event);
// Reports queued for a slow reader before newer ones are dropped, as a hidraw node does.
constexpr std::size_t kQueuedReports = 64;
// Records queued towards a peer that is slow to read, as the kernel's uhid queue holds.
constexpr std::size_t kQueuedRecords = 32;
constexpr int kListenBacklog = 8;
constexpr const char* kPathPrefix = "uhid-socket:";

// Input reports of one check-out, handed from the connection's reader to the read thread.
class ReportQueue {
public:
    int waitFd() const { return ready_.get(); }

    void push(const uint8_t* data, std::size_t size) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (ended_ || reports_.size() >= kQueuedReports) return;
        reports_.emplace_back(data, data + size);
        ready_.signal();
    }

    void end() {
        std::lock_guard<std::mutex> guard(mutex_);
        ended_ = true;
        ready_.signal();
    }

    bool ended() {
        std::lock_guard<std::mutex> guard(mutex_);
        return ended_;
    }

    ReadResult pop(uint8_t* buffer, std::size_t capacity) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (reports_.empty()) {
            if (ended_) return {ReadStatus::Gone, 0, 0};
            ready_.drain();
            return {ReadStatus::Nothing, 0, 0};
        }
        std::vector<uint8_t> report = std::move(reports_.front());
        reports_.pop_front();
        // The wake-up stays armed while reports or the end are still to be seen.
        if (reports_.empty() && !ended_) ready_.drain();
        std::size_t size = std::min(report.size(), capacity);
        std::memcpy(buffer, report.data(), size);
        return {ReadStatus::Report, size, 0};
    }

private:
    std::mutex mutex_;
    std::deque<std::vector<uint8_t>> reports_;
    bool ended_ = false;
    WakeFd ready_;
};

// Records on their way to the peer. A record with nothing queued ahead of it is sent at once
// when the socket has room, as the kernel hands an output report to a uhid device at once; the
// rest waits here for the connection's writer, so neither a report write nor the connection's
// reader is held up by a peer that does not read. Like the kernel's queue towards a uhid
// device it is bounded, and a record that does not fit is refused.
class Outbox {
public:
    explicit Outbox(int connection) : fd_(connection) {}

    int waitFd() const { return pending_.get(); }

    // A record partly sent; the writer sends the rest.
    struct Pending {
        uhid_event record;
        std::size_t sent = 0;
    };

    bool push(const uhid_event& record) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (closed_) return false;
        std::size_t sent = 0;
        if (records_.empty() && !writing_) {
            sent = sendNow(record);
            if (sent == kRecordSize) return true;
        } else if (records_.size() >= kQueuedRecords) {
            return false;
        }
        // Also after a failed send: the writer meets the failure again and ends the connection.
        records_.push_back({record, sent});
        pending_.signal();
        return true;
    }

    // The writer takes the oldest record and holds the stream until done().
    std::optional<Pending> pop() {
        std::lock_guard<std::mutex> guard(mutex_);
        if (records_.empty()) {
            pending_.drain();
            return std::nullopt;
        }
        Pending next = records_.front();
        records_.pop_front();
        writing_ = true;
        return next;
    }

    void done() {
        std::lock_guard<std::mutex> guard(mutex_);
        writing_ = false;
    }

    void close() {
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
        records_.clear();
    }

private:
    // The bytes of the record the socket took without waiting.
    std::size_t sendNow(const uhid_event& record) const {
        ssize_t n = ::send(fd_, &record, kRecordSize, MSG_DONTWAIT | MSG_NOSIGNAL);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    const int fd_;
    std::mutex mutex_;
    std::deque<Pending> records_;
    bool writing_ = false;  // the writer holds a record: nothing may overtake it
    bool closed_ = false;
    WakeFd pending_;
};

// One connection and the device currently created on it.
struct Slot {
    Slot(int slotNumber, int connection) : number(slotNumber), fd(connection), outbox(connection) {}

    bool send(const uhid_event& record) { return outbox.push(record); }

    bool sendType(uint32_t type) {
        uhid_event record{};
        record.type = type;
        return send(record);
    }

    const int number;
    UniqueFd fd;  // closed only after reader and writer have ended
    Outbox outbox;
    WakeFd ended;  // the reader has finished: the writer stops too
    std::thread reader, writer;
    std::atomic<bool> finished{false};

    std::mutex mutex;  // guards the device state below
    bool present = false;
    int generation = 0;
    DeviceInfo info;
    std::shared_ptr<ReportQueue> open;  // the current check-out
};

class VirtualChannel final : public Channel {
public:
    VirtualChannel(std::shared_ptr<Slot> slot, std::shared_ptr<ReportQueue> queue)
        : slot_(std::move(slot)), queue_(std::move(queue)) {}
    ~VirtualChannel() override { Close(); }

    int WaitFd() const override { return queue_->waitFd(); }
    ReadResult Read(uint8_t* buffer, std::size_t capacity) override { return queue_->pop(buffer, capacity); }

    bool Write(const uint8_t* report, std::size_t length) override {
        if (closed_ || length > UHID_DATA_MAX || queue_->ended()) return false;
        uhid_event record{};
        record.type = UHID_OUTPUT;
        std::memcpy(record.u.output.data, report, length);
        record.u.output.size = static_cast<uint16_t>(length);
        record.u.output.rtype = UHID_OUTPUT_REPORT;
        return slot_->send(record);
    }

    void Close() override {
        if (closed_.exchange(true)) return;
        bool ours;
        {
            std::lock_guard<std::mutex> guard(slot_->mutex);
            ours = slot_->open == queue_;
            if (ours) slot_->open = nullptr;
        }
        if (ours) slot_->sendType(UHID_CLOSE);
    }

private:
    std::shared_ptr<Slot> slot_;
    std::shared_ptr<ReportQueue> queue_;
    std::atomic<bool> closed_{false};
};

}  // namespace

struct VirtualHub::Impl {
    std::mutex mutex;  // slots, listeners, shutDown
    std::vector<std::shared_ptr<Slot>> slots;
    int nextSlot = 0;
    bool shutDown = false;
    WakeFd stop;

    struct Listener {
        UniqueFd fd;
        std::string path;
        std::thread thread;
    };
    std::vector<std::unique_ptr<Listener>> listeners;

    std::mutex sinkMutex;
    SourceSink sink;

    void setSink(SourceSink next) {
        std::lock_guard<std::mutex> guard(sinkMutex);
        sink = std::move(next);
    }

    void notify() {
        std::lock_guard<std::mutex> guard(sinkMutex);
        if (sink.changed) sink.changed();
    }

    void addConnection(int fd);
    void reapEnded();
    void readConnection(const std::shared_ptr<Slot>& slot);
    void writeConnection(Slot& slot);
    bool writeRecord(Slot& slot, const Outbox::Pending& pending);
    bool handleRecord(Slot& slot, const uhid_event& record);
    bool create(Slot& slot, const uhid_create2_req& request);
    void destroy(Slot& slot);
    bool listen(const std::string& path, std::string* error);
    void acceptConnections(Listener& listener);
    std::vector<DeviceInfo> scan();
    std::shared_ptr<Channel> open(const DeviceInfo& info, int* error);
    void shutdown();
};

namespace {

class VirtualSource final : public DeviceSource {
public:
    explicit VirtualSource(std::shared_ptr<VirtualHub::Impl> hub) : hub_(std::move(hub)) {}
    ~VirtualSource() override { Stop(); }
    void Start(SourceSink sink) override { hub_->setSink(std::move(sink)); }
    void Stop() override { hub_->setSink({}); }
    std::vector<DeviceInfo> Scan() override { return hub_->scan(); }
    std::shared_ptr<Channel> Open(const DeviceInfo& info, int* error) override {
        return hub_->open(info, error);
    }

private:
    std::shared_ptr<VirtualHub::Impl> hub_;
};

}  // namespace

void VirtualHub::Impl::addConnection(int fd) {
    std::lock_guard<std::mutex> guard(mutex);
    if (shutDown || fd < 0) {
        if (fd >= 0) ::close(fd);
        return;
    }
    reapEnded();
    auto slot = std::make_shared<Slot>(nextSlot++, fd);
    slot->reader = std::thread([this, slot] { readConnection(slot); });
    slot->writer = std::thread([this, slot] { writeConnection(*slot); });
    slots.push_back(slot);
}

// Under mutex: forget connections whose reader has finished.
void VirtualHub::Impl::reapEnded() {
    for (auto it = slots.begin(); it != slots.end();) {
        Slot& slot = **it;
        if (!slot.finished) {
            ++it;
            continue;
        }
        slot.reader.join();
        slot.writer.join();
        slot.fd.reset();
        it = slots.erase(it);
    }
}

void VirtualHub::Impl::readConnection(const std::shared_ptr<Slot>& slot) {
    uhid_event record{};
    auto* bytes = reinterpret_cast<uint8_t*>(&record);
    std::size_t filled = 0;
    while (true) {
        pollfd fds[2] = {{stop.get(), POLLIN, 0}, {slot->fd.get(), POLLIN, 0}};
        if (pollRetry(fds, 2, -1) < 0 || fds[0].revents != 0) break;
        ssize_t got = ::recv(slot->fd.get(), bytes + filled, kRecordSize - filled, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
        if (filled < kRecordSize) continue;
        filled = 0;
        if (!handleRecord(*slot, record)) {
            ::shutdown(slot->fd.get(), SHUT_RDWR);
            break;
        }
        std::memset(&record, 0, sizeof record);
    }
    destroy(*slot);
    slot->outbox.close();
    slot->ended.signal();
    slot->finished = true;
}

void VirtualHub::Impl::writeConnection(Slot& slot) {
    while (true) {
        pollfd fds[3] = {{stop.get(), POLLIN, 0}, {slot.ended.get(), POLLIN, 0},
                         {slot.outbox.waitFd(), POLLIN, 0}};
        if (pollRetry(fds, 3, -1) < 0 || fds[0].revents != 0 || fds[1].revents != 0) return;
        if (std::optional<Outbox::Pending> next = slot.outbox.pop()) {
            const bool written = writeRecord(slot, *next);
            slot.outbox.done();
            if (!written) {
                // The peer is gone or broke the stream: end the connection.
                ::shutdown(slot.fd.get(), SHUT_RDWR);
                slot.outbox.close();
                return;
            }
        }
    }
}

// Writes one whole record; false when the connection failed or the hub stops.
bool VirtualHub::Impl::writeRecord(Slot& slot, const Outbox::Pending& pending) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&pending.record);
    std::size_t sent = pending.sent;
    while (sent < kRecordSize) {
        ssize_t n = ::send(slot.fd.get(), bytes + sent, kRecordSize - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) return false;
        pollfd fds[3] = {{stop.get(), POLLIN, 0}, {slot.ended.get(), POLLIN, 0},
                         {slot.fd.get(), POLLOUT, 0}};
        if (pollRetry(fds, 3, -1) < 0 || fds[0].revents != 0 || fds[1].revents != 0) return false;
    }
    return true;
}

// False for a record that breaks the stream's rules.
bool VirtualHub::Impl::handleRecord(Slot& slot, const uhid_event& record) {
    switch (record.type) {
        case UHID_CREATE2: return create(slot, record.u.create2);
        case UHID_INPUT2: {
            uint16_t size = record.u.input2.size;
            if (size > UHID_DATA_MAX) return false;
            std::lock_guard<std::mutex> guard(slot.mutex);
            if (slot.present && slot.open) slot.open->push(record.u.input2.data, size);
            return true;
        }
        case UHID_DESTROY: destroy(slot); return true;
        default: return true;  // other records carry nothing a reader of reports needs
    }
}

bool VirtualHub::Impl::create(Slot& slot, const uhid_create2_req& request) {
    uint16_t size = request.rd_size;
    if (size > HID_MAX_DESCRIPTOR_SIZE) return false;
    destroy(slot);  // a second creation on the same connection replaces the device
    DeviceInfo info;
    info.path = kPathPrefix + std::to_string(slot.number);
    info.vendor = static_cast<uint16_t>(request.vendor);
    info.product = static_cast<uint16_t>(request.product);
    info.layout = ParseReportLayout(request.rd_data, size);
    uhid_event start{};
    start.type = UHID_START;
    if (info.layout.numbered)
        start.u.start.dev_flags = UHID_DEV_NUMBERED_FEATURE_REPORTS | UHID_DEV_NUMBERED_OUTPUT_REPORTS |
                                  UHID_DEV_NUMBERED_INPUT_REPORTS;
    slot.send(start);
    {
        std::lock_guard<std::mutex> guard(slot.mutex);
        ++slot.generation;
        info.key = info.path + "/" + std::to_string(slot.generation);
        slot.info = std::move(info);
        slot.present = true;
    }
    notify();
    return true;
}

void VirtualHub::Impl::destroy(Slot& slot) {
    {
        std::lock_guard<std::mutex> guard(slot.mutex);
        if (!slot.present) return;
        slot.present = false;
        if (slot.open) slot.open->end();
        slot.open = nullptr;
    }
    notify();
}

std::vector<DeviceInfo> VirtualHub::Impl::scan() {
    std::vector<DeviceInfo> found;
    std::lock_guard<std::mutex> guard(mutex);
    for (auto& slot : slots) {
        std::lock_guard<std::mutex> slotGuard(slot->mutex);
        if (slot->present) found.push_back(slot->info);
    }
    return found;
}

std::shared_ptr<Channel> VirtualHub::Impl::open(const DeviceInfo& info, int* error) {
    std::shared_ptr<Slot> slot;
    auto queue = std::make_shared<ReportQueue>();
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (auto& candidate : slots) {
            std::lock_guard<std::mutex> slotGuard(candidate->mutex);
            if (!candidate->present || candidate->info.key != info.key) continue;
            if (candidate->open) {
                *error = EBUSY;
                return nullptr;
            }
            candidate->open = queue;
            slot = candidate;
            break;
        }
    }
    if (!slot) {
        *error = ENODEV;
        return nullptr;
    }
    slot->sendType(UHID_OPEN);
    return std::make_shared<VirtualChannel>(slot, queue);
}

bool VirtualHub::Impl::listen(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error) *error = what + " " + path + ": " + std::strerror(errno);
        return false;
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return fail("socket path");
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    struct stat existing {};
    // A socket file left by an earlier run would make bind fail; anything else is kept.
    if (::lstat(path.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) ::unlink(path.c_str());
    auto listener = std::make_unique<Listener>();
    listener->fd = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    listener->path = path;
    if (!listener->fd.valid()) return fail("socket");
    if (::bind(listener->fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
        return fail("bind");
    if (::listen(listener->fd.get(), kListenBacklog) < 0) return fail("listen");
    std::lock_guard<std::mutex> guard(mutex);
    if (shutDown) return fail("listen");
    Listener& started = *listener;
    listener->thread = std::thread([this, &started] { acceptConnections(started); });
    listeners.push_back(std::move(listener));
    return true;
}

void VirtualHub::Impl::acceptConnections(Listener& listener) {
    while (true) {
        pollfd fds[2] = {{stop.get(), POLLIN, 0}, {listener.fd.get(), POLLIN, 0}};
        if (pollRetry(fds, 2, -1) < 0 || fds[0].revents != 0) return;
        int fd = ::accept4(listener.fd.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) addConnection(fd);
    }
}

void VirtualHub::Impl::shutdown() {
    std::vector<std::unique_ptr<Listener>> oldListeners;
    std::vector<std::shared_ptr<Slot>> oldSlots;
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (shutDown) return;
        shutDown = true;
    }
    stop.signal();
    {
        std::lock_guard<std::mutex> guard(mutex);
        oldListeners.swap(listeners);
    }
    for (auto& listener : oldListeners) {
        listener->thread.join();
        ::unlink(listener->path.c_str());
    }
    {
        std::lock_guard<std::mutex> guard(mutex);
        oldSlots.swap(slots);
    }
    for (auto& slot : oldSlots) {
        slot->reader.join();
        slot->writer.join();
        slot->fd.reset();
    }
}

VirtualHub::VirtualHub() : impl_(std::make_shared<Impl>()) {}
VirtualHub::~VirtualHub() { impl_->shutdown(); }

std::unique_ptr<Backend> VirtualHub::MakeBackend() { return std::make_unique<VirtualSource>(impl_); }

void VirtualHub::AddConnection(int fd) { impl_->addConnection(fd); }

bool VirtualHub::Listen(const std::string& path, std::string* error) {
    return impl_->listen(path, error);
}

}  // namespace hid
