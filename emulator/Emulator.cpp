#include "emulator/Emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "emulator/Device.h"
#include "emulator/Uhid.h"

namespace emu {

namespace {

constexpr std::size_t kRecordSize = sizeof(uhid_event);
// Input reports waiting for a peer that stopped reading are dropped beyond this, as a full
// kernel queue would drop them.
constexpr std::size_t kMaxPendingOutput = 1 << 20;
constexpr std::chrono::milliseconds kLeaveFlushTime{200};
constexpr int kPollIndexConnection = 0;
constexpr int kPollIndexWake = 1;

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

Bytes RecordBytes(const uhid_event& ev) {
    const auto* p = reinterpret_cast<const uint8_t*>(&ev);
    return Bytes(p, p + kRecordSize);
}

}  // namespace

class DeviceEmulator::Impl {
public:
    explicit Impl(Config config) : config_(std::move(config)), device_(config_) {
        personality_ = config_.start;
    }
    ~Impl() { Stop(); }

    bool Attach(int fd);
    void Stop();

    Counters Snapshot() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return SnapshotLocked();
    }
    std::vector<LogEvent> Log() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return {log_.begin(), log_.end()};
    }
    bool WaitFor(const std::function<bool(const Counters&)>& pred,
                 std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return pred(SnapshotLocked()); });
    }
    template <typename F>
    auto WithDevice(F f) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(device_);
    }

private:
    // One thing the device will do at a set time.
    struct Pending {
        enum class What { Send, Leave, Appear };
        What what = What::Send;
        Clock::time_point due;
        uint64_t order = 0;  // keeps things due at the same time in the order they were planned
        Bytes report;
        bool repeating = false;
        bool sent = false;
        Personality next = Personality::RunMode;
        std::chrono::milliseconds returnAfter{0};
    };

    void Run();
    void ReadRecords();
    void HandleRecord(const uhid_event& ev, Clock::time_point now);
    void HandleOutput(const uhid_event& ev, Clock::time_point now);
    void Schedule(const Response& response, Clock::time_point now);
    void Plan(Pending p);
    void StopRepeats();
    void RunDue(Clock::time_point now);
    void Execute(Pending& p, Clock::time_point now);
    void Appear(Personality p);
    void Leave(Personality next, std::chrono::milliseconds returnAfter, Clock::time_point now);
    void SendInput(const Bytes& report);
    void LeaveOnStop();
    int PollTimeout(timespec* ts) const;

    void QueueRecord(const uhid_event& ev);
    void Flush();
    void FlushBounded();
    void PeerGone();
    void Record(Direction d, EventKind kind, Bytes bytes);
    void Deliver();
    Counters SnapshotLocked() const;
    std::chrono::milliseconds ReenumerateDelay(Personality next) const {
        return next == Personality::BootLoader ? config_.timing.toBootLoader
                                               : config_.timing.toRunMode;
    }

    Config config_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    // Guarded by mutex_.
    Device device_;
    Personality personality_;
    bool present_ = false;
    bool open_ = false;
    bool peerClosed_ = false;
    bool stopping_ = false;
    Counters counters_;
    std::deque<LogEvent> log_;
    std::vector<LogEvent> toDeliver_;
    std::vector<Pending> timeline_;
    uint64_t nextOrder_ = 0;

    bool attached_ = false;  // caller's thread
    // Device thread only.
    int fd_ = -1;
    int wake_ = -1;
    bool isSocket_ = false;
    Bytes in_;
    Bytes out_;
    std::size_t outStart_ = 0;
    std::thread thread_;
};

bool DeviceEmulator::Impl::Attach(int fd) {
    if (fd < 0) return false;
    if (attached_) {
        ::close(fd);
        return false;
    }
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        ::close(fd);
        return false;
    }
    struct stat st;
    isSocket_ = ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    fd_ = fd;
    attached_ = true;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void DeviceEmulator::Impl::Stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    thread_.join();
    ::close(fd_);
    ::close(wake_);
    fd_ = wake_ = -1;
}

