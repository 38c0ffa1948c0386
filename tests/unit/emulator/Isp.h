// ISP frames as the updater sends them (the first 64 bytes of each 70-byte frame).
#pragma once

#include "tests/unit/emulator/Host.h"

namespace emutest {

inline void PutLe32(Bytes* b, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[at + std::size_t(i)] = uint8_t(v >> (8 * i));
}

inline uint32_t Sum(const Bytes& frame) {
    uint32_t s = 0;
    for (uint8_t b : frame) s += b;
    return s;
}

inline Bytes StartProgramFrame(uint32_t packet, const Bytes& image) {
    Bytes f(emu::kReportSize, 0);
    f[0] = 0x85;
    PutLe32(&f, 4, packet);
    PutLe32(&f, 12, uint32_t(image.size()));
    for (std::size_t i = 0; i < 48 && i < image.size(); ++i) f[16 + i] = image[i];
    return f;
}

inline Bytes DataFrame(uint32_t packet, const Bytes& image, std::size_t offset) {
    Bytes f(emu::kReportSize, 0);
    PutLe32(&f, 4, packet);
    for (std::size_t i = 0; i < 56 && offset + i < image.size(); ++i) f[8 + i] = image[offset + i];
    return f;
}

inline Bytes TestImage(std::size_t size) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i) image[i] = uint8_t(i * 7 + 3);
    return image;
}

}  // namespace emutest
