// The HID controller: keeps the list of attached devices in arrival order, turns changes of the
// backend's device set into events, and runs one read thread per checked-out device.
#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <thread>
#include <unordered_set>

#include "platform/hid/DeviceSource.h"
#include "platform/hid/Fd.h"

namespace hid {
namespace {

// Room after the largest report, kept zero, so a handler that reads a full 64-byte report out
// of a shorter one stays inside the buffer.
constexpr std::size_t kReadSlack = 64;
// Pause after a failed read before reading again, so a persistent failure cannot spin.
constexpr int kErrorPauseMs = 100;

// State shared by the controller and one read thread.
struct ReadSession {
    ReadSession(os::MainLoop& loop, std::shared_ptr<Channel> opened)
        : call(loop), channel(std::move(opened)) {}
    os::SyncCall call;
    WakeFd wake;
    std::shared_ptr<Channel> channel;
    std::atomic<bool> finished{false};
    int inHandler = 0;  // main thread only: a handler for this session is running
};

struct Checkout {
    std::shared_ptr<ReadSession> session;
    std::thread thread;
};

class DeviceImpl final : public Device {
public:
    explicit DeviceImpl(DeviceInfo info) : info_(std::move(info)) {}

    uint16_t VendorID() const override { return info_.vendor; }
    uint16_t ProductID() const override { return info_.product; }
    int OutputReportLength() const override { return info_.layout.outputLength; }
    int InputReportLength() const override { return info_.layout.inputLength; }
    std::string Path() const override { return info_.path; }
    bool IsCheckedOut() const override { return checkedOut_.load(); }

    bool WriteReport(const uint8_t* report, std::size_t length) override {
        std::lock_guard<std::mutex> guard(ioMutex_);
        if (!channel_ || report == nullptr || length == 0) return false;
        return channel_->Write(report, length);
    }

    const DeviceInfo& info() const { return info_; }

    void attach(std::shared_ptr<Channel> channel) {
        std::lock_guard<std::mutex> guard(ioMutex_);
        channel_ = std::move(channel);
        checkedOut_ = true;
    }
    // Waits for a write in progress; later writes fail.
    std::shared_ptr<Channel> detach() {
        std::lock_guard<std::mutex> guard(ioMutex_);
        checkedOut_ = false;
        return std::move(channel_);
    }

    std::optional<Checkout> checkout;  // main thread only

private:
    const DeviceInfo info_;
    std::mutex ioMutex_;
    std::shared_ptr<Channel> channel_;
    std::atomic<bool> checkedOut_{false};
};

bool waitForStop(const WakeFd& wake, int timeoutMs) {
    pollfd fd{wake.get(), POLLIN, 0};
    return pollRetry(&fd, 1, timeoutMs) != 0;
}

}  // namespace

struct Controller::Impl {
    Impl(os::MainLoop& mainLoop, std::unique_ptr<Backend> owned)
        : loop(mainLoop), backend(std::move(owned)),
          source(dynamic_cast<DeviceSource*>(backend.get())) {}
    ~Impl() {
        // Only threads still inside a handler are left here; they touch nothing of ours.
        for (Checkout& zombie : zombies) zombie.thread.detach();
    }

    os::MainLoop& loop;
    Events* events = nullptr;
    std::unique_ptr<Backend> backend;
    DeviceSource* source;
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> rescanPending{false};
    bool started = false;
    std::vector<std::shared_ptr<DeviceImpl>> devices;  // list order
    // Devices that left the list. A worker may still hold one, so they live as long as the
    // controller; their channels are released at once.
    std::vector<std::shared_ptr<DeviceImpl>> retired;
    std::vector<Checkout> zombies;  // read threads checked in from their own handler

    bool running() const { return alive->load(); }

    // Runs a handler; an exception goes on to the main loop, after the controller's own
    // bookkeeping is done, so the application reports it.
    template <typename Fn>
    bool invoke(Fn&& fn) {
        try {
            fn();
            return true;
        } catch (...) {
            loop.post([failure = std::current_exception()] { std::rethrow_exception(failure); });
            return false;
        }
    }

    void requestRescan() {
        if (!running() || rescanPending.exchange(true)) return;
        loop.post([this, alive = alive] {
            if (alive->load()) rescan(false);
        });
    }