void DeviceEmulator::Impl::Run() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Appear(personality_);
    }
    Deliver();
    for (;;) {
        Flush();
        timespec ts;
        bool closed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            closed = peerClosed_;
        }
        pollfd fds[2] = {};
        fds[kPollIndexConnection].fd = closed ? -1 : fd_;
        fds[kPollIndexConnection].events = short(POLLIN | (out_.size() > outStart_ ? POLLOUT : 0));
        fds[kPollIndexWake].fd = wake_;
        fds[kPollIndexWake].events = POLLIN;
        int r = ::ppoll(fds, 2, PollTimeout(&ts) < 0 ? nullptr : &ts, nullptr);
        if (r < 0 && errno != EINTR) break;
        if (fds[kPollIndexWake].revents & POLLIN) {
            uint64_t count;
            (void)!::read(wake_, &count, sizeof count);
        }
        if (fds[kPollIndexConnection].revents & (POLLIN | POLLHUP | POLLERR)) ReadRecords();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            RunDue(Clock::now());
        }
        Deliver();
    }
    LeaveOnStop();
    FlushBounded();
    Deliver();
}

// -1: nothing planned (wait for input only).
int DeviceEmulator::Impl::PollTimeout(timespec* ts) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (timeline_.empty()) return -1;
    auto next = std::min_element(timeline_.begin(), timeline_.end(),
                                 [](const Pending& a, const Pending& b) { return a.due < b.due; });
    auto wait = std::max(next->due - Clock::now(), Clock::duration::zero());
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    ts->tv_sec = ns / 1000000000;
    ts->tv_nsec = ns % 1000000000;
    return 0;
}

