// Small stand-in images for short runs, and the size an MCU image loads to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "images/Images.h"

namespace bench {

class SmallImages {
public:
    static constexpr int kMcuBytes = 4096;
    static constexpr int kDspWords = 512;

    SmallImages();
    SmallImages(const SmallImages&) = delete;
    SmallImages& operator=(const SmallImages&) = delete;

    HexTable mcu() const { return {pointers_.data(), pointers_.size()}; }
    WordTable dsp() const { return {words_.data(), words_.size()}; }

private:
    std::vector<std::string> lines_;
    std::vector<const char*> pointers_;
    std::vector<uint32_t> words_;
};

// The image size the updater programs for this table.
int32_t McuImageSize(const HexTable& table);

}  // namespace bench
