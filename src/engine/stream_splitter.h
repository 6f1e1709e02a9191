// Separates response frames from barcode data arriving on the same byte stream.
//
// A response frame starts with 02 01 "0000" (all six bytes inside one chunk)
// and ends with a status byte (05, 06 or 15) followed by ';' 03; the end may be
// cut across chunks, which the pending flags remember. Each chunk yields at
// most one frame range: bytes inside it go to the response queue, everything
// else to the code queue. When a second frame starts in the same chunk, the
// range moves to it and the earlier frame's bytes count as code data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/byte_queue.h"

namespace qv {

struct SplitterState {
    bool inFrame = false;           // a frame has started and not yet ended
    bool rawMode = false;           // every byte belongs to the response (image transfer)
    bool pendingSemicolon = false;  // the previous chunk ended with a status byte and ';'
    bool pendingStatus = false;     // the previous chunk ended with a status byte
};

// Frame range of one chunk; both -1 when the chunk holds no frame bytes.
struct FrameRange {
    int64_t start = -1;
    int64_t end = -1;
};

inline bool IsStatusByte(uint8_t b) { return b == 0x05 || b == 0x06 || b == 0x15; }

// Finds the frame range of one chunk (n >= 1) and updates the state.
FrameRange SplitChunk(SplitterState& state, const char* buf, size_t n);

// Appends the chunk's bytes to the two queues. A queue that already holds more
// than `cap` bytes is emptied before anything is appended to it.
void RouteChunk(const char* buf, size_t n, FrameRange range, ByteQueue& codeQueue,
                ByteQueue& responseQueue, size_t cap);

}  // namespace qv
