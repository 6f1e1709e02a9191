// The firmware update over a port stream: the stream's side of the update
// protocol (a FirmwareLink over a QvdsStream) and the update entry the serial
// and USB transports call.
#pragma once

#include <cstdint>

#include "firmware/firmware_progress.h"

struct QvdsStream;

// Loads the package `fileName`, checks that it fits the scanner and sends its
// blocks to the scanner's boot loader over the open stream. The settings-file
// keys FUSendInterval, ExtraFlashSeconds and FrameSize (section "main") are
// read at the start. `progress` may be null. Returns the update result code
// (QV_FW_*). The stream may be left closed after a failure.
int32_t qvds_update_firmware_file(QvdsStream* stream, const char16_t* fileName,
                                  qv::firmware::T_FirmwareProgress* progress);
