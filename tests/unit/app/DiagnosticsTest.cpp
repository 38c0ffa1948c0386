// The two diagnostic windows: the image listing and the HID log.
#include <gtest/gtest.h>

#include "app/Texts.h"
#include "tests/support/UpdaterHarness.h"

namespace {

using harness::Harness;

int groupsIn(const std::string& line) {
    // "W 00  " then "XX " per byte.
    return int(line.size() - 6) / 3;
}

TEST(Diagnostics, ListingWindowHoldsTheLastImageLoaded) {
    Harness h;
    EXPECT_EQ(fmProgData->moShowCode.Text(), "Memo1");
    const uint8_t bytes[17] = {0x41, 0x42, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7E};
    h.isp().listImage(bytes, 17, 0x100);
    const std::string listing = fmProgData->moShowCode.Text();
    EXPECT_EQ(listing.substr(0, 10), "00000100  ");
    EXPECT_NE(listing.find("\r\n00000110  7E " + std::string(45, ' ') + "; ~\r\n"),
              std::string::npos);
    h.isp().listImage(bytes, 0, 0);
    EXPECT_EQ(fmProgData->moShowCode.Text(), "");
}

TEST(Diagnostics, HidLogKeepsNothingWhileHidden) {
    Harness h;
    h.Attach(harness::FastDevice());
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    h.isp().bnSecurityClick();
    ASSERT_TRUE(h.WaitFor([&] { return h.isp().paramBlockIndex >= 2; }));
    EXPECT_EQ(fmHidData->hbHidData.Count(), 0);
}

TEST(Diagnostics, HidLogShowsWrittenAndAcceptedReports) {
    Harness h;
    h.Attach(harness::FastDevice());
    h.isp().Show();
    h.Start();
    ASSERT_TRUE(h.WaitForStartEnabled());
    h.isp().HidData1Click();
    h.isp().bnSecurityClick();
    ASSERT_TRUE(h.WaitFor([&] { return fmHidData->hbHidData.Count() >= 4; }));
    ui::ListBox& log = fmHidData->hbHidData;
    EXPECT_EQ(log.Item(0), "W 00  10 02 00 01 01 10 10 03 11 ");
    bool sawParameterRequest = false, sawReply = false;
    for (int i = 0; i < log.Count(); ++i) {
        const std::string line = log.Item(i);
        if (line == "W 00  10 02 00 01 02 A8 00 10 03 AA ") sawParameterRequest = true;
        if (line.rfind("R 00  10 02 01 00 ", 0) == 0) sawReply = true;
    }
    EXPECT_TRUE(sawParameterRequest);
    EXPECT_TRUE(sawReply);
    EXPECT_EQ(log.ItemIndex(), log.Count() - 1);
    fmHidData->Close();
    const int kept = log.Count();
    h.Pump(100);
    EXPECT_EQ(log.Count(), kept);
    EXPECT_LT(groupsIn(log.Item(0)), 64);
}

}  // namespace
