// What the controller needs of a system backend: a list of attached devices, a change signal,
// and channels to the devices it checks out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid/Hid.h"

namespace hid {

// The largest report the backends read or write (uhid's data limit).
constexpr std::size_t kMaxReportBytes = 4096;
// Lengths used when a device's descriptor cannot be read: 64 data bytes and the ID byte.
constexpr int kDefaultReportLength = 65;

// Report lengths and numbering found in a report descriptor.
struct ReportLayout {
    int inputLength = 0;
    int outputLength = 0;
    bool numbered = false;  // report IDs in use: the first byte of every report is its ID
};
ReportLayout ParseReportLayout(const uint8_t* descriptor, std::size_t size);

struct DeviceInfo {
    std::string key;  // unique for one arrival of one device
    std::string path;
    uint16_t vendor = 0;
    uint16_t product = 0;
    ReportLayout layout;
    std::string accessProblem;  // non-empty when the device cannot be opened
};

enum class ReadStatus { Report, Nothing, Gone, Failed };
struct ReadResult {
    ReadStatus status = ReadStatus::Nothing;
    std::size_t size = 0;
    int error = 0;
};

// One opened device. Read is called by its read thread only, Write from any thread.
class Channel {
public:
    virtual ~Channel() = default;
    // Readable (poll) when Read has something to report.
    virtual int WaitFd() const = 0;
    virtual ReadResult Read(uint8_t* buffer, std::size_t capacity) = 0;
    virtual bool Write(const uint8_t* report, std::size_t length) = 0;
    // Ends the session with the device; WaitFd stays valid until destruction.
    virtual void Close() = 0;
};

struct SourceSink {
    std::function<void()> changed;  // the attached set may have changed; any thread
};

class DeviceSource : public Backend {
public:
    // The sink may be called from any thread until Stop returns.
    virtual void Start(SourceSink sink) = 0;
    virtual void Stop() = 0;
    virtual std::vector<DeviceInfo> Scan() = 0;
    virtual std::shared_ptr<Channel> Open(const DeviceInfo& info, int* error) = 0;
};

}  // namespace hid
