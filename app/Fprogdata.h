// The program data window: a hexadecimal listing of the image last loaded.
#pragma once

#include "platform/ui/Ui.h"

class TfmProgData : public ui::Form {
public:
    TfmProgData();
    ui::Memo moShowCode;
};

extern TfmProgData* fmProgData;
