#include <cstdlib>
#include <limits>

#include "emulator/Emulator.h"

namespace emu {

namespace {

constexpr int kMcuResetCommand = 0x86;
constexpr int kMaxCode = 0xFF;
constexpr int kMaxBlock = 0xFFFF;

bool ParseNumber(const std::string& text, int max, int* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (*end != '\0' || v < 0 || v > max) return false;
    *value = int(v);
    return true;
}

bool ParseOccurrence(const std::string& text, int* occurrence) {
    if (text == "every") {
        *occurrence = 0;
        return true;
    }
    return ParseNumber(text, std::numeric_limits<int>::max(), occurrence) && *occurrence > 0;
}

bool ParseDataFrame(const std::string& text, int* index) {
    if (text == "first") *index = 0;
    else if (text == "middle") *index = kMiddleDataFrame;
    else if (text == "last") *index = kLastDataFrame;
    else return ParseNumber(text, std::numeric_limits<int>::max(), index);
    return true;
}

bool ParseHead(const std::string& kind, const std::string& arg, StagePoint* p) {
    if (kind == "run") {
        p->stage = Stage::RunCommand;
        return ParseNumber(arg, kMaxCode, &p->code);
    }
    if (kind == "param") {
        p->stage = Stage::ParamRequest;
        return ParseNumber(arg, kMaxCode, &p->index);
    }
    if (kind == "dsp") {
        p->stage = Stage::DspBlock;
        return ParseNumber(arg, kMaxBlock, &p->index);
    }
    if (kind == "isp") {
        p->stage = Stage::IspCommand;
        return ParseNumber(arg, kMaxCode, &p->code);
    }
    if (kind == "data") {
        p->stage = Stage::DataFrame;
        return ParseDataFrame(arg, &p->index);
    }
    return false;
}

}  // namespace

bool ParseStage(const std::string& text, StagePoint* point, std::string* error) {
    StagePoint p;
    std::string head = text;
    std::size_t at = text.find('@');
    bool ok = true;
    if (at != std::string::npos) {
        head = text.substr(0, at);
        ok = ParseOccurrence(text.substr(at + 1), &p.occurrence);
    }
    if (ok && head == "mcu-reset") {
        p.stage = Stage::IspCommand;
        p.code = kMcuResetCommand;
    } else if (ok) {
        std::size_t colon = head.find(':');
        ok = colon != std::string::npos &&
             ParseHead(head.substr(0, colon), head.substr(colon + 1), &p);
    }
    if (!ok) {
        if (error)
            *error = "bad stage \"" + text +
                     "\" (expected run:CODE, param:I, dsp:N, isp:CMD, mcu-reset or "
                     "data:first|middle|last|K, optionally followed by @K or @every)";
        return false;
    }
    *point = p;
    return true;
}

}  // namespace emu