void DeviceEmulator::Impl::ReadRecords() {
    uint8_t buffer[kRecordSize * 4];
    for (;;) {
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            in_.insert(in_.end(), buffer, buffer + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        PeerGone();  // end of stream or a failed connection
        break;
    }
    std::size_t used = 0;
    auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    while (in_.size() - used >= kRecordSize) {
        uhid_event ev;
        std::memcpy(&ev, in_.data() + used, kRecordSize);
        used += kRecordSize;
        HandleRecord(ev, now);
    }
    in_.erase(in_.begin(), in_.begin() + std::ptrdiff_t(used));
}

void DeviceEmulator::Impl::HandleRecord(const uhid_event& ev, Clock::time_point now) {
    switch (ev.type) {
        case UHID_OUTPUT: HandleOutput(ev, now); break;
        case UHID_START: Record(Direction::Received, EventKind::Start, {}); break;
        case UHID_STOP: Record(Direction::Received, EventKind::Stop, {}); break;
        case UHID_OPEN:
            open_ = true;
            Record(Direction::Received, EventKind::Open, {});
            break;
        case UHID_CLOSE:
            open_ = false;
            Record(Direction::Received, EventKind::Close, {});
            break;
        case UHID_GET_REPORT: QueueRecord(MakeGetReportRefusal(ev.u.get_report.id)); break;
        case UHID_SET_REPORT: QueueRecord(MakeSetReportRefusal(ev.u.set_report.id)); break;
        default: break;
    }
}

void DeviceEmulator::Impl::HandleOutput(const uhid_event& ev, Clock::time_point now) {
    std::size_t size = std::min<std::size_t>(ev.u.output.size, UHID_DATA_MAX);
    const uint8_t* data = ev.u.output.data;
    Record(Direction::Received, EventKind::Output, Bytes(data, data + size));
    ++counters_.outputsReceived;
    if (!present_) {
        ++counters_.framesIgnored;
        return;
    }
    StopRepeats();
    bool handled = false;
    Response response = device_.HandleReport(personality_, data, size, &handled);
    if (!handled) {
        ++counters_.framesIgnored;
        return;
    }
    ++counters_.framesHandled;
    Schedule(response, now);
}

void DeviceEmulator::Impl::Schedule(const Response& response, Clock::time_point now) {
    Clock::time_point due = now + config_.timing.latency;
    bool repeatModel = config_.timing.bootLoaderReplies == ReplyModel::Repeat;
    for (std::size_t i = 0; i < response.reports.size(); ++i) {
        Pending p;
        p.due = due;
        p.report = response.reports[i];
        p.repeating = repeatModel && response.lastRepeats && i + 1 == response.reports.size();
        Plan(std::move(p));
    }
    switch (response.bus) {
        case Response::Bus::Stay: break;
        case Response::Bus::LeaveAfterReply: {
            Pending p;
            p.what = Pending::What::Leave;
            p.due = due + config_.timing.leaveAfterReply;
            p.next = response.next;
            p.returnAfter = ReenumerateDelay(response.next);
            Plan(std::move(p));
            break;
        }
        case Response::Bus::UnplugNow: Leave(response.next, response.returnAfter, now); break;
    }
}

void DeviceEmulator::Impl::Plan(Pending p) {
    p.order = nextOrder_++;
    timeline_.push_back(std::move(p));
}

// A new frame ends the repetition of the previous answer; an answer not yet sent still goes once.
void DeviceEmulator::Impl::StopRepeats() {
    std::erase_if(timeline_, [](const Pending& p) {
        return p.what == Pending::What::Send && p.sent;
    });
    for (Pending& p : timeline_) p.repeating = false;
}

void DeviceEmulator::Impl::RunDue(Clock::time_point now) {
    for (;;) {
        auto next = std::min_element(timeline_.begin(), timeline_.end(),
                                     [](const Pending& a, const Pending& b) {
                                         return a.due != b.due ? a.due < b.due : a.order < b.order;
                                     });
        if (next == timeline_.end() || next->due > now) return;
        Pending p = std::move(*next);
        timeline_.erase(next);
        Execute(p, now);
    }
}

void DeviceEmulator::Impl::Execute(Pending& p, Clock::time_point now) {
    switch (p.what) {
        case Pending::What::Send:
            SendInput(p.report);
            if (p.repeating) {
                p.sent = true;
                p.due = std::max(p.due + config_.timing.repeatEvery, now);
                Plan(std::move(p));
            }
            break;
        case Pending::What::Leave: Leave(p.next, p.returnAfter, now); break;
        case Pending::What::Appear: Appear(p.next); break;
    }
}

void DeviceEmulator::Impl::Appear(Personality p) {
    device_.BeginSession();
    personality_ = p;
    present_ = true;
    ++counters_.appearances[std::size_t(p)];
    uhid_event ev = MakeCreate(p);
    QueueRecord(ev);
    Record(Direction::Sent, EventKind::Create, RecordBytes(ev));
}

// Off the bus: whatever was still to be sent is gone with the device.
void DeviceEmulator::Impl::Leave(Personality next, std::chrono::milliseconds returnAfter,
                                 Clock::time_point now) {
    if (present_) {
        QueueRecord(MakeDestroy());
        Record(Direction::Sent, EventKind::Destroy, {});
        ++counters_.departures;
        present_ = false;
        open_ = false;
    }
    timeline_.clear();
    Pending p;
    p.what = Pending::What::Appear;
    p.due = now + returnAfter;
    p.next = next;
    Plan(std::move(p));
}

void DeviceEmulator::Impl::SendInput(const Bytes& report) {
    if (out_.size() - outStart_ > kMaxPendingOutput) {
        ++counters_.inputsDropped;
        return;
    }
    QueueRecord(MakeInput(report));
    ++counters_.inputsSent;
    Record(Direction::Sent, EventKind::Input, report);
}

void DeviceEmulator::Impl::LeaveOnStop() {
    std::lock_guard<std::mutex> lock(mutex_);
    timeline_.clear();
    if (!present_ || peerClosed_) return;
    QueueRecord(MakeDestroy());
    Record(Direction::Sent, EventKind::Destroy, {});
    ++counters_.departures;
    present_ = false;
}

void DeviceEmulator::Impl::QueueRecord(const uhid_event& ev) {
    if (peerClosed_) return;
    const auto* p = reinterpret_cast<const uint8_t*>(&ev);
    out_.insert(out_.end(), p, p + kRecordSize);
}

void DeviceEmulator::Impl::Flush() {
    while (outStart_ < out_.size()) {
        const uint8_t* p = out_.data() + outStart_;
        std::size_t left = out_.size() - outStart_;
        ssize_t n = isSocket_ ? ::send(fd_, p, left, MSG_NOSIGNAL) : ::write(fd_, p, left);
        if (n > 0) {
            outStart_ += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        PeerGone();
        return;
    }
    out_.clear();
    outStart_ = 0;
}

void DeviceEmulator::Impl::FlushBounded() {
    auto end = Clock::now() + kLeaveFlushTime;
    for (;;) {
        Flush();
        if (out_.empty()) return;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) return;
        pollfd pfd{fd_, POLLOUT, 0};
        if (::poll(&pfd, 1, int(left.count())) <= 0) return;
    }
}

void DeviceEmulator::Impl::PeerGone() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (peerClosed_) return;
    peerClosed_ = true;
    present_ = false;
    open_ = false;
    timeline_.clear();
    out_.clear();
    outStart_ = 0;
    Record(Direction::Received, EventKind::PeerClosed, {});
}