    void rescan(bool first);
    void raiseUnplug(const std::shared_ptr<DeviceImpl>& device);
    void raiseArrivalProblems(const std::vector<std::shared_ptr<DeviceImpl>>& added);
    void raiseChange(bool first);

    bool checkOut(DeviceImpl& device);
    void release(DeviceImpl& device);
    void reapFinished();
    void stop();

    void readLoop(const std::shared_ptr<ReadSession>& session, DeviceImpl* device);
    void deliverReport(ReadSession& session, DeviceImpl& device, const uint8_t* bytes,
                       std::size_t size);
    void deliverError(ReadSession& session, DeviceImpl& device, int error);
};

void Controller::Impl::rescan(bool first) {
    rescanPending = false;
    reapFinished();
    std::vector<DeviceInfo> found = source ? source->Scan() : std::vector<DeviceInfo>{};
    std::unordered_set<std::string> foundKeys;
    for (const DeviceInfo& info : found) foundKeys.insert(info.key);

    std::vector<std::shared_ptr<DeviceImpl>> kept, removed, added;
    std::unordered_set<std::string> knownKeys;
    for (auto& device : devices) {
        knownKeys.insert(device->info().key);
        (foundKeys.count(device->info().key) ? kept : removed).push_back(device);
    }
    for (DeviceInfo& info : found)
        if (!knownKeys.count(info.key)) added.push_back(std::make_shared<DeviceImpl>(std::move(info)));
    if (!first && removed.empty() && added.empty()) return;

    devices = kept;
    devices.insert(devices.end(), added.begin(), added.end());
    for (auto& device : removed) raiseUnplug(device);
    raiseArrivalProblems(added);
    raiseChange(first);
}

void Controller::Impl::raiseUnplug(const std::shared_ptr<DeviceImpl>& device) {
    if (running() && events->OnDeviceUnplug) invoke([&] { events->OnDeviceUnplug(*device); });
    release(*device);
    retired.push_back(device);
}

void Controller::Impl::raiseArrivalProblems(const std::vector<std::shared_ptr<DeviceImpl>>& added) {
    for (auto& device : added) {
        const std::string& problem = device->info().accessProblem;
        if (!problem.empty() && running() && events->OnAccessProblem)
            invoke([&] { events->OnAccessProblem(problem); });
    }
}

void Controller::Impl::raiseChange(bool first) {
    if (!first && running() && events->OnSystemDeviceChange)
        invoke([&] { events->OnSystemDeviceChange(); });
    if (running() && events->OnDeviceChange) invoke([&] { events->OnDeviceChange(); });
}

bool Controller::Impl::checkOut(DeviceImpl& device) {
    int error = 0;
    std::shared_ptr<Channel> channel = source ? source->Open(device.info(), &error) : nullptr;
    if (!channel) return false;
    device.attach(channel);
    auto session = std::make_shared<ReadSession>(loop, channel);
    Checkout checkout{session, std::thread([this, session, raw = &device] { readLoop(session, raw); })};
    device.checkout = std::move(checkout);
    return true;
}

void Controller::Impl::release(DeviceImpl& device) {
    if (!device.checkout) return;
    std::shared_ptr<Channel> channel = device.detach();
    Checkout checkout = std::move(*device.checkout);
    device.checkout.reset();
    checkout.session->wake.signal();
    checkout.session->call.cancel();
    if (checkout.session->inHandler > 0) {
        // Called from this device's own handler: its thread waits for us to return.
        zombies.push_back(std::move(checkout));
    } else {
        checkout.thread.join();
    }
    if (channel) channel->Close();
}

void Controller::Impl::reapFinished() {
    auto done = [](Checkout& zombie) {
        if (!zombie.session->finished || zombie.session->inHandler > 0) return false;
        zombie.thread.join();
        return true;
    };
    zombies.erase(std::remove_if(zombies.begin(), zombies.end(), done), zombies.end());
}

void Controller::Impl::stop() {
    alive->store(false);
    if (started && source) source->Stop();
    for (auto& device : devices) {
        release(*device);
        retired.push_back(device);
    }
    devices.clear();
    // A thread whose handler is still running (Stop called from inside it) ends once the
    // handler returns; it is left to the destructor.
    auto joinable = [](Checkout& zombie) {
        if (zombie.session->inHandler > 0) return false;
        zombie.thread.join();
        return true;
    };
    zombies.erase(std::remove_if(zombies.begin(), zombies.end(), joinable), zombies.end());
}

void Controller::Impl::readLoop(const std::shared_ptr<ReadSession>& session, DeviceImpl* device) {
    std::vector<uint8_t> buffer(kMaxReportBytes + kReadSlack, 0);
    Channel& channel = *session->channel;
    while (true) {
        pollfd fds[2] = {{session->wake.get(), POLLIN, 0}, {channel.WaitFd(), POLLIN, 0}};
        if (pollRetry(fds, 2, -1) < 0 || fds[0].revents != 0) break;
        if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            requestRescan();
            break;
        }
        ReadResult result = channel.Read(buffer.data(), kMaxReportBytes);
        if (result.status == ReadStatus::Nothing) continue;
        if (result.status == ReadStatus::Gone) {
            requestRescan();
            break;
        }
        if (result.status == ReadStatus::Failed) {
            if (!session->call.call([&] { deliverError(*session, *device, result.error); })) break;
            if (waitForStop(session->wake, kErrorPauseMs)) break;
            continue;
        }
        std::fill(buffer.begin() + result.size, buffer.begin() + result.size + kReadSlack, 0);
        if (events->WantsReports && !events->WantsReports()) continue;
        if (!session->call.call([&] { deliverReport(*session, *device, buffer.data(), result.size); }))
            break;
    }
    session->finished = true;
}

