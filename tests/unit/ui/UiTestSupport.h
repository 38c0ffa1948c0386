// Shared by the window-layer tests: one Application for the process, and a recorder of the
// modal boxes that closes each one by itself.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "platform/ui/Ui.h"

namespace ui::test {

// Generous bound for waits on events: the machines are shared and slow at times.
constexpr int kWaitMs = 10000;

inline Application& app() { return *Application::Instance(); }

inline bool waitFor(const std::function<bool()>& pred) { return app().RunUntil(pred, kWaitMs); }

// Records every box and closes it after closeAfterMs, while the nested loop keeps running.
class BoxRecorder {
public:
    explicit BoxRecorder(int closeAfterMs = 0) {
        SetMessageBoxObserver([this](const BoxRecord& record) { boxes.push_back(record); },
                              closeAfterMs);
    }
    ~BoxRecorder() { SetMessageBoxObserver(nullptr, -1); }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    std::vector<BoxRecord> boxes;
};

// A form of the main window's design size.
inline Rect designedOuter() { return {388, 131, 380, 172}; }
constexpr int kClientWidth = 364;
constexpr int kClientHeight = 133;

}  // namespace ui::test
