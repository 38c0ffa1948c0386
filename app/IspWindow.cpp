// The main window: layout, start-up state, message routing and the outer frame of the reply
// dispatcher.
#include <exception>

#include "app/Fhiddata.h"
#include "app/Fprogdata.h"
#include "app/Isp.h"
#include "app/Texts.h"

TfmIsp* fmIsp = nullptr;

namespace {

constexpr ui::Rect kOuter{0, 0, 380, 172};
constexpr int kClientWidth = 364;
constexpr int kClientHeight = 133;
constexpr const char* kFormFont = "MS Sans Serif";
constexpr int kFormFontPixels = 11;
constexpr int kLabelFontPixels = 16;
constexpr int kButtonFontPixels = 13;
constexpr int kPanel0Width = 180;
constexpr int kPanel1Width = 50;

constexpr int kUsbWaitLayoutMs = 100;
constexpr int kWaitDisconnectMs = 500;
constexpr int kStepTimerMs = 100;

}  // namespace

TfmIsp::TfmIsp(std::unique_ptr<hid::Backend> hidBackend)
    : ui::Form("fmIsp", text::kCaption, kOuter, kClientWidth, kClientHeight,
               ui::Position::DesktopCenter),
      lbHidShow(*this, "lbHidShow", {80, 24, 201, 20}, text::kDeviceUpdate, true),
      bnSecurity(*this, "bnSecurity", {64, 60, 80, 25}, text::kSecurity),
      pbProgress(*this, "pbProgress", {0, 97, 364, 17}),
      sbStatus(*this, "sbStatus", {0, 114, 364, 19}),
      bnMcuProgram(*this, "bnMcuProgram", {224, 60, 80, 25}, text::kMcuProg),
      bnDspPorgram(*this, "bnDspPorgram", {144, 60, 80, 25}, text::kDspProg),
      btnStartProgram(*this, "btnStartProgram", {64, 56, 241, 30}, text::kStartProgram),
      Memory1(*this, "Memory1", text::kMenuMemory),
      HidData1(*this, "HidData1", text::kMenuHidData),
      HidCtl(std::make_unique<hid::Controller>(ui::Application::Instance()->MainLoop(),
                                               std::move(hidBackend))),
      tmUsbWait(kUsbWaitLayoutMs),
      tmWaitDisconnect(kWaitDisconnectMs),
      tmDspProgram(kStepTimerMs),
      tmMcuProg(kStepTimerMs),
      tmRunStep(kStepTimerMs),
      mcuTable(EmbeddedMcuHex()),
      dspTable(EmbeddedDspWords()) {
    createLayout();
    connectHandlers();
    SetWindowProc([this](ui::Message& message) { windowHook(message); });
    FormCreate();
}

TfmIsp::~TfmIsp() {
    HidCtl->Stop();
    dropLink();
    LUsb::WaitForAllWorkers(LUsb::kStopWaitMs);
}

void TfmIsp::createLayout() {
    SetFont(kFormFont, kFormFontPixels);
    lbHidShow.SetFont(kFormFont, kLabelFontPixels);
    for (ui::Button* button : {&bnSecurity, &bnMcuProgram, &bnDspPorgram, &btnStartProgram})
        button->SetFont(kFormFont, kButtonFontPixels);
    bnSecurity.SetEnabled(false);
    bnSecurity.SetTabOrder(3);
    pbProgress.SetAlign(ui::Align::Bottom);
    pbProgress.SetRange(0, 100);
    pbProgress.SetTabOrder(0);
    sbStatus.SetAlign(ui::Align::Bottom);
    sbStatus.AddPanel(text::kDisconnect, kPanel0Width);
    sbStatus.AddPanel(text::kNoDevceLayout, kPanel1Width);
    sbStatus.SetColor(ui::clBtnFace);
    bnMcuProgram.SetTabOrder(1);
    bnDspPorgram.SetEnabled(false);
    bnDspPorgram.SetTabOrder(4);
    btnStartProgram.SetEnabled(false);
    btnStartProgram.SetTabOrder(5);
    Memory1.SetVisible(false);
    HidData1.SetVisible(false);
}

