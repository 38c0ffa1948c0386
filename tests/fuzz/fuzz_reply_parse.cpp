// Parses arbitrary bytes as a device reply. The payload must stay inside the frame: a framed
// reply cannot hold more than the bytes after its code, a raw one no more than 60 bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/Lcmd.h"

namespace {

constexpr std::size_t kFramedPayloadOffset = 6;
constexpr std::size_t kRawPayloadLimit = kRawReplyLength - kEchoSumLength;

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
    const ByteVector frame(bytes, bytes + size);
    const LCmd reply(frame);
    if (IsFramedEnvelope(frame.data(), frame.size())) {
        check(reply.echoSum == 0);
        check(reply.data.size() + kFramedPayloadOffset <= std::max(size, kFramedPayloadOffset));
    } else {
        check(reply.group == 0 && reply.code == 0);
        check(reply.data.size() <= kRawPayloadLimit);
        check(reply.data.size() + kEchoSumLength <= std::max<std::size_t>(size, kEchoSumLength));
    }
    return 0;
}
