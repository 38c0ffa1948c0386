// The uhid records the device sends.
#pragma once

#include <linux/uhid.h>

#include "emulator/Emulator.h"

namespace emu {

// UHID_CREATE2 for the personality: its name and product ID, vendor 0x0168, bus USB, and a
// descriptor of one 64-byte input and one 64-byte output report without report ID.
uhid_event MakeCreate(Personality personality);
uhid_event MakeDestroy();
// UHID_INPUT2 carrying report (at most UHID_DATA_MAX bytes are taken).
uhid_event MakeInput(const Bytes& report);
// Feature requests are refused: the device has no feature reports.
uhid_event MakeGetReportRefusal(uint32_t id);
uhid_event MakeSetReportRefusal(uint32_t id);

}  // namespace emu