void DeviceEmulator::Impl::Record(Direction d, EventKind kind, Bytes bytes) {
    LogEvent ev{Clock::now(), d, kind, personality_, std::move(bytes)};
    if (config_.onEvent) toDeliver_.push_back(ev);
    if (config_.logCapacity == 0) return;
    if (log_.size() >= config_.logCapacity) log_.pop_front();
    log_.push_back(std::move(ev));
}

void DeviceEmulator::Impl::Deliver() {
    std::vector<LogEvent> events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events.swap(toDeliver_);
    }
    changed_.notify_all();
    for (const LogEvent& ev : events) config_.onEvent(ev);
}

Counters DeviceEmulator::Impl::SnapshotLocked() const {
    Counters c = counters_;
    c.present = present_;
    c.open = open_;
    c.peerClosed = peerClosed_;
    c.personality = personality_;
    c.flashImageSize = device_.FlashImageSize();
    c.flashBytesWritten = device_.FlashBytesWritten();
    c.dspBlocksStored = device_.DspBlocksStored();
    return c;
}

DeviceEmulator::DeviceEmulator(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}
DeviceEmulator::~DeviceEmulator() = default;

bool DeviceEmulator::Attach(int fd) { return impl_->Attach(fd); }

int DeviceEmulator::AttachSocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -1;
    if (!Attach(fds[0])) {
        ::close(fds[1]);
        return -1;
    }
    return fds[1];
}

bool DeviceEmulator::ConnectUnix(const std::string& path, std::string* error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        if (error) *error = "socket path too long: " + path;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error) *error = SystemError("socket");
        return false;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (error) *error = SystemError("cannot connect to " + path);
        ::close(fd);
        return false;
    }
    if (!Attach(fd)) {
        if (error) *error = "the emulator is already attached";
        return false;
    }
    return true;
}

bool DeviceEmulator::OpenUhid(std::string* error) {
    constexpr char kUhidPath[] = "/dev/uhid";
    int fd = ::open(kUhidPath, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (error) {
            *error = SystemError(std::string("cannot open ") + kUhidPath);
            if (errno == ENOENT || errno == ENODEV)
                *error += " (this kernel offers no uhid; try: modprobe uhid)";
            else if (errno == EACCES || errno == EPERM)
                *error += " (creating HID devices needs root or write access to /dev/uhid)";
        }
        return false;
    }
    if (!Attach(fd)) {
        if (error) *error = "the emulator is already attached";
        return false;
    }
    return true;
}

void DeviceEmulator::Stop() { impl_->Stop(); }

Counters DeviceEmulator::GetCounters() const { return impl_->Snapshot(); }
std::vector<LogEvent> DeviceEmulator::Log() const { return impl_->Log(); }

bool DeviceEmulator::WaitFor(const std::function<bool(const Counters&)>& pred,
                             std::chrono::milliseconds timeout) const {
    return impl_->WaitFor(pred, timeout);
}

bool DeviceEmulator::WaitForOutputs(uint64_t count, std::chrono::milliseconds timeout) const {
    return WaitFor([&](const Counters& c) { return c.outputsReceived >= count; }, timeout);
}

bool DeviceEmulator::WaitForInputs(uint64_t count, std::chrono::milliseconds timeout) const {
    return WaitFor([&](const Counters& c) { return c.inputsSent >= count; }, timeout);
}

bool DeviceEmulator::WaitForAppearance(Personality p, uint64_t count,
                                       std::chrono::milliseconds timeout) const {
    return WaitFor([&](const Counters& c) { return c.appearances[std::size_t(p)] >= count; },
                   timeout);
}

Bytes DeviceEmulator::Flash() const {
    return impl_->WithDevice([](const Device& d) { return d.Flash(); });
}

Bytes DeviceEmulator::DspMemory() const {
    return impl_->WithDevice([](const Device& d) { return d.DspMemory(); });
}

Verification DeviceEmulator::VerifyFlash(const uint8_t* expected, std::size_t size) const {
    return impl_->WithDevice([&](const Device& d) { return d.VerifyFlash(expected, size); });
}

Verification DeviceEmulator::VerifyDsp(const uint8_t* expected, std::size_t size) const {
    return impl_->WithDevice([&](const Device& d) { return d.VerifyDsp(expected, size); });
}

}  // namespace emu
