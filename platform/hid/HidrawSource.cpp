// Linux hidraw: devices from /sys/class/hidraw, I/O on /dev/hidrawN, hot-plug from a libudev
// monitor (udevd's events when udevd runs, the kernel's otherwise).
#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/hid/Fd.h"
#include "platform/hid/HidrawSource.h"

namespace hid {
namespace {

constexpr const char* kNodePrefix = "hidraw";
constexpr const char* kUdevControl = "/run/udev/control";
// A new node may be opened before udev has set its permissions; keep trying this long.
constexpr auto kPermissionGrace = std::chrono::seconds(2);
constexpr int kProbeIntervalMs = 50;
constexpr std::size_t kMaxUeventBytes = 64 * 1024;
constexpr std::size_t kMaxDescriptorBytes = HID_MAX_DESCRIPTOR_SIZE;

bool readFile(const std::string& path, std::size_t limit, std::string* out) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    out->clear();
    char chunk[4096];
    while (out->size() < limit) {
        ssize_t got = ::read(fd.get(), chunk, std::min(sizeof chunk, limit - out->size()));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        out->append(chunk, static_cast<std::size_t>(got));
    }
    return true;
}

// hidrawN → N; -1 for any other name.
long nodeNumber(const std::string& name) {
    std::size_t prefix = std::strlen(kNodePrefix);
    if (name.size() <= prefix || name.compare(0, prefix, kNodePrefix) != 0) return -1;
    long number = 0;
    for (std::size_t i = prefix; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || number > std::numeric_limits<int>::max() / 10)
            return -1;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

bool parseHexField(const std::string& text, uint32_t limit, uint32_t* value) {
    if (text.empty() || text.size() > 8) return false;
    uint32_t result = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        result = result * 16 + static_cast<uint32_t>(digit);
    }
    if (result > limit) return false;
    *value = result;
    return true;
}

bool parseHidId(const std::string& value, UeventIds* ids) {
    std::size_t first = value.find(':');
    std::size_t second = first == std::string::npos ? first : value.find(':', first + 1);
    if (second == std::string::npos) return false;
    uint32_t bus, vendor, product;
    constexpr uint32_t kMax16 = 0xFFFF;
    if (!parseHexField(value.substr(0, first), kMax16, &bus) ||
        !parseHexField(value.substr(first + 1, second - first - 1), kMax16, &vendor) ||
        !parseHexField(value.substr(second + 1), kMax16, &product))
        return false;
    ids->bus = static_cast<uint16_t>(bus);
    ids->vendor = static_cast<uint16_t>(vendor);
    ids->product = static_cast<uint16_t>(product);
    return true;
}

// errno of an O_RDWR open of the node, 0 when it opens.
int probeOpen(const std::string& node) {
    UniqueFd fd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    return fd.valid() ? 0 : errno;
}

bool worthRetrying(int error) { return error == EACCES || error == EPERM || error == ENOENT; }

std::string accessProblemText(const std::string& node, int error) {
    return "Cannot open " + node + " (" + std::strerror(error) +
           "): install the udev rule (see README, Device access) or re-plug the device";
}

bool layoutFromNode(const std::string& node, ReportLayout* layout) {
    UniqueFd fd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return false;
    int size = 0;
    if (::ioctl(fd.get(), HIDIOCGRDESCSIZE, &size) < 0 || size < 0 ||
        static_cast<std::size_t>(size) > kMaxDescriptorBytes)
        return false;
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<uint32_t>(size);
    if (::ioctl(fd.get(), HIDIOCGRDESC, &descriptor) < 0) return false;
    *layout = ParseReportLayout(descriptor.value, descriptor.size);
    return true;
}

class HidrawChannel final : public Channel {
public:
    HidrawChannel(UniqueFd fd, std::string sysNode) : fd_(std::move(fd)), sysNode_(std::move(sysNode)) {}

    int WaitFd() const override { return fd_.get(); }

