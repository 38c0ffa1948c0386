// The HID log window: one line per report written and accepted, kept only while visible.
#pragma once

#include <atomic>
#include <string>

#include "platform/ui/Ui.h"

class TfmHidData : public ui::Form {
public:
    TfmHidData();
    void ShowLog();
    // Appends a line and selects it; only while the window is visible. Main thread.
    void AddLine(const std::string& line);
    // Readable from any thread: whether lines are being kept at all.
    bool Logging() const { return logging.load(); }

    ui::ListBox hbHidData;

private:
    std::atomic<bool> logging{false};
};

extern TfmHidData* fmHidData;
