// The device's capability reply to "IMGGET^" and the image command built
// from it and the caller's parameters. Pure byte logic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "quorvia.h"

namespace qv {

// What a device accepts, from its capability reply to "IMGGET^".
struct ImgCapabilities {
    // A list of allowed values, kept as inclusive ranges (a range "m-n" of a
    // hostile device may span billions of values).
    struct Range {
        int64_t lo;
        int64_t hi;
    };
    using List = std::vector<Range>;
    List t, r, f, q, i, a;
    // B: Bmin_x, Bmin_y, Bmin_x2, Bmin_y2, Bmax_x, Bmax_y, Bmax_x2, Bmax_y2.
    bool hasB = false;
    int32_t b[8] = {};

    static bool Allows(const List& list, int32_t value);
};

// Parses a capability reply. The sections follow the echoed command: the
// reply may echo "IMGGET^" or just "IMGGET" (the first section starts after
// whichever it is). For T, R, F, Q, I, A, B in this order the section runs
// from the current position up to the letter; its pieces are separated by
// '.', else ',', else '|'; a piece is a number or a range "m-n". B holds one
// range of two 16-digit texts (four 4-digit fields each). False, with the
// log line naming the piece, when a piece is not what it must be.
bool ParseImgCapabilities(const char* reply, size_t len, ImgCapabilities* caps);

// Builds the image command for `p` from what the device accepts: "IMGGET",
// then "%dT%dR%dF", then "%dQ" when F = 2, "%dI" when the device lists I
// values, "%dA" when F = 4, and "<b>B" when the device gives B bounds and the
// caller a region. Returns 0, or the error code of the first refused value
// (-1023 T ... -1029 B). A region must be exactly 16 decimal digits.
int32_t BuildImgCommand(const ImgCapabilities& caps, const ImgParam& p, std::string* command);

}  // namespace qv
