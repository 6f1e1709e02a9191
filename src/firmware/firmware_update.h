// The firmware update protocol: brings the scanner into its boot loader,
// negotiates each block's transfer, sends the block in CRC-protected frames
// and waits until the scanner has written it. Written once over FirmwareLink.
#pragma once

#include <cstdint>

#include "firmware/firmware_link.h"
#include "firmware/firmware_package.h"
#include "firmware/firmware_progress.h"

namespace qv::firmware {

// Settings-file keys of section "main" (read by the caller).
struct FirmwareSettings {
    int32_t sendIntervalMs = -1;    // FUSendInterval: pause before each data frame, used when 0..200
    int32_t extraFlashSeconds = 0;  // ExtraFlashSeconds: extra time to write a block, at most 60
    int32_t frameSize = 0;          // FrameSize: 0 = 512 (256 when the scanner asks); else 32..4091
};

// Data bytes per frame for a FrameSize setting.
uint32_t FrameSizeFor(int32_t setting);

// The update entry: loads the package, builds its block list, checks that an
// "efp" package fits the scanner (PRNQRY, CPNQRY), runs the protocol, and
// sends "@Exit" when it failed. Returns the result code (FirmwareResult).
// `progress` may be null (an own record is used then).
int32_t UpdateFirmwareOverLink(FirmwareLink& link, const char16_t* fileName, const FirmwareSettings& settings,
                               T_FirmwareProgress* progress);

// The protocol alone, for a block list already built: main blocks first.
struct UpdateBlock {
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    uint32_t type = 0;   // 1..4
    uint32_t extra = 0;  // the package's extra value
    char tag[5] = {};
};
struct UpdatePlan {
    const UpdateBlock* blocks = nullptr;
    uint32_t mainCount = 0;
    uint32_t extraCount = 0;
    bool upgradeMode = false;
    bool efp = false;
    uint32_t variant = 0;  // "efp" package variant
};
int32_t RunUpdateProtocol(FirmwareLink& link, const UpdatePlan& plan, const FirmwareSettings& settings,
                          T_FirmwareProgress* progress);

// How long the scanner may take to write a block (step 4), in ms:
// ExtraFlashSeconds (at most 60) + 50 ms per KiB + 3000 ms; 500 ms per KiB for
// a flash block in upgrade mode whose extra value is 9990..9995 or 9998.
int64_t WriteBudgetMs(const UpdateBlock& block, bool upgradeMode, const FirmwareSettings& settings);

// The reply text of a PRNQRY / CPNQRY query ("efp" fit check): what stands
// between 02 01 "0000" '#' <command> and 06 ';' 03, or empty when the reply
// is not such a frame.
std::string QueryAnswer(const uint8_t* reply, uint32_t len, const char* command);

}  // namespace qv::firmware
