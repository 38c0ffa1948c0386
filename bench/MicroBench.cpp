// dsp-micro-bench: the per-frame and per-image costs of the updater, one function at a time.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <numeric>

#include "app/Updater.h"
#include "link/Lusb.h"
#include "protocol/Lcmd.h"

namespace {

constexpr uint32_t kKey = 0x5A3C96E1;
constexpr int kDspBlockIndex = 17;
constexpr int kParameterRowBytes = 51;  // row index and 50 row bytes
constexpr uint8_t kReplyGroup = 1;

// A reply as the device frames it: 10 02 01 00, length, code, payload, 10 03, check byte.
ByteVector framedReply(uint8_t code, std::size_t payloadBytes) {
    ByteVector frame = {kDle, kStx, kReplyGroup, 0x00, uint8_t(payloadBytes + 1), code};
    for (std::size_t i = 0; i < payloadBytes; ++i) frame.push_back(uint8_t(i * 3 + 1));
    frame.push_back(kDle);
    frame.push_back(kEtx);
    frame.push_back(uint8_t(std::accumulate(frame.begin(), frame.end(), 0u)));
    return frame;
}

ByteVector rawReply() {
    ByteVector report(kRawReplyLength);
    for (std::size_t i = 0; i < report.size(); ++i) report[i] = uint8_t(i * 7 + 5);
    return report;
}

const uint8_t* dspImage() {
    static uint8_t buffer[kImageBufferSize];
    static const bool loaded = LoadDspImage(EmbeddedDspWords(), buffer) > 0;
    (void)loaded;
    return buffer;
}

struct McuImage {
    uint8_t buffer[kImageBufferSize] = {};
    int32_t size = 0;
};

const McuImage& mcuImage() {
    static McuImage image;
    static const bool loaded = [] {
        image.size = LoadMcuImage(EmbeddedMcuHex(), image.buffer, kMcuImageCapacity).imageSize;
        return true;
    }();
    (void)loaded;
    return image;
}

// The least a link needs of its window: deliveries are counted, writes go nowhere.
class CountingOwner final : public LinkOwner {
public:
    explicit CountingOwner(os::MainLoop& loop) : loop_(loop) {}
    intptr_t SendLinkMessage(uint32_t msg, uintptr_t, intptr_t, os::SyncCall&) override {
        if (msg == WM_USB_FRAME) ++frames;
        return 0;
    }
    void PostLinkMessage(uint32_t, uintptr_t, intptr_t) override {}
    void writeReport(const uint8_t*, int32_t) override {}
    os::MainLoop& LinkLoop() override { return loop_; }

    std::atomic<int> frames{0};

private:
    os::MainLoop& loop_;
};

os::MainLoop& mainLoop() { return ui::Application::Instance()->MainLoop(); }

// A started link whose reassembly is in framed mode (a framed command was handed over).
std::shared_ptr<LUsbProc> framedLink(CountingOwner& owner) {
    auto link = std::make_shared<LUsbProc>(&owner);
    link->Start();
    link->SetKeepAliveSuspended(true);
    link->Submit(BuildFrame(CM_MCS_CMD(cmd::kGroup, cmd::kOpen), MODE_FRAMED), true);
    return link;
}

void BM_BuildFrame_DspBlock(benchmark::State& state) {
    const uint8_t* image = dspImage();
    for (auto _ : state) {
        ByteVector frame = BuildFrame(CM_MCS_DSP_BYTE_PROG(kDspBlockIndex, image, kKey), MODE_FRAMED);
        benchmark::DoNotOptimize(frame.data());
    }
}
BENCHMARK(BM_BuildFrame_DspBlock);

void BM_BuildFrame_IspFrame(benchmark::State& state) {
    uint8_t frame[kIspFrameSize] = {};
    std::iota(frame, frame + kIspFrameSize, uint8_t(1));
    for (auto _ : state) {
        ByteVector wire = BuildFrame(CM_MCS_PROGRAM_DATA(frame, kIspFrameSize), MODE_RAW);
        benchmark::DoNotOptimize(wire.data());
    }
}
BENCHMARK(BM_BuildFrame_IspFrame);

void BM_ParseReply_ParameterRow(benchmark::State& state) {
    const ByteVector frame = framedReply(cmd::kParamBlock, kParameterRowBytes);
    for (auto _ : state) {
        LCmd reply(frame);
        benchmark::DoNotOptimize(reply.data.data());
    }
}
BENCHMARK(BM_ParseReply_ParameterRow);

void BM_ParseReply_IspRaw(benchmark::State& state) {
    const ByteVector frame = rawReply();
    for (auto _ : state) {
        LCmd reply(frame);
        benchmark::DoNotOptimize(reply.data.data());
    }
}
BENCHMARK(BM_ParseReply_IspRaw);

// Raw reassembly: 64 bytes make one reply; never started, so the reply ends at reassembly.
void BM_Reassembly_RawPerByte(benchmark::State& state) {
    CountingOwner owner(mainLoop());
    auto link = std::make_shared<LUsbProc>(&owner);
    const ByteVector report = rawReply();
    for (auto _ : state)
        for (uint8_t b : report) link->OnRxByte(b);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(report.size()));
}
BENCHMARK(BM_Reassembly_RawPerByte);

