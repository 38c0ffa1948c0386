// Reads arbitrary bytes as a HID report descriptor. A report length is never negative and never
// beyond the longest report a backend moves (plus its ID byte), and the two length helpers agree
// with the layout they are read from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/hid/DeviceSource.h"
#include "platform/hid/Hid.h"

namespace {

constexpr int kLongestReport = int(hid::kMaxReportBytes) + 1;

void check(bool condition) {
    if (!condition) std::abort();
}

void checkLength(int length) { check(length >= 0 && length <= kLongestReport); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
    const int output = hid::OutputReportLength(bytes, size);
    const int input = hid::InputReportLength(bytes, size);
    const hid::ReportLayout layout = hid::ParseReportLayout(bytes, size);
    checkLength(output);
    checkLength(input);
    check(layout.outputLength == output && layout.inputLength == input);
    return 0;
}
