// Loads arbitrary text, split at line ends, as an Intel HEX table into a small buffer.
// Every line and the line array are heap blocks of exactly their size and the buffer
// is exactly the capacity, so the sanitizers catch any read past a line's NUL or the
// last line and any write outside the buffer. The listing of the result is built too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "images/Images.h"

namespace {

constexpr uint32_t kCapacity = 0x400;

void check(bool condition) {
    if (!condition) std::abort();
}

std::vector<std::unique_ptr<char[]>> splitLines(const uint8_t* bytes, std::size_t size) {
    std::vector<std::unique_ptr<char[]>> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i < size && bytes[i] != '\n') continue;
        const std::size_t length = i - start;
        std::unique_ptr<char[]> line(new char[length + 1]);
        std::memcpy(line.get(), bytes + start, length);
        line[length] = '\0';
        lines.push_back(std::move(line));
        start = i + 1;
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
    const std::vector<std::unique_ptr<char[]>> lines = splitLines(bytes, size);
    std::unique_ptr<const char*[]> pointers(new const char*[lines.size()]);
    for (std::size_t i = 0; i < lines.size(); ++i) pointers[i] = lines[i].get();
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kCapacity]);

    const McuLoadResult result = LoadMcuImage({pointers.get(), lines.size()}, buffer.get(), kCapacity);
    check(result.imageSize >= 0);
    check(!(result.complete && result.checksumError));
    const int listed = static_cast<int>(kCapacity);
    check(FormatImageListing(buffer.get(), listed, 0).size() == kCapacity / 16 * 78);
    return 0;
}
