#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

#include <stdexcept>

#include "UiTestSupport.h"
#include "platform/ui/UiQt.h"

namespace ui::test {
namespace {

class FormTest : public ::testing::Test {
protected:
    Form main{"fmIsp", "Update", designedOuter(), kClientWidth, kClientHeight,
              Position::DesktopCenter};
};

TEST_F(FormTest, StartsWithTheDesignedClientSizeAndOuterSize) {
    EXPECT_EQ(main.Caption(), "Update");
    EXPECT_EQ(main.ClientWidth(), kClientWidth);
    EXPECT_EQ(main.ClientHeight(), kClientHeight);
    EXPECT_EQ(main.Width(), 380);
    EXPECT_EQ(main.Height(), 172);
    EXPECT_EQ(main.Left(), 388);
    EXPECT_FALSE(main.Visible());
}

TEST_F(FormTest, DesktopCentreAtFirstShowThenMovesWhereTold) {
    main.Show();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_NEAR(main.Left() + main.Width() / 2, screen.center().x(), 1);
    EXPECT_NEAR(main.Top() + main.Height() / 2, screen.center().y(), 1);

    main.SetLeft(536);
    main.SetTop(238);
    EXPECT_EQ(main.Left(), 536);
    EXPECT_EQ(main.Top(), 238);
    main.Hide();
    main.Show();  // placed once only
    EXPECT_EQ(main.Left(), 536);
}

TEST_F(FormTest, MainFormCentreStandsOverTheFirstForm) {
    main.Show();
    main.SetLeft(100);
    main.SetTop(50);
    Form log("fmHidData", "Hid Data", {388, 131, 654, 545}, 646, 518, Position::MainFormCenter);
    log.Show();
    EXPECT_NEAR(log.Left() + log.Width() / 2, main.Left() + main.Width() / 2, 1);
    EXPECT_NEAR(log.Top() + log.Height() / 2, main.Top() + main.Height() / 2, 1);
}

TEST_F(FormTest, BottomControlsKeepTheirDistanceToTheBottomOnResize) {
    ProgressBar progress(main, "pbProgress", {0, 97, 364, 17});
    progress.SetAlign(Align::Bottom);
    StatusBar status(main, "sbStatus", {0, 114, 364, 19});
    status.SetAlign(Align::Bottom);
    Button button(main, "bnMcuProgram", {224, 60, 80, 25}, "Mcu Prog");
    main.Show();

    EXPECT_EQ(progress.Bounds(), (Rect{0, 97, 364, 17}));
    EXPECT_EQ(status.Bounds(), (Rect{0, 114, 364, 19}));

    main.impl().widget->resize(500, 300);
    ASSERT_TRUE(waitFor([&] { return main.ClientHeight() == 300; }));
    EXPECT_EQ(status.Bounds(), (Rect{0, 281, 500, 19}));
    EXPECT_EQ(progress.Bounds(), (Rect{0, 264, 500, 17}));
    EXPECT_EQ(button.Bounds(), (Rect{224, 60, 80, 25}));
}

TEST_F(FormTest, ClientControlFillsTheClientArea) {
    ListBox list(main, "hbHidData", {0, 0, 10, 10});
    list.SetAlign(Align::Client);
    EXPECT_EQ(list.Bounds(), (Rect{0, 0, kClientWidth, kClientHeight}));
    main.Show();
    main.impl().widget->resize(400, 200);
    ASSERT_TRUE(waitFor([&] { return main.ClientHeight() == 200; }));
    EXPECT_EQ(list.Bounds(), (Rect{0, 0, 400, 200}));
}

TEST_F(FormTest, ShowModalReturnsWhenTheFormIsClosedAfterOnClose) {
    Form data("fmProgData", "Program Data", {388, 131, 654, 545}, 646, 518,
              Position::MainFormCenter);
    std::vector<std::string> events;
    data.OnClose = [&] { events.push_back("close"); };
    int ticks = 0;
    Timer timer(10);
    timer.OnTimer = [&] {
        ++ticks;
        if (ticks == 3) data.Close();
    };
    timer.SetEnabled(true);

    data.ShowModal();
    events.push_back("returned");
    EXPECT_EQ(events, (std::vector<std::string>{"close", "returned"}));
    EXPECT_FALSE(data.Visible());
    EXPECT_GE(ticks, 3);
}

TEST_F(FormTest, ClosingTheMainFormEndsRun) {
    BoxRecorder recorder;
    main.OnClose = [] { throw std::runtime_error("closing"); };
    Timer closer(10);
    closer.OnTimer = [&] {
        closer.SetEnabled(false);
        main.Close();
    };
    closer.SetEnabled(true);

    EXPECT_EQ(app().Run(), 0);
    EXPECT_FALSE(main.Visible());
    ASSERT_EQ(recorder.boxes.size(), 1u);
    EXPECT_EQ(recorder.boxes[0].text, "closing");
}

TEST_F(FormTest, ClosingASecondFormLeavesRunGoing) {
    Form other("fmHidData", "Hid Data", {388, 131, 654, 545}, 646, 518, Position::Designed);
    other.Show();
    int ticks = 0;
    Timer timer(10);
    timer.OnTimer = [&] {
        if (++ticks == 1) other.Close();
        if (ticks == 5) main.Close();
    };
    timer.SetEnabled(true);
    EXPECT_EQ(app().Run(), 0);
    EXPECT_EQ(ticks, 5);
}

TEST_F(FormTest, GrabWritesAPngOfTheForm) {
    Label label(main, "lbHidShow", {80, 24, 201, 20}, "Device Update", true);
    QTemporaryDir dir;
    const std::string path = dir.filePath("form.png").toStdString();
    ASSERT_TRUE(main.Grab(path));
    QImage image;
    ASSERT_TRUE(image.load(QString::fromStdString(path), "PNG"));
    EXPECT_EQ(image.width(), kClientWidth);
    EXPECT_EQ(image.height(), kClientHeight);
    EXPECT_FALSE(main.Grab(dir.filePath("missing/form.png").toStdString()));
}

}  // namespace
}  // namespace ui::test
