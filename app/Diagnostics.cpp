#include "app/Fhiddata.h"
#include "app/Fprogdata.h"
#include "app/Texts.h"

TfmHidData* fmHidData = nullptr;
TfmProgData* fmProgData = nullptr;

namespace {
constexpr ui::Rect kDiagnosticOuter{388, 131, 654, 545};
constexpr int kDiagnosticClientWidth = 646;
constexpr int kDiagnosticClientHeight = 518;
constexpr ui::Rect kDiagnosticClient{0, 0, kDiagnosticClientWidth, kDiagnosticClientHeight};
constexpr const char* kFormFont = "MS Sans Serif";
constexpr int kFormFontPixels = 11;
constexpr const char* kListingFont = "Arial monospaced for SAP";
constexpr int kListingFontPixels = 13;
constexpr int kLogItemHeight = 13;
}  // namespace

TfmHidData::TfmHidData()
    : ui::Form("fmHidData", text::kHidDataCaption, kDiagnosticOuter, kDiagnosticClientWidth,
               kDiagnosticClientHeight, ui::Position::MainFormCenter),
      hbHidData(*this, "hbHidData", kDiagnosticClient) {
    SetFont(kFormFont, kFormFontPixels);
    hbHidData.SetAlign(ui::Align::Client);
    hbHidData.SetItemHeight(kLogItemHeight);
    hbHidData.SetTabOrder(0);
    OnClose = [this] { logging = false; };
}

void TfmHidData::ShowLog() {
    Show();
    logging = true;
}

void TfmHidData::AddLine(const std::string& line) {
    if (!Visible()) return;
    hbHidData.AddItem(line);
    hbHidData.SetItemIndex(hbHidData.Count() - 1);
}

TfmProgData::TfmProgData()
    : ui::Form("fmProgData", text::kProgDataCaption, kDiagnosticOuter, kDiagnosticClientWidth,
               kDiagnosticClientHeight, ui::Position::MainFormCenter),
      moShowCode(*this, "moShowCode", kDiagnosticClient) {
    SetFont(kFormFont, kFormFontPixels);
    moShowCode.SetAlign(ui::Align::Client);
    moShowCode.SetFont(kListingFont, kListingFontPixels);
    moShowCode.SetTabOrder(0);
    moShowCode.SetText(text::kMemoInitial);
}
