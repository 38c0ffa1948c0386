// The main window as it starts: layout, start-up state, message routing.
#include <gtest/gtest.h>

#include "app/Texts.h"
#include "tests/support/UpdaterHarness.h"

namespace {

using harness::Harness;

struct ControlRow {
    const char* name;
    ui::Rect bounds;
    const char* text;
    int fontPixels;
    bool enabled;
    int tabOrder;
};

ui::Control& controlNamed(TfmIsp& isp, const std::string& name) {
    for (ui::Control* control : std::initializer_list<ui::Control*>{
             &isp.lbHidShow, &isp.bnSecurity, &isp.pbProgress, &isp.sbStatus, &isp.bnMcuProgram,
             &isp.bnDspPorgram, &isp.btnStartProgram})
        if (control->Name() == name) return *control;
    throw std::runtime_error("no control " + name);
}

TEST(MainWindow, ControlsMatchTheLayout) {
    Harness h;
    TfmIsp& isp = h.isp();
    // Enabled states as they stand after creation with no device (Mcu Prog is disabled by the
    // start-up's no-device display).
    const ControlRow rows[] = {
        {"lbHidShow", {80, 24, 201, 20}, "Device Update", 16, true, -1},
        {"bnSecurity", {64, 60, 80, 25}, "Security", 13, false, 3},
        {"pbProgress", {0, 97, 364, 17}, "", -1, true, 0},
        {"sbStatus", {0, 114, 364, 19}, "", -1, true, -1},
        {"bnMcuProgram", {224, 60, 80, 25}, "Mcu Prog", 13, false, 1},
        {"bnDspPorgram", {144, 60, 80, 25}, "Dsp Prog", 13, false, 4},
        {"btnStartProgram", {64, 56, 241, 30}, "Start Program ", 13, false, 5},
    };
    for (const ControlRow& row : rows) {
        SCOPED_TRACE(row.name);
        ui::Control& control = controlNamed(isp, row.name);
        EXPECT_EQ(control.Bounds(), row.bounds);
        if (*row.text) {
            EXPECT_EQ(control.Text(), row.text);
        }
        if (row.fontPixels > 0) {
            EXPECT_EQ(control.FontPixelHeight(), row.fontPixels);
        }
        EXPECT_EQ(control.Enabled(), row.enabled);
        EXPECT_TRUE(control.Visible());
        if (row.tabOrder >= 0) {
            EXPECT_EQ(control.TabOrder(), row.tabOrder);
        }
    }
    EXPECT_EQ(isp.Caption(), "Update Tavrin V1.02 CompTime");
    EXPECT_EQ(isp.ClientWidth(), 364);
    EXPECT_EQ(isp.ClientHeight(), 133);
    EXPECT_EQ(isp.FontPixelHeight(), 11);
    EXPECT_FALSE(isp.Memory1.Visible());
    EXPECT_FALSE(isp.HidData1.Visible());
}

TEST(MainWindow, StartButtonCoversTheStepButtons) {
    Harness h;
    const ui::Rect start = h.isp().btnStartProgram.Bounds();
    for (ui::Button* button : {&h.isp().bnSecurity, &h.isp().bnDspPorgram, &h.isp().bnMcuProgram}) {
        const ui::Rect r = button->Bounds();
        EXPECT_LE(start.left, r.left);
        EXPECT_LE(start.top, r.top);
        EXPECT_GE(start.left + start.width, r.left + r.width);
        EXPECT_GE(start.top + start.height, r.top + r.height);
    }
}

TEST(MainWindow, StartsIdleWithNoDevice) {
    Harness h;
    h.Start();
    h.Pump(50);
    TfmIsp& isp = h.isp();
    EXPECT_EQ(isp.sbStatus.PanelText(0), text::kDisconnect);
    EXPECT_EQ(isp.sbStatus.PanelText(1), text::kNoDevice);
    EXPECT_EQ(isp.sbStatus.PanelWidth(0), 180);
    EXPECT_EQ(isp.sbStatus.PanelWidth(1), 50);
    EXPECT_FALSE(isp.sbStatus.SimplePanel());
    EXPECT_EQ(isp.sbStatus.GetColor(), ui::clBtnFace);
    EXPECT_FALSE(isp.btnStartProgram.Enabled());
    EXPECT_EQ(isp.pbProgress.Position(), 0);
    EXPECT_EQ(isp.pbProgress.Max(), 100);
    EXPECT_EQ(isp.ispStep, 0);
    EXPECT_EQ(isp.updateActive, 0);
    EXPECT_EQ(isp.runStep, 0);
    for (ui::Timer* timer : {&isp.tmUsbWait, &isp.tmWaitDisconnect, &isp.tmDspProgram,
                             &isp.tmMcuProg, &isp.tmRunStep})
        EXPECT_FALSE(timer->Enabled());
    EXPECT_EQ(isp.tmUsbWait.Interval(), 100);
    EXPECT_EQ(isp.tmWaitDisconnect.Interval(), 500);
    EXPECT_EQ(isp.tmRunStep.Interval(), 100);
}

TEST(MainWindow, FindsARunModeDeviceAlreadyAttached) {
    Harness h;
    h.Attach(harness::FastDevice());
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    TfmIsp& isp = h.isp();
    EXPECT_EQ(isp.devicePanel(), text::kDetectRunHid);
    EXPECT_TRUE(isp.bnSecurity.Enabled());
    EXPECT_TRUE(isp.bnDspPorgram.Enabled());
    EXPECT_TRUE(isp.bnMcuProgram.Enabled());
}

TEST(MainWindow, FindsABootLoaderAlreadyAttached) {
    Harness h;
    h.Attach(harness::FastDevice(emu::Personality::BootLoader));
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    EXPECT_EQ(h.isp().devicePanel(), text::kDetectUpdateHid);
    EXPECT_FALSE(h.isp().bnDspPorgram.Enabled());
}

TEST(MainWindow, TwoDevicesAreBothCheckedOutAndAnyUnplugReleasesTheReference) {
    Harness h;
    emu::DeviceEmulator& runMode = h.Attach(harness::FastDevice());
    h.Attach(harness::FastDevice(emu::Personality::BootLoader));
    h.Start();
    ASSERT_TRUE(h.WaitFor([&] { return h.isp().HidCtl->Count() == 2 && h.isp().hidDevice; }));
    h.Pump(50);
    // Both are checked out in list order; the reference is the last one.
    EXPECT_EQ(h.isp().hidDevice->ProductID(), kBootLoaderProductId);
    EXPECT_EQ(h.isp().devicePanel(), text::kDetectUpdateHid);
    runMode.Stop();
    ASSERT_TRUE(h.WaitFor([&] { return h.isp().hidDevice == nullptr; }));
    h.Pump(50);
    // The boot loader is still attached and checked out, so nothing picks it up again.
    EXPECT_EQ(h.isp().HidCtl->Count(), 1);
    EXPECT_EQ(h.isp().hidDevice, nullptr);
    EXPECT_EQ(h.isp().devicePanel(), text::kNoDevice);
    EXPECT_FALSE(h.isp().btnStartProgram.Enabled());
}

TEST(MainWindow, DeviceChangeNoticeWithADeviceHeldChangesNothing) {
    Harness h;
    h.Attach(harness::FastDevice());
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    h.isp().SendMessage(WM_DEVICECHANGE, 0, 0);
    EXPECT_EQ(h.isp().devicePanel(), text::kDetectRunHid);
    EXPECT_TRUE(h.isp().bnMcuProgram.Enabled());
    EXPECT_TRUE(h.isp().bnDspPorgram.Enabled());
}

TEST(MainWindow, DeviceChangeNoticeWithoutADeviceShowsNoDevice) {
    Harness h;
    h.isp().bnMcuProgram.SetEnabled(true);
    h.isp().SendMessage(WM_DEVICECHANGE, 0, 0);
    EXPECT_EQ(h.isp().devicePanel(), text::kNoDevice);
    EXPECT_FALSE(h.isp().bnMcuProgram.Enabled());
}

TEST(MainWindow, LinkMessagesOutsideAProcedureChangeNothing) {
    Harness h;
    const ByteVector parameterReply = {0x10, 0x02, 0x01, 0x00, 0x02, 0xA8, 0x00, 0x10, 0x03, 0xAA};
    h.isp().SendMessage(WM_USB_FRAME, reinterpret_cast<uintptr_t>(&parameterReply), 0);
    h.isp().SendMessage(WM_USB_STATUS, kLinkStatusOverdue, 1);
    h.isp().PostMessage(WM_USB_STATUS, kLinkStatusEnded, 0);
    h.Pump(20);
    EXPECT_EQ(h.isp().paramBlockIndex, 0);
    EXPECT_EQ(h.isp().ispStep, 0);
    EXPECT_EQ(h.isp().sbStatus.GetColor(), ui::clBtnFace);
    EXPECT_TRUE(h.boxes.empty());
}

TEST(MainWindow, ReadErrorShowsOneBoxWithTheSystemText) {
    Harness h;
    h.Attach(harness::FastDevice());
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    h.isp().HidCtlDeviceDataError(*h.isp().hidDevice, 5 /* EIO */);
    ASSERT_EQ(h.boxes.size(), 1u);
    EXPECT_EQ(h.boxes[0].text, "READ ERROR: Input/output error");
    EXPECT_EQ(h.isp().devicePanel(), text::kDetectRunHid);
}

TEST(MainWindow, HidLogWindowStandsBesideTheMainWindow) {
    Harness h;
    h.isp().Show();
    h.isp().SetLeft(536);
    h.isp().SetTop(238);
    h.Pump(20);
    h.isp().HidData1Click();
    h.Pump(20);
    EXPECT_EQ(fmHidData->Left(), h.isp().Left() + h.isp().Width() + 10);
    EXPECT_EQ(fmHidData->Top(), h.isp().Top());
    fmHidData->Close();
}

TEST(MainWindow, ScreenshotOfTheWindow) {
    Harness h;
    h.Attach(harness::FastDevice());
    h.isp().Show();
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    h.isp().setStepText("Connect");
    const char* dir = std::getenv("DSP_SCREENSHOT_DIR");
    std::string path = std::string(dir ? dir : ".") + "/main-window.png";
    EXPECT_TRUE(h.isp().Grab(path));
}

}  // namespace
