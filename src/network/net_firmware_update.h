// The firmware update of a network scanner: the one update protocol
// (firmware_update.h) over the device record's TCP connection.
#pragma once

#include <cstdint>

#include "firmware/firmware_progress.h"
#include "firmware/firmware_update.h"
#include "platform/socket.h"
#include "quorvia.h"

namespace qv {

// How long the update waits after the scanner dropped the connection for its
// loader, and the connection attempts (100 ms apart) it makes then.
constexpr int32_t kNetLoaderComebackMs = 20000;
constexpr int kNetLoaderAttempts = 20;
// How long the update keeps trying (every 10 ms) to reach a scanner that
// leaves its loader at the end of a group before it gives up with 11.
constexpr int32_t kNetAppComebackMs = 20000;

// Loads the package `fileName` and sends its blocks to the loader of the
// scanner connected on `record` (its `socket`; -1 gives 3). The scanner may
// drop the connection when it takes the update switch and at the end of a
// group; the update connects again to `ipAddress`:`tcpPort` (bounded waits,
// above). A signalled `cancel` (may be null) ends every wait at once.
// Returns the update result code (QV_FW_*).
int32_t NetUpdateFirmwareFile(T_DevicesInfo* record, const char16_t* fileName,
                              const firmware::FirmwareSettings& settings, const platform::CancelEvent* cancel,
                              firmware::T_FirmwareProgress* progress);

}  // namespace qv
