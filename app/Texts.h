// Every text the updater shows or writes as a step, in one place.
#pragma once

namespace text {

constexpr const char* kCaption = "Update Tavrin V1.02 CompTime";
constexpr const char* kDeviceUpdate = "Device Update";
constexpr const char* kStartProgram = "Start Program ";
constexpr const char* kMcuProg = "Mcu Prog";
constexpr const char* kDspProg = "Dsp Prog";
constexpr const char* kSecurity = "Security";
constexpr const char* kDisconnect = "Disconnect";
constexpr const char* kNoDevceLayout = "No Devce";
constexpr const char* kNoDevice = "No Device";
constexpr const char* kDetectUpdateHid = "Detect Update HID";
constexpr const char* kDetectRunHid = "Detect Run HID";
constexpr const char* kMenuMemory = "Memory";
constexpr const char* kMenuHidData = "HidData";
constexpr const char* kHidDataCaption = "Hid Data";
constexpr const char* kProgDataCaption = "Program Data";
constexpr const char* kMemoInitial = "Memo1";

// Step texts.
constexpr const char* kStepConnect = "Connect";
constexpr const char* kStepSyncPackage = "Sync Package";
constexpr const char* kStepFirmwareVersion = "Get Firmware Version";
constexpr const char* kStepDeviceId = "Get Device ID";
constexpr const char* kStepReadConfig = "Read Config";
constexpr const char* kStepSyncProgram = "Sync Program";
constexpr const char* kStepStartProgram = "Start Program";
constexpr const char* kStepMcuProgramming = "Mcu Programing ";
constexpr const char* kStepMcuReset = "MCU Reset";
constexpr const char* kStepEraseAll = "Erase All";
constexpr const char* kStepDeviceIdFormat = "Device ID : %08X, %08X, %08X";
constexpr const char* kStepParameterData = "Parameter Data";
constexpr const char* kStepDspProgram = "Dsp Program";
constexpr const char* kStepDspProgramming = "Dsp Progrmming ";

// Boxes.
constexpr const char* kProgramOk = " Program OK !! ";
constexpr const char* kReadError = "READ ERROR: ";
constexpr const char* kChecksumError = "Check sum error!";
constexpr const char* kIspStartError = "ISP Start Error !!";
constexpr const char* kIspSyncError = "ISP Sync Error !!";
constexpr const char* kEraseAllError = "Erase All Error !!";
constexpr const char* kGetIdError = "Get ID Error !!";
constexpr const char* kProgramStartError = "Program Start Error !!";
constexpr const char* kProgramDataError = "Program Data Error !!";

// Boxes for interruptions that would otherwise leave the user without a word.
constexpr const char* kImageIncomplete =
    "The MCU image built into this updater is incomplete, so nothing was programmed. "
    "Please use a correctly built updater.";
constexpr const char* kUnpluggedDuringMcu =
    "The update was interrupted: the device was disconnected while its microcontroller was "
    "being programmed. Reconnect the device and press \"Start Program\" to update it again.";
constexpr const char* kUnpluggedDuringDsp =
    "The update was interrupted: the device was disconnected while its DSP program was being "
    "sent. Reconnect the device and press \"Start Program\" to update it again.";
constexpr const char* kBadParameters =
    "The update was stopped: the device sent an invalid parameter table, so its DSP program "
    "was not sent. Reconnect the device and press \"Start Program\" to try again.";

constexpr const char* kUpdateIncomplete =
    "The update did not complete, so it was not reported as successful. Reconnect the device "
    "and press \"Start Program\" to update it again.";

}  // namespace text