void Controller::Impl::deliverReport(ReadSession& session, DeviceImpl& device, const uint8_t* bytes,
                                     std::size_t size) {
    uint8_t reportId = 0;
    if (device.info().layout.numbered) {
        if (size == 0) return;
        reportId = bytes[0];
        ++bytes;
        --size;
    }
    if (!running() || !events->OnDeviceData) return;
    ++session.inHandler;
    invoke([&] { events->OnDeviceData(device, reportId, bytes, static_cast<uint16_t>(size)); });
    --session.inHandler;
}

void Controller::Impl::deliverError(ReadSession& session, DeviceImpl& device, int error) {
    if (!running() || !events->OnDeviceDataError) return;
    ++session.inHandler;
    invoke([&] { events->OnDeviceDataError(device, static_cast<uint32_t>(error)); });
    --session.inHandler;
}

Controller::Controller(os::MainLoop& loop, std::unique_ptr<Backend> backend)
    : impl_(std::make_unique<Impl>(loop, std::move(backend))) {
    impl_->events = &events;
}

Controller::~Controller() { Stop(); }

void Controller::Start() {
    if (impl_->started) return;
    impl_->started = true;
    impl_->alive->store(true);
    // The first scan is queued before the backend can report a change, so it comes first.
    impl_->loop.post([impl = impl_.get(), alive = impl_->alive] {
        if (alive->load()) impl->rescan(true);
    });
    if (impl_->source) impl_->source->Start({[impl = impl_.get()] { impl->requestRescan(); }});
}

void Controller::Stop() { impl_->stop(); }

void Controller::Enumerate() {
    std::vector<std::shared_ptr<DeviceImpl>> devices = impl_->devices;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (!impl_->running() || !events.OnEnumerate) return;
        bool more = false;
        impl_->invoke([&] { more = events.OnEnumerate(*devices[i], static_cast<int>(i)); });
        if (!more) return;
    }
}

bool Controller::CheckOutByIndex(Device*& device, int index) {
    impl_->reapFinished();
    if (index < 0 || static_cast<std::size_t>(index) >= impl_->devices.size()) return false;
    DeviceImpl& chosen = *impl_->devices[index];
    if (chosen.checkout || !impl_->checkOut(chosen)) return false;
    device = &chosen;
    return true;
}

void Controller::CheckIn(Device*& device) {
    if (auto* ours = dynamic_cast<DeviceImpl*>(device)) impl_->release(*ours);
    device = nullptr;
    impl_->reapFinished();
}

int Controller::Count() const { return static_cast<int>(impl_->devices.size()); }

}  // namespace hid
