#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include <stdexcept>

#include "UiTestSupport.h"
#include "platform/ui/UiQt.h"

namespace ui::test {
namespace {

class ControlsTest : public ::testing::Test {
protected:
    Form form{"fmTest", "Controls", designedOuter(), kClientWidth, kClientHeight,
              Position::Designed};

    void showForm() {
        form.Show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.impl().widget.get()));
    }
};

template <class W>
W& widgetOf(Control& control) {
    return *qobject_cast<W*>(control.impl().widget.data());
}

TEST_F(ControlsTest, ProgramClickRunsHandlerWhateverTheEnabledState) {
    Button button(form, "bnStep", {64, 60, 80, 25}, "Step");
    int clicks = 0;
    button.OnClick = [&] { ++clicks; };

    button.SetEnabled(false);
    button.Click();
    EXPECT_EQ(clicks, 1);
    button.SetEnabled(true);
    button.Click();
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(widgetOf<QPushButton>(button).text().toStdString(), "Step");
}

TEST_F(ControlsTest, UserClickReachesOnlyEnabledButtons) {
    Button button(form, "bnStart", {64, 56, 241, 30}, "Start Program ");
    int clicks = 0;
    button.OnClick = [&] { ++clicks; };
    showForm();

    QTest::mouseClick(&widgetOf<QPushButton>(button), Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    button.SetEnabled(false);
    QTest::mouseClick(&widgetOf<QPushButton>(button), Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
}

TEST_F(ControlsTest, ExceptionInUserClickIsReportedAndLoopGoesOn) {
    BoxRecorder recorder;
    Button button(form, "bnFail", {0, 0, 80, 25}, "Fail");
    button.OnClick = [] { throw std::runtime_error("click failed"); };
    showForm();

    QTest::mouseClick(&widgetOf<QPushButton>(button), Qt::LeftButton);
    ASSERT_EQ(recorder.boxes.size(), 1u);
    EXPECT_EQ(recorder.boxes[0].text, "click failed");
    EXPECT_EQ(recorder.boxes[0].type, MsgType::Error);

    bool later = false;
    app().MainLoop().post([&] { later = true; });
    EXPECT_TRUE(waitFor([&] { return later; }));
}

TEST_F(ControlsTest, ProgrammaticClickPassesExceptionsToTheCaller) {
    Button button(form, "bnFail", {0, 0, 80, 25}, "Fail");
    button.OnClick = [] { throw std::runtime_error("inner"); };
    EXPECT_THROW(button.Click(), std::runtime_error);
}

TEST_F(ControlsTest, LaterControlsLieAboveEarlierOnes) {
    Button under(form, "bnSecurity", {64, 60, 80, 25}, "Security");
    Button over(form, "btnStartProgram", {64, 56, 241, 30}, "Start Program ");
    QWidget* hit = clientOf(form)->childAt(100, 70);
    EXPECT_EQ(hit, over.impl().widget.data());
}

TEST_F(ControlsTest, TabOrderFollowsTheOrderNumbers) {
    Button security(form, "bnSecurity", {64, 60, 80, 25}, "Security");
    Button mcu(form, "bnMcuProgram", {224, 60, 80, 25}, "Mcu Prog");
    Button dsp(form, "bnDspPorgram", {144, 60, 80, 25}, "Dsp Prog");
    security.SetTabOrder(3);
    mcu.SetTabOrder(1);
    dsp.SetTabOrder(4);

    EXPECT_EQ(mcu.TabOrder(), 1);
    EXPECT_EQ(mcu.impl().widget->nextInFocusChain(), security.impl().widget.data());
    EXPECT_EQ(security.impl().widget->nextInFocusChain(), dsp.impl().widget.data());
}

TEST_F(ControlsTest, LabelKeepsItsSizeAndAlignment) {
    Label centred(form, "lbHidShow", {80, 24, 201, 20}, "Device Update", true);
    Label left(form, "lbLeft", {0, 0, 50, 20}, "A long text that does not fit", false);
    EXPECT_EQ(centred.Bounds(), (Rect{80, 24, 201, 20}));
    EXPECT_EQ(left.Bounds(), (Rect{0, 0, 50, 20}));
    EXPECT_TRUE(widgetOf<QLabel>(centred).alignment() & Qt::AlignHCenter);
    EXPECT_TRUE(widgetOf<QLabel>(left).alignment() & Qt::AlignLeft);
    EXPECT_EQ(centred.Text(), "Device Update");
}

TEST_F(ControlsTest, FontsOfTheDesignAreSubstitutedByCloseOnes) {
    Label label(form, "lbHidShow", {80, 24, 201, 20}, "Device Update", true);
    label.SetFont("MS Sans Serif", 16);
    const QFontInfo sans(label.impl().widget->font());
    EXPECT_EQ(label.FontPixelHeight(), 16);
    EXPECT_EQ(label.FontFamily(), "MS Sans Serif");
    EXPECT_FALSE(sans.fixedPitch());
    EXPECT_NE(sans.family().toStdString().find("Sans"), std::string::npos) << sans.family().toStdString();

    Memo memo(form, "moShowCode", {0, 0, 100, 100});
    memo.SetFont("Arial monospaced for SAP", 13);
    EXPECT_TRUE(QFontInfo(memo.impl().widget->font()).fixedPitch());
    EXPECT_EQ(memo.FontPixelHeight(), 13);
}

TEST_F(ControlsTest, ControlsTakeTheFormFontUnlessTheyHaveTheirOwn) {
    form.SetFont("MS Sans Serif", 11);
    Button own(form, "bnOwn", {0, 0, 80, 25}, "Own");
    own.SetFont("MS Sans Serif", 13);
    Label inherited(form, "lbInherited", {0, 30, 80, 20}, "Inherited", false);
    EXPECT_EQ(form.FontPixelHeight(), 11);
    EXPECT_EQ(inherited.FontPixelHeight(), 11);
    EXPECT_EQ(own.FontPixelHeight(), 13);
}

TEST_F(ControlsTest, ProgressBarKeepsPositionInRangeAndShowsCaptionAsGiven) {
    ProgressBar bar(form, "pbProgress", {0, 97, 364, 17});
    auto& widget = widgetOf<QProgressBar>(bar);
    EXPECT_EQ(bar.Min(), 0);
    EXPECT_EQ(bar.Max(), 100);
    EXPECT_FALSE(widget.isTextVisible());

    bar.SetRange(0, 20);
    bar.SetPosition(7);
    EXPECT_EQ(bar.Position(), 7);
    EXPECT_TRUE(waitFor([&] { return widget.value() == 7; }));
    bar.SetPosition(25);
    EXPECT_EQ(bar.Position(), 20);
    bar.SetRange(0, 10);
    EXPECT_EQ(bar.Position(), 10);
    EXPECT_TRUE(waitFor([&] { return widget.value() == 10; }));

    bar.SetCaption("50% done %p %v");
    EXPECT_EQ(bar.Caption(), "50% done %p %v");
    EXPECT_TRUE(waitFor([&] { return widget.text().toStdString() == "50% done %p %v"; }));
    EXPECT_TRUE(widget.isTextVisible());
}

// The update moves the bar and its caption once per exchange, hundreds of times a second; the
// widget follows at a display's pace and always ends on the latest state.
TEST_F(ControlsTest, ProgressBarShowsABurstOfChangesAtADisplaysPaceEndingOnTheLast) {
    constexpr int kChanges = 1000;
    ProgressBar bar(form, "pbProgress", {0, 97, 364, 17});
    auto& widget = widgetOf<QProgressBar>(bar);
    bar.SetRange(0, kChanges);
    for (int i = 1; i <= kChanges; ++i) {
        bar.SetPosition(i);
        bar.SetCaption("Block " + std::to_string(i));
    }
    EXPECT_EQ(bar.Position(), kChanges);
    EXPECT_EQ(bar.Caption(), "Block 1000");
    EXPECT_LT(widget.value(), kChanges);
    EXPECT_TRUE(waitFor([&] {
        return widget.value() == kChanges && widget.text().toStdString() == "Block 1000";
    }));
}

TEST_F(ControlsTest, EmptyProgressRangeIsAnEmptyBarNotABusyIndicator) {
    ProgressBar bar(form, "pbProgress", {0, 97, 364, 17});
    bar.SetRange(0, 0);
    EXPECT_EQ(bar.Max(), 0);
    EXPECT_GT(widgetOf<QProgressBar>(bar).maximum(), widgetOf<QProgressBar>(bar).minimum());
}

class StatusBarTest : public ControlsTest {
protected:
    StatusBar bar{form, "sbStatus", {0, 114, 364, 19}};

    void SetUp() override {
        bar.AddPanel("Disconnect", 180);
        bar.AddPanel("No Devce", 50);
    }

    std::vector<std::string> shownTexts() {
        std::vector<std::string> texts;
        for (QLabel* label : bar.impl().widget->findChildren<QLabel*>())
            if (label->isVisibleTo(bar.impl().widget)) texts.push_back(label->text().toStdString());
        return texts;
    }

    QColor backgroundAt(int x) { return bar.impl().widget->grab().toImage().pixelColor(x, 9); }
};

TEST_F(StatusBarTest, PanelModeShowsPanelsButNotTheSimpleText) {
    bar.SetPanelText(1, "Detect Update HID");
    bar.SetSimpleText("Sync Package");

    EXPECT_EQ(bar.PanelCount(), 2);
    EXPECT_EQ(bar.PanelWidth(0), 180);
    EXPECT_EQ(bar.PanelText(1), "Detect Update HID");
    EXPECT_EQ(bar.SimpleText(), "Sync Package");
    EXPECT_FALSE(bar.SimplePanel());
    EXPECT_EQ(shownTexts(), (std::vector<std::string>{"Disconnect", "Detect Update HID"}));

    bar.SetSimplePanel(true);
    EXPECT_EQ(shownTexts(), (std::vector<std::string>{"Sync Package"}));
}

TEST_F(StatusBarTest, StepTextsInABurstEndOnTheLast) {
    bar.SetSimplePanel(true);
    for (int i = 1; i <= 100; ++i) bar.SetSimpleText("Dsp programming " + std::to_string(i));
    EXPECT_EQ(bar.SimpleText(), "Dsp programming 100");
    EXPECT_TRUE(waitFor([&] {
        return shownTexts() == std::vector<std::string>{"Dsp programming 100"};
    }));
}

TEST_F(StatusBarTest, LastPanelReachesTheRightEdgeSoLongTextsShow) {
    bar.SetPanelText(1, "Detect Update HID");
    QLabel* last = bar.impl().widget->findChildren<QLabel*>().back();
    EXPECT_EQ(last->geometry().right(), bar.impl().widget->width() - 1);
    EXPECT_EQ(bar.PanelWidth(1), 50);
}

TEST_F(StatusBarTest, OutOfRangePanelsAreIgnored) {
    bar.SetPanelText(2, "x");
    bar.SetPanelText(-1, "x");
    EXPECT_EQ(bar.PanelText(2), "");
    EXPECT_EQ(bar.PanelWidth(-1), 0);
    EXPECT_EQ(bar.PanelCount(), 2);
}

TEST_F(StatusBarTest, ColourPaintsTheBarAndReturnsAsSet) {
    const QColor face = backgroundAt(170);
    bar.SetColor(clRed);
    EXPECT_EQ(bar.GetColor(), clRed);
    EXPECT_EQ(backgroundAt(170), QColor(255, 0, 0));

    bar.SetColor(0x00FF00);  // green in the middle byte
    EXPECT_EQ(backgroundAt(170), QColor(0, 255, 0));

    bar.SetColor(clBtnFace);
    EXPECT_EQ(bar.GetColor(), clBtnFace);
    EXPECT_EQ(backgroundAt(170), face);
    EXPECT_EQ(face, QApplication::palette().color(QPalette::Window));
}

TEST_F(ControlsTest, ListBoxAppendsSelectsAndScrollsToTheItem) {
    form.Show();
    ListBox list(form, "hbHidData", {0, 0, 200, 60});
    list.SetItemHeight(13);
    for (int i = 0; i < 50; ++i) list.AddItem("R " + std::to_string(i));
    EXPECT_EQ(list.Count(), 50);
    EXPECT_EQ(list.Item(49), "R 49");
    EXPECT_EQ(list.Item(50), "");
    EXPECT_EQ(list.ItemIndex(), -1);

    list.SetItemIndex(49);
    EXPECT_EQ(list.ItemIndex(), 49);
    auto& widget = widgetOf<QListWidget>(list);
    const QRect shown = widget.visualItemRect(widget.item(49));
    EXPECT_TRUE(widget.viewport()->rect().contains(shown)) << shown.y();
    EXPECT_EQ(shown.height(), 13);
    EXPECT_EQ(list.ItemHeight(), 13);

    list.SetItemIndex(-1);
    EXPECT_EQ(list.ItemIndex(), -1);
}

TEST_F(ControlsTest, MemoKeepsTheTextAsGivenAndShowsItsLines) {
    Memo memo(form, "moShowCode", {0, 0, 646, 518});
    auto& edit = widgetOf<QPlainTextEdit>(memo);
    EXPECT_EQ(edit.lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(edit.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    // A hidden memo takes its text when it is shown; a shown one at once.
    const std::string listing = "00000000  41 ; A\r\n00000010  42 ; B\r\n";
    memo.SetText(listing);
    EXPECT_EQ(memo.Text(), listing);
    showForm();
    EXPECT_EQ(edit.toPlainText().toStdString(), "00000000  41 ; A\n00000010  42 ; B\n");

    memo.Clear();
    EXPECT_EQ(memo.Text(), "");
    EXPECT_TRUE(edit.toPlainText().isEmpty());
}

TEST_F(ControlsTest, HiddenMenuItemsTakeNoRoomAndStillClick) {
    MenuItem memory(form, "Memory1", "Memory");
    MenuItem hidData(form, "HidData1", "HidData");
    memory.SetVisible(false);
    hidData.SetVisible(false);
    int clicks = 0;
    memory.OnClick = [&] { ++clicks; };
    QMenuBar* bar = form.impl().widget->menuBar;

    EXPECT_FALSE(bar->isVisibleTo(form.impl().widget.get()));
    EXPECT_EQ(form.ClientHeight(), kClientHeight);
    EXPECT_EQ(clientOf(form)->y(), 0);
    memory.Click();
    EXPECT_EQ(clicks, 1);

    memory.SetVisible(true);
    EXPECT_TRUE(memory.Visible());
    EXPECT_TRUE(bar->isVisibleTo(form.impl().widget.get()));
    EXPECT_EQ(clientOf(form)->y(), bar->height());
    EXPECT_EQ(form.ClientHeight(), kClientHeight);
}

}  // namespace
}  // namespace ui::test