    ReadResult Read(uint8_t* buffer, std::size_t capacity) override {
        ssize_t got = ::read(fd_.get(), buffer, capacity);
        if (got > 0) return {ReadStatus::Report, static_cast<std::size_t>(got), 0};
        if (got == 0) return {ReadStatus::Gone, 0, 0};
        int error = errno;
        if (error == EAGAIN || error == EINTR) return {ReadStatus::Nothing, 0, 0};
        if (error == ENODEV || (error == EIO && ::access(sysNode_.c_str(), F_OK) != 0))
            return {ReadStatus::Gone, 0, error};
        return {ReadStatus::Failed, 0, error};
    }

    bool Write(const uint8_t* report, std::size_t length) override {
        ssize_t written;
        do {
            written = ::write(fd_.get(), report, length);
        } while (written < 0 && errno == EINTR);
        return written == static_cast<ssize_t>(length);
    }

    void Close() override {}  // the descriptor closes with the channel

private:
    UniqueFd fd_;
    std::string sysNode_;
};

class HidrawSource final : public DeviceSource {
public:
    HidrawSource(uint16_t vendor, HidrawRoots roots) : vendor_(vendor), roots_(std::move(roots)) {}
    ~HidrawSource() override { Stop(); }

    void Start(SourceSink sink) override {
        if (!roots_.watch || monitor_.joinable()) return;
        sink_ = std::move(sink);
        monitor_ = std::thread([this] { monitorLoop(); });
    }

    void Stop() override {
        if (!monitor_.joinable()) return;
        stop_.signal();
        monitor_.join();
        sink_ = {};
    }

    std::vector<DeviceInfo> Scan() override {
        std::vector<DeviceInfo> found;
        for (const std::string& name : nodeNames()) {
            DeviceInfo info;
            if (!isPending(name) && describe(name, &info)) found.push_back(std::move(info));
        }
        return found;
    }