// Framed reassembly and the delivery of each completed reply, fed on the main thread, where
// the delivery runs at once.
void BM_Reassembly_FramedPerByte(benchmark::State& state) {
    CountingOwner owner(mainLoop());
    auto link = framedLink(owner);
    const ByteVector reply = framedReply(cmd::kDspBlock, 1);
    for (auto _ : state)
        for (uint8_t b : reply) link->OnRxByte(b);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(reply.size()));
    if (owner.frames == 0) state.SkipWithError("no reply was delivered");
    link->Stop();
}
BENCHMARK(BM_Reassembly_FramedPerByte);

// One input report handed over on the main thread, fed through by the worker, and delivered
// back to the main thread synchronously: the link's part of every exchange.
void BM_ReceiveBytesToDelivery(benchmark::State& state) {
    CountingOwner owner(mainLoop());
    auto link = framedLink(owner);
    const ByteVector reply = framedReply(cmd::kDspBlock, 1);
    for (auto _ : state) {
        const int before = owner.frames;
        link->ReceiveBytes(reply.data(), int(reply.size()));
        while (owner.frames == before) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    link->Stop();
}
BENCHMARK(BM_ReceiveBytesToDelivery)->UseRealTime();

void BM_LoadMcuImage(benchmark::State& state) {
    static uint8_t buffer[kImageBufferSize];
    for (auto _ : state) {
        McuLoadResult result = LoadMcuImage(EmbeddedMcuHex(), buffer, kMcuImageCapacity);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_LoadMcuImage)->Unit(benchmark::kMillisecond);

void BM_LoadDspImage(benchmark::State& state) {
    static uint8_t buffer[kImageBufferSize];
    for (auto _ : state) benchmark::DoNotOptimize(LoadDspImage(EmbeddedDspWords(), buffer));
}
BENCHMARK(BM_LoadDspImage)->Unit(benchmark::kMillisecond);

void BM_FormatImageListing(benchmark::State& state) {
    const McuImage& image = mcuImage();
    for (auto _ : state) {
        std::string listing = FormatImageListing(image.buffer, image.size, 0);
        benchmark::DoNotOptimize(listing.data());
    }
    state.counters["bytes"] = image.size;
}
BENCHMARK(BM_FormatImageListing)->Unit(benchmark::kMillisecond);

// listImage as the update calls it: the listing and its hand-over to the program data window,
// hidden (it takes the text when shown) and shown (the editor lays the listing out at once).
void BM_ListImage(benchmark::State& state) {
    hid::VirtualHub hub;
    UpdaterWindows windows(hub.MakeBackend());
    if (state.range(0) != 0) fmProgData->Show();
    const McuImage& image = mcuImage();
    for (auto _ : state) windows.isp().listImage(image.buffer, image.size, 0);
    state.counters["bytes"] = image.size;
}
BENCHMARK(BM_ListImage)->ArgName("shown")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ui::Application application(argc, argv, "dsp-micro-bench");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