void TfmIsp::connectHandlers() {
    btnStartProgram.OnClick = [this] { btnStartProgramClick(); };
    bnMcuProgram.OnClick = [this] { bnMcuProgramClick(); };
    bnSecurity.OnClick = [this] { bnSecurityClick(); };
    bnDspPorgram.OnClick = [this] { bnDspPorgramClick(); };
    Memory1.OnClick = [this] { Memory1Click(); };
    HidData1.OnClick = [this] { HidData1Click(); };
    tmUsbWait.OnTimer = [this] { tmUsbWaitTimer(); };
    tmWaitDisconnect.OnTimer = [this] { tmWaitDisconnectTimer(); };
    tmDspProgram.OnTimer = [this] { tmDspProgramTimer(); };
    tmMcuProg.OnTimer = [this] { tmMcuProgTimer(); };
    tmRunStep.OnTimer = [this] { tmRunStepTimer(); };
    OnClose = [this] { FormClose(); };

    hid::Events& events = HidCtl->events;
    events.OnDeviceChange = [this] { ui::RunGuarded([this] { HidCtlDeviceChange(); }); };
    events.OnEnumerate = [this](hid::Device& device, int index) {
        bool result = true;
        ui::RunGuarded([&] { result = HidCtlEnumerate(device, index); });
        return result;
    };
    events.OnDeviceUnplug = [this](hid::Device& device) {
        ui::RunGuarded([&] { HidCtlDeviceUnplug(device); });
    };
    events.OnDeviceData = [this](hid::Device& device, uint8_t reportId, const uint8_t* data,
                                 uint16_t size) {
        ui::RunGuarded([&] { HidCtlDeviceData(device, reportId, data, size); });
    };
    events.OnDeviceDataError = [this](hid::Device& device, uint32_t error) {
        ui::RunGuarded([&] { HidCtlDeviceDataError(device, error); });
    };
    events.WantsReports = [this] { return rxEnabled.load(); };
    events.OnSystemDeviceChange = [this] { SendMessage(WM_DEVICECHANGE, 0, 0); };
    events.OnAccessProblem = [this](const std::string& problem) {
        setStepText(problem);
        if (onAccessProblem) onAccessProblem(problem);
    };
}

void TfmIsp::FormCreate() {
    showNoDevice();
    updateActive = 0;
    runStep = 0;
}

void TfmIsp::FormClose() { closeLink(); }

void TfmIsp::windowHook(ui::Message& message) {
    if (message.Msg == WM_DEVICECHANGE) {
        if (hidDevice == nullptr) showNoDevice();
        return;
    }
    DefaultWindowProc(message);
}

void TfmIsp::Dispatch(ui::Message& message) {
    switch (message.Msg) {
        case WM_USB_FRAME:
            dispatchReply(*reinterpret_cast<const ByteVector*>(message.WParam));
            break;
        case WM_USB_STATUS:  // overdue replies and worker ends change nothing here
        default:
            ui::Form::Dispatch(message);
    }
}

void TfmIsp::dispatchReply(const ByteVector& frame) {
    const LCmd reply(frame);
    if (ispStep == kIspIdle) {
        handleRunModeReply(reply);
    } else if ((ispStep >= kIspConnect && ispStep <= kIspReset) || ispStep == kIspEraseAll) {
        handleIspReply(reply);
    }
}

intptr_t TfmIsp::SendLinkMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam,
                                 os::SyncCall& call) {
    return SendMessage(msg, wParam, lParam, call);
}

void TfmIsp::PostLinkMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    PostMessage(msg, wParam, lParam);
}

os::MainLoop& TfmIsp::LinkLoop() { return ui::Application::Instance()->MainLoop(); }

void TfmIsp::SendCmd(const LCmd& cmd, bool append, int mode) {
    if (!usbProc) return;
    usbProc->Submit(BuildFrame(cmd, mode), append);
}

void TfmIsp::setStepText(const std::string& step) {
    sbStatus.SetSimpleText(step);
    pbProgress.SetCaption(step);
    if (onStepText) onStepText(step);
}

std::string TfmIsp::stepText() const { return sbStatus.SimpleText(); }

std::string TfmIsp::devicePanel() const { return sbStatus.PanelText(1); }

void TfmIsp::setBusy(bool busy) { sbStatus.SetColor(busy ? ui::clRed : ui::clBtnFace); }

void TfmIsp::Memory1Click() { fmProgData->ShowModal(); }

void TfmIsp::HidData1Click() {
    constexpr int kGap = 10;
    fmHidData->ShowLog();
    fmHidData->SetLeft(Left() + Width() + kGap);
    fmHidData->SetTop(Top());
}

void TfmIsp::listImage(const uint8_t* bytes, int count, uint32_t base) {
    fmProgData->moShowCode.SetText(FormatImageListing(bytes, count, base));
}

void TfmIsp::logLine(const std::string& line) {
    if (fmHidData) fmHidData->AddLine(line);
}