    std::shared_ptr<Channel> Open(const DeviceInfo& info, int* error) override {
        UniqueFd fd(::open(info.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (!fd.valid()) {
            *error = errno;
            return nullptr;
        }
        std::string name = info.path.substr(info.path.rfind('/') + 1);
        return std::make_shared<HidrawChannel>(std::move(fd), roots_.sysClass + "/" + name);
    }

private:
    std::vector<std::string> nodeNames() const {
        std::vector<std::pair<long, std::string>> numbered;
        if (DIR* dir = ::opendir(roots_.sysClass.c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                long number = nodeNumber(entry->d_name);
                if (number >= 0) numbered.emplace_back(number, entry->d_name);
            }
            ::closedir(dir);
        }
        std::sort(numbered.begin(), numbered.end());
        std::vector<std::string> names;
        for (auto& entry : numbered) names.push_back(std::move(entry.second));
        return names;
    }

    std::string deviceDir(const std::string& name) const {
        return roots_.sysClass + "/" + name + "/device";
    }
    std::string nodePath(const std::string& name) const { return roots_.dev + "/" + name; }

    bool idsOf(const std::string& name, UeventIds* ids) const {
        std::string uevent;
        return readFile(deviceDir(name) + "/uevent", kMaxUeventBytes, &uevent) &&
               ParseHidUevent(uevent, ids);
    }

    bool describe(const std::string& name, DeviceInfo* info) const {
        UeventIds ids;
        if (!idsOf(name, &ids)) return false;
        std::string dir = deviceDir(name);
        char* resolved = ::realpath(dir.c_str(), nullptr);
        // The hid device's sysfs name carries a sequence number, so each arrival gets a new key.
        info->key = (resolved ? std::string(resolved) : dir) + "|" + name;
        std::free(resolved);
        info->path = nodePath(name);
        info->vendor = ids.vendor;
        info->product = ids.product;
        std::string descriptor;
        if (readFile(dir + "/report_descriptor", kMaxDescriptorBytes, &descriptor) &&
            !descriptor.empty()) {
            info->layout = ParseReportLayout(reinterpret_cast<const uint8_t*>(descriptor.data()),
                                             descriptor.size());
        } else if (!layoutFromNode(info->path, &info->layout)) {
            info->layout = {kDefaultReportLength, kDefaultReportLength, false};
        }
        if (ids.vendor == vendor_) {
            int error = probeOpen(info->path);
            if (error != 0) info->accessProblem = accessProblemText(info->path, error);
        }
        return true;
    }

    bool isPending(const std::string& name) {
        std::lock_guard<std::mutex> guard(mutex_);
        return pending_.count(name) != 0;
    }

    // Monitor thread: a new node of interest that cannot be opened yet is held back until it
    // opens or its grace time ends.
    void noteEvent(udev_device* device) {
        const char* action = udev_device_get_action(device);
        const char* sysname = udev_device_get_sysname(device);
        if (!action || !sysname || nodeNumber(sysname) < 0) return;
        std::lock_guard<std::mutex> guard(mutex_);
        if (std::strcmp(action, "remove") == 0) {
            pending_.erase(sysname);
            return;
        }
        UeventIds ids;
        if (std::strcmp(action, "add") != 0 || !idsOf(sysname, &ids) || ids.vendor != vendor_) return;
        if (worthRetrying(probeOpen(nodePath(sysname))))
            pending_[sysname] = std::chrono::steady_clock::now() + kPermissionGrace;
    }

    bool reprobePending() {
        std::lock_guard<std::mutex> guard(mutex_);
        bool resolved = false;
        auto now = std::chrono::steady_clock::now();
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (now >= it->second || !worthRetrying(probeOpen(nodePath(it->first)))) {
                it = pending_.erase(it);
                resolved = true;
            } else {
                ++it;
            }
        }
        return resolved;
    }

    bool hasPending() {
        std::lock_guard<std::mutex> guard(mutex_);
        return !pending_.empty();
    }

    void monitorLoop() {
        udev* context = udev_new();
        const char* source = ::access(kUdevControl, F_OK) == 0 ? "udev" : "kernel";
        udev_monitor* monitor = context ? udev_monitor_new_from_netlink(context, source) : nullptr;
        if (monitor && (udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr) < 0 ||
                        udev_monitor_enable_receiving(monitor) < 0)) {
            udev_monitor_unref(monitor);
            monitor = nullptr;
        }
        // Without a monitor the list still follows removals noticed by the read threads.
        int monitorFd = monitor ? udev_monitor_get_fd(monitor) : -1;
        while (true) {
            pollfd fds[2] = {{stop_.get(), POLLIN, 0}, {monitorFd, POLLIN, 0}};
            if (pollRetry(fds, 2, hasPending() ? kProbeIntervalMs : -1) < 0 || fds[0].revents != 0)
                break;
            bool changed = false;
            if (fds[1].revents != 0) {
                while (udev_device* device = udev_monitor_receive_device(monitor)) {
                    noteEvent(device);
                    udev_device_unref(device);
                    changed = true;
                }
            }
            if (reprobePending()) changed = true;
            if (changed && sink_.changed) sink_.changed();
        }
        if (monitor) udev_monitor_unref(monitor);
        if (context) udev_unref(context);
    }

    const uint16_t vendor_;
    const HidrawRoots roots_;
    SourceSink sink_;
    WakeFd stop_;
    std::thread monitor_;
    std::mutex mutex_;
    std::map<std::string, std::chrono::steady_clock::time_point> pending_;
};

}  // namespace

bool ParseHidUevent(const std::string& text, UeventIds* ids) {
    UeventIds parsed;
    bool haveId = false;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "HID_ID" && !haveId) haveId = parseHidId(value, &parsed);
        else if (key == "HID_NAME") parsed.name = value;
    }
    if (!haveId) return false;
    *ids = parsed;
    return true;
}

std::unique_ptr<DeviceSource> MakeHidrawSource(uint16_t vendorOfInterest, HidrawRoots roots) {
    return std::make_unique<HidrawSource>(vendorOfInterest, std::move(roots));
}

std::unique_ptr<Backend> MakeHidrawBackend(uint16_t vendorOfInterest) {
    return MakeHidrawSource(vendorOfInterest, HidrawRoots{});
}

}  // namespace hid
